#include "recording/view_picture.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "recording/bmp_file.h"
#include "recording/frame_pass.h"

void ViewPicture::Resize(int32_t width, int32_t height) {
    const bool is_empty = width <= 0 || height <= 0;
    const size_t wanted = is_empty ? 0 : static_cast<size_t>(width) * static_cast<size_t>(height);
    width_ = 0;
    height_ = 0;
    if (wanted > capacity_) {
        // Released first, so a failed allocation leaves an empty picture rather than two.
        pixels_.reset();
        capacity_ = 0;
        pixels_.reset(new uint32_t[wanted]);
        capacity_ = wanted;
    }
    if (is_empty) return;
    width_ = width;
    height_ = height;
}

void ViewPicture::SetPixel(int32_t x, int32_t y, uint8_t blue, uint8_t green, uint8_t red) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    uint8_t* pixel = Bits() + (static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)) * 4;
    pixel[0] = blue;
    pixel[1] = green;
    pixel[2] = red;
    pixel[3] = 255;
}

bool CViewPictureSlot::Publish() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::swap(back_, waiting_);
    const bool was_empty = !is_waiting_;
    is_waiting_ = true;
    return was_empty;
}

bool CViewPictureSlot::TakeNewest() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!is_waiting_) return false;
    std::swap(shown_, waiting_);
    is_waiting_ = false;
    return true;
}

void FillViewPicture(const BMP_File& frame, ViewPicture& picture) {
    picture.Resize(frame.GetWidth(), frame.GetHeight());
    if (picture.IsEmpty() || frame.GetPixelCount() != static_cast<size_t>(picture.Width()) * picture.Height()) {
        picture.Resize(0, 0);
        return;
    }
    CameraFrame packed;
    packed.layout = PixelLayout::kBgr;
    packed.width = frame.GetWidth();
    packed.height = -frame.GetHeight();  // row 0 on top
    packed.planes[0] = frame.GetBits();
    packed.strides[0] = frame.GetWidth() * 3;
    PassTarget target;
    target.bgrx = picture.Bits();
    RunFramePass(packed, YuvCoefficients{}, target);
}

namespace {

// Steps through source positions ((2 t + 1) * source) / (2 * target) for t = first, first + 1, ...
// without a division per step.
class NearestStep {
public:
    NearestStep(int32_t source, int32_t target, int32_t first)
        : denominator_(2 * static_cast<int64_t>(target)),
          whole_step_(2 * static_cast<int64_t>(source) / denominator_),
          remainder_step_(2 * static_cast<int64_t>(source) % denominator_) {
        const int64_t numerator = (2 * static_cast<int64_t>(first) + 1) * source;
        position_ = numerator / denominator_;
        remainder_ = numerator % denominator_;
    }
    int32_t Position() const { return static_cast<int32_t>(position_); }
    void Next() {
        position_ += whole_step_;
        remainder_ += remainder_step_;
        if (remainder_ >= denominator_) {
            remainder_ -= denominator_;
            ++position_;
        }
    }

private:
    int64_t denominator_;
    int64_t whole_step_;
    int64_t remainder_step_;
    int64_t position_ = 0;
    int64_t remainder_ = 0;
};

}  // namespace

void DrawScaledPart(const ViewPicture& picture, const ScaledPart& part) {
    if (picture.IsEmpty() || part.scaled_width <= 0 || part.scaled_height <= 0) return;
    const int32_t left = std::max(part.left, 0);
    const int32_t top = std::max(part.top, 0);
    const int32_t right = std::min(part.right, part.scaled_width);
    const int32_t bottom = std::min(part.bottom, part.scaled_height);
    if (left >= right || top >= bottom) return;
    uint8_t* first_row = part.bits + static_cast<ptrdiff_t>(left - part.left) * 4 + (top - part.top) * part.bytes_per_line;
    const size_t row_bytes = static_cast<size_t>(right - left) * 4;
    const bool is_same_width = part.scaled_width == picture.Width();
    NearestStep row_step(picture.Height(), part.scaled_height, top);
    int32_t previous_source_y = -1;
    uint8_t* previous_row = nullptr;
    for (int32_t y = top; y < bottom; ++y, row_step.Next()) {
        uint8_t* out = first_row + static_cast<ptrdiff_t>(y - top) * part.bytes_per_line;
        const int32_t source_y = row_step.Position();
        if (source_y == previous_source_y) {
            std::memcpy(out, previous_row, row_bytes);
        } else {
            const uint32_t* in = reinterpret_cast<const uint32_t*>(picture.Bits()) +
                                 static_cast<size_t>(source_y) * static_cast<size_t>(picture.Width());
            if (is_same_width) {
                std::memcpy(out, in + left, row_bytes);
            } else {
                NearestStep column_step(picture.Width(), part.scaled_width, left);
                for (int32_t x = left; x < right; ++x, column_step.Next()) {
                    std::memcpy(out + static_cast<size_t>(x - left) * 4, in + column_step.Position(), 4);
                }
            }
        }
        previous_source_y = source_y;
        previous_row = out;
    }
}

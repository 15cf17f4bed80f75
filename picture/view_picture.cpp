#include "picture/view_picture.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#define CINDRAL_X86 1
#include <immintrin.h>
#endif

#include "picture/frame_pass.h"
#include "picture/packed_picture.h"

namespace {
constexpr std::align_val_t kAlignment{64};
}  // namespace

void ViewPicture::AlignedDelete::operator()(uint32_t* pixels) const { ::operator delete[](pixels, kAlignment); }

void ViewPicture::Resize(int32_t width, int32_t height) {
    const bool is_empty = width <= 0 || height <= 0;
    const size_t wanted = is_empty ? 0 : static_cast<size_t>(width) * static_cast<size_t>(height);
    width_ = 0;
    height_ = 0;
    if (wanted > capacity_) {
        // Released first, so a failed allocation leaves an empty picture rather than two.
        pixels_.reset();
        capacity_ = 0;
        pixels_.reset(static_cast<uint32_t*>(::operator new[](wanted * 4, kAlignment)));
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

#ifdef CINDRAL_X86
// Copies a row past the cache: the window's image is read next by the display server, not by
// us, so its old content need not be fetched first. out is 32-byte aligned.
__attribute__((target("avx2"))) void StreamRowAvx2(uint8_t* out, const uint8_t* in, size_t bytes) {
    size_t done = 0;
    for (; done + 32 <= bytes; done += 32) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(out + done),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done)));
    }
    std::memcpy(out + done, in + done, bytes - done);
}

// 8 pixels a step: where their sources lie within 8 pixels of the first (always when enlarging),
// one load and a shuffle; else a gather.
__attribute__((target("avx2"))) int32_t GatherRowAvx2(uint32_t* out, const uint32_t* in, int32_t in_width,
                                                      const int32_t* columns, int32_t count) {
    int32_t x = 0;
    for (; x + 8 <= count; x += 8) {
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns + x));
        const int32_t first = columns[x];
        __m256i pixels;
        if (columns[x + 7] - first < 8 && first + 8 <= in_width) {
            pixels = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + first)),
                                                 _mm256_sub_epi32(at, _mm256_set1_epi32(first)));
        } else {
            pixels = _mm256_i32gather_epi32(reinterpret_cast<const int*>(in), at, 4);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), pixels);
    }
    return x;
}

bool HasAvx2() {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2;
}
#endif

// out[x] = in[columns[x]] for x below count; in holds in_width pixels.
void GatherRow(uint32_t* out, const uint32_t* in, int32_t in_width, const int32_t* columns, int32_t count) {
    int32_t x = 0;
#ifdef CINDRAL_X86
    if (HasAvx2()) x = GatherRowAvx2(out, in, in_width, columns, count);
#endif
    for (; x < count; ++x) out[x] = in[columns[x]];
}

void CopyRow(uint8_t* out, const uint8_t* in, size_t bytes) {
#ifdef CINDRAL_X86
    if (HasAvx2() && reinterpret_cast<uintptr_t>(out) % 32 == 0) {
        StreamRowAvx2(out, in, bytes);
        return;
    }
#endif
    std::memcpy(out, in, bytes);
}

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

void CNearestScaler::Draw(const ViewPicture& picture, const ScaledPart& part) {
    if (picture.IsEmpty() || part.scaled_width <= 0 || part.scaled_height <= 0) return;
    const int32_t left = std::max(part.left, 0);
    const int32_t top = std::max(part.top, 0);
    const int32_t right = std::min(part.right, part.scaled_width);
    const int32_t bottom = std::min(part.bottom, part.scaled_height);
    if (left >= right || top >= bottom) return;
    uint8_t* first_row =
        part.bits + static_cast<ptrdiff_t>(left - part.left) * 4 + (top - part.top) * part.bytes_per_line;
    const int32_t count = right - left;
    const bool is_same_width = part.scaled_width == picture.Width();
    if (!is_same_width) {
        columns_.resize(static_cast<size_t>(count));
        row_.resize(static_cast<size_t>(count));
        NearestStep column_step(picture.Width(), part.scaled_width, left);
        for (int32_t x = 0; x < count; ++x, column_step.Next())
            columns_[static_cast<size_t>(x)] = column_step.Position();
    }
    NearestStep row_step(picture.Height(), part.scaled_height, top);
    int32_t previous_source_y = -1;
    const uint32_t* row = nullptr;  // the target row's pixels: in the picture, or gathered
    for (int32_t y = top; y < bottom; ++y, row_step.Next()) {
        const int32_t source_y = row_step.Position();
        if (source_y != previous_source_y) {
            const uint32_t* in = reinterpret_cast<const uint32_t*>(picture.Bits()) +
                                 static_cast<size_t>(source_y) * static_cast<size_t>(picture.Width());
            if (is_same_width) {
                row = in + left;
            } else {
                GatherRow(row_.data(), in, picture.Width(), columns_.data(), count);
                row = row_.data();
            }
            previous_source_y = source_y;
        }
        CopyRow(first_row + static_cast<ptrdiff_t>(y - top) * part.bytes_per_line,
                reinterpret_cast<const uint8_t*>(row), static_cast<size_t>(count) * 4);
    }
#ifdef CINDRAL_X86
    _mm_sfence();  // the streamed rows are in memory before anyone is told to read them
#endif
}

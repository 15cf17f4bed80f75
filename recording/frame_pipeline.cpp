#include "recording/frame_pipeline.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {

constexpr int kBlockSize = 4;

inline uint32_t Lightness(uint32_t blue, uint32_t green, uint32_t red) {
    const uint32_t largest = std::max(blue, std::max(green, red));
    const uint32_t smallest = std::min(blue, std::min(green, red));
    return (largest + smallest) >> 1;
}

}  // namespace

CFramePipeline::CFramePipeline(const CindralSettings& settings, IFrameRecorder& recorder, IFramePresenter* presenter)
    : settings_(settings), recorder_(recorder), presenter_(presenter) {}

void CFramePipeline::ProcessFrame(const uint8_t* pixels, size_t size_bytes) {
    if (!is_capture_attached_ || pixels == nullptr) return;

    const int32_t width = settings_.frame_width.load(std::memory_order_relaxed);
    const int32_t height_setting = settings_.frame_height.load(std::memory_order_relaxed);
    // A negative height announces top-down rows; such frames are taken as they are.
    const bool is_top_down = height_setting < 0;
    const int64_t height = std::llabs(static_cast<int64_t>(height_setting));
    const int64_t pixel_count = static_cast<int64_t>(width) * height;
    // Frames that disagree with the negotiated size (or have none) are dropped, not guessed at.
    if (width <= 0 || height <= 0 || pixel_count > INT32_MAX / 4) return;
    if (size_bytes != static_cast<size_t>(pixel_count) * 4) return;

    live_index_ = 1 - previous_index_;
    ConvertFrame(pixels, width, static_cast<int32_t>(height), is_top_down);

    bool is_motion = false;
    bool is_detector_run = false;
    if (is_settings_attached_) {
        const bool is_shown = settings_.show_detector.load(std::memory_order_relaxed) != 0;
        const bool is_saving_on_motion =
            settings_.saving_mode.load(std::memory_order_relaxed) == kSavingMotionDetector;
        is_detector_run = is_shown || is_saving_on_motion;
    }
    const BMP_File& previous = frames_[previous_index_];
    BMP_File& live = frames_[live_index_];
    if (is_detector_run && previous.GetWidth() == live.GetWidth() && previous.GetHeight() == live.GetHeight()) {
        is_motion = FindMovingBlocks();
    } else {
        moving_blocks_.clear();
    }

    // The recorder gets the frame before any mark is drawn: that is the clean picture, so no
    // separate copy of it is needed.
    if (is_settings_attached_) {
        const int32_t saving_mode = settings_.saving_mode.load(std::memory_order_relaxed);
        if ((saving_mode == kSavingMotionDetector && is_motion) || saving_mode == kSavingAlways) {
            recorder_.WriteFrame(live);
        } else {
            recorder_.CloseFile();
        }
    }

    if (is_detector_run) {
        MarkMovingBlocks();
        // The marked live frame is the next comparison's previous frame, sums included.
        previous_index_ = live_index_;
        previous_block_sums_.swap(live_block_sums_);
    }

    if (presenter_ != nullptr && !presenter_->IsPlaybackActive()) presenter_->PresentLiveFrame(live);
}

void CFramePipeline::ConvertFrame(const uint8_t* pixels, int32_t width, int32_t height, bool is_top_down) {
    BMP_File& live = frames_[live_index_];
    live.CreateForOverwrite(width, height);

    const int32_t blocks_across = (width + kBlockSize - 1) / kBlockSize;
    const int32_t blocks_down = (height + kBlockSize - 1) / kBlockSize;
    live_block_sums_.assign(static_cast<size_t>(blocks_across) * static_cast<size_t>(blocks_down), 0);

    const size_t source_row_bytes = static_cast<size_t>(width) * 4;
    const size_t target_row_bytes = static_cast<size_t>(width) * 3;
    uint8_t* target = live.GetBits();
    for (int32_t y = 0; y < height; ++y) {
        // Camera rows come bottom row first; row 0 of the live frame is the top.
        const int32_t source_y = is_top_down ? y : height - 1 - y;
        const uint8_t* in = pixels + static_cast<size_t>(source_y) * source_row_bytes;
        uint8_t* out = target + static_cast<size_t>(y) * target_row_bytes;
        uint16_t* sums = live_block_sums_.data() + static_cast<size_t>(y / kBlockSize) * blocks_across;
        for (int32_t x = 0; x < width; ++x, in += 4, out += 3) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            sums[x / kBlockSize] = static_cast<uint16_t>(sums[x / kBlockSize] + Lightness(in[0], in[1], in[2]));
        }
    }
}

bool CFramePipeline::FindMovingBlocks() {
    moving_blocks_.clear();
    const size_t block_count = live_block_sums_.size();
    const uint16_t* live_sums = live_block_sums_.data();
    const uint16_t* previous_sums = previous_block_sums_.data();
    for (size_t block = 0; block < block_count; ++block) {
        // Means are truncated before they are compared.
        const int32_t difference = std::abs(static_cast<int32_t>(live_sums[block] / 16) -
                                            static_cast<int32_t>(previous_sums[block] / 16));
        if (difference > settings_.threshold.load(std::memory_order_relaxed)) {
            moving_blocks_.push_back(static_cast<uint32_t>(block));
        }
    }
    return !moving_blocks_.empty();
}

void CFramePipeline::MarkMovingBlocks() {
    BMP_File& live = frames_[live_index_];
    const int32_t blocks_across = (live.GetWidth() + kBlockSize - 1) / kBlockSize;
    for (const uint32_t block : moving_blocks_) {
        if (settings_.show_detector.load(std::memory_order_relaxed) == 0) continue;
        const DetectorColour colour = ExpandDetectorColour(settings_.detector_colour.load(std::memory_order_relaxed));
        const int32_t x = static_cast<int32_t>(block % static_cast<uint32_t>(blocks_across)) * kBlockSize;
        const int32_t y = static_cast<int32_t>(block / static_cast<uint32_t>(blocks_across)) * kBlockSize;
        mColor_24& pixel = live.GetPixel(x, y);
        const uint32_t old_lightness = Lightness(pixel.blue, pixel.green, pixel.red);
        pixel = mColor_24{colour.blue, colour.green, colour.red};
        const uint32_t new_lightness = Lightness(colour.blue, colour.green, colour.red);
        live_block_sums_[block] = static_cast<uint16_t>(live_block_sums_[block] - old_lightness + new_lightness);
    }
}

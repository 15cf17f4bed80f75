#include "jpeg/jpeg_quality_plan.h"

#include <iterator>

#include "jpeg/jpeg_codec.h"

namespace {

constexpr int kQualityCount = static_cast<int>(std::size(JpegCodec::kFallbackQualities));

int IndexOf(int quality) {
    for (int index = 0; index < kQualityCount; ++index) {
        if (JpegCodec::kFallbackQualities[index] == quality) return index;
    }
    return kQualityCount - 1;
}

}  // namespace

int JpegQualityPlan::FirstQuality(int64_t now_ms) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (settled_index_ > 0 && now_ms - last_change_ms_ >= kStepUpIntervalMs) {
        // One frame tries the next step up; the wait starts again whatever it finds.
        last_change_ms_ = now_ms;
        return JpegCodec::kFallbackQualities[settled_index_ - 1];
    }
    return JpegCodec::kFallbackQualities[settled_index_];
}

int JpegQualityPlan::NextQuality(int quality, bool fits, int64_t now_ms) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const int index = IndexOf(quality);
    if (!is_settling_) return fits || index == kQualityCount - 1 ? 0 : JpegCodec::kFallbackQualities[index + 1];
    if (fits) {
        if (index < settled_index_) {
            settled_index_ = index;
            last_change_ms_ = now_ms;
        }
        return 0;
    }
    if (index < settled_index_) return JpegCodec::kFallbackQualities[settled_index_];  // the step up failed
    if (index == kQualityCount - 1) return 0;  // stored whole as a longer record
    if (index + 1 > settled_index_) {
        settled_index_ = index + 1;
        last_change_ms_ = now_ms;
    }
    return JpegCodec::kFallbackQualities[index + 1];
}

void JpegQualityPlan::SetSettling(bool is_settling) {
    const std::lock_guard<std::mutex> lock(mutex_);
    is_settling_ = is_settling;
    settled_index_ = 0;
}

int JpegQualityPlan::SettledQuality() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return JpegCodec::kFallbackQualities[settled_index_];
}

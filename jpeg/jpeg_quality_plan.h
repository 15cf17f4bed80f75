#pragma once

#include <cstdint>
#include <mutex>

// Which quality a frame is encoded at first, so that one encode per frame is the rule: the
// quality the last frames needed to fit the record, and now and then one step up to see whether
// the content allows it again. The qualities and their order are the archive's (75, 60, 50); a
// frame that does not fit at the lowest is stored whole as a longer record. Shared by the
// encoding threads.
class JpegQualityPlan {
public:
    // How long the plan stays at a lower quality before it tries the next one up.
    static constexpr int64_t kStepUpIntervalMs = 3000;

    // The quality to encode a frame at first.
    int FirstQuality(int64_t now_ms);
    // After an encode at quality: whether it fit. Returns the quality to encode at next, or 0
    // when the stream just made is the one to store.
    int NextQuality(int quality, bool fits, int64_t now_ms);
    // The quality frames start at now, probes aside.
    int SettledQuality() const;
    // Not settling: every frame starts at the highest quality and steps down on its own, as a
    // recorder that encodes one frame at a time does, where a wasted encode costs no frames.
    void SetSettling(bool is_settling);

private:
    mutable std::mutex mutex_;
    bool is_settling_ = true;
    int settled_index_ = 0;  // into the archive's qualities
    int64_t last_change_ms_ = 0;
};

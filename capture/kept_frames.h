#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include <gst/video/video-frame.h>

#include "recording/camera_frame.h"

// Camera buffers kept past the frame sink's call for the encoders, each mapped and referenced
// until it is let go of. At most kCapacity at once, so that a camera with few buffers of its own
// is not starved: past that the recorder converts the frame during the call instead.
// Destruction waits until every kept frame is let go of (the encoders finish theirs).
class CKeptFrames : public ICameraFrameKeeper {
public:
    static constexpr size_t kCapacity = 4;

    CKeptFrames() = default;
    ~CKeptFrames() override;
    CKeptFrames(const CKeptFrames&) = delete;
    CKeptFrames& operator=(const CKeptFrames&) = delete;

    // The buffer being handed over, while the sink's call runs (null after it); streaming thread.
    void Offer(GstBuffer* buffer, const GstVideoInfo* info) {
        offered_buffer_ = buffer;
        offered_info_ = info;
    }
    void* Keep(CameraFrame& frame) override;
    void LetGo(void* token) override;
    // Frames kept now; any thread.
    size_t KeptCount() const;

private:
    struct Slot {
        GstVideoFrame frame{};
        bool is_kept = false;
    };

    void Free(Slot& slot);

    GstBuffer* offered_buffer_ = nullptr;
    const GstVideoInfo* offered_info_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable all_let_go_;
    std::array<Slot, kCapacity> slots_{};
    size_t kept_count_ = 0;
};

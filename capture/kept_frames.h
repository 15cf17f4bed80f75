#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include <gst/video/video-frame.h>

#include "picture/camera_frame.h"

// Camera frames kept past the frame sink's call for the encoders: the sink's own mapping of the
// frame (which holds the buffer) is taken over until the frame is let go of, so keeping costs no
// copy, even of a buffer in pieces that mapping had to join. At most kCapacity at once, so that a
// camera with few buffers of its own is not starved: past that the recorder converts the frame
// during the call instead. Destruction waits until every kept frame is let go of (the encoders
// finish theirs).
class CKeptFrames : public ICameraFrameKeeper {
public:
    static constexpr size_t kCapacity = 4;

    CKeptFrames() = default;
    ~CKeptFrames() override;
    CKeptFrames(const CKeptFrames&) = delete;
    CKeptFrames& operator=(const CKeptFrames&) = delete;

    // The mapped frame being handed over, while the sink's call runs; streaming thread.
    void Offer(GstVideoFrame* mapped) {
        offered_ = mapped;
        is_offer_taken_ = false;
    }
    // After the call: true when the mapping was kept, and is no longer the sink's to unmap.
    bool EndOffer() {
        offered_ = nullptr;
        return is_offer_taken_;
    }
    void* Keep(CameraFrame& frame) override;
    void LetGo(void* token) override;

private:
    struct Slot {
        GstVideoFrame frame{};
        bool is_kept = false;
    };

    GstVideoFrame* offered_ = nullptr;
    bool is_offer_taken_ = false;
    std::mutex mutex_;
    std::condition_variable all_let_go_;
    std::array<Slot, kCapacity> slots_{};
    size_t kept_count_ = 0;
};

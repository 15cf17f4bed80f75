#include "capture/kept_frames.h"

CKeptFrames::~CKeptFrames() {
    std::unique_lock<std::mutex> lock(mutex_);
    all_let_go_.wait(lock, [this] { return kept_count_ == 0; });
}

void* CKeptFrames::Keep(CameraFrame& frame) {
    if (offered_ == nullptr || is_offer_taken_) return nullptr;
    Slot* free_slot = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (Slot& slot : slots_) {
            if (!slot.is_kept) {
                free_slot = &slot;
                break;
            }
        }
        if (free_slot == nullptr) return nullptr;
        free_slot->is_kept = true;
        ++kept_count_;
        free_slot->frame = *offered_;
    }
    is_offer_taken_ = true;
    for (guint plane = 0; plane < GST_VIDEO_FRAME_N_PLANES(&free_slot->frame) && plane < 3; ++plane) {
        frame.planes[plane] = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&free_slot->frame, plane));
        frame.strides[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(&free_slot->frame, plane);
    }
    return free_slot;
}

void CKeptFrames::LetGo(void* token) {
    auto* slot = static_cast<Slot*>(token);
    const std::lock_guard<std::mutex> lock(mutex_);
    gst_video_frame_unmap(&slot->frame);
    slot->is_kept = false;
    if (--kept_count_ == 0) all_let_go_.notify_all();
}

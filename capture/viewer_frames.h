#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "jpeg/jpeg_codec.h"
#include "picture/camera_frame.h"
#include "picture/packed_picture.h"

// One live JPEG as remote viewers get it.
struct ViewerJpeg {
    std::vector<uint8_t> bytes;
    uint64_t sequence = 0;  // grows by one with every frame put in the slot
};

// The live picture for remote viewers: one slot that always holds the newest JPEG, never a
// queue. A frame is put in only while a viewer is waiting for one, so nothing is copied or
// encoded while nobody watches, and never faster than the fastest viewer takes frames.
// Frames come from the recorder (the JPEG it stores), else from the camera (its own JPEG, else
// one encode shared by every viewer).
class CViewerFrames {
public:
    CViewerFrames() = default;
    CViewerFrames(const CViewerFrames&) = delete;
    CViewerFrames& operator=(const CViewerFrames&) = delete;

    // Told, on the thread that put it there, that a new frame is in the slot. Must be cheap.
    void SetListener(std::function<void()> on_frame);
    // A viewer has sent the newest frame and waits for the next one. Any thread.
    void Want() { is_wanted_.store(true, std::memory_order_release); }
    bool IsWanted() const { return is_wanted_.load(std::memory_order_acquire); }

    // Streaming or writer thread: a JPEG the recorder stored. Copied only when wanted.
    void OfferStored(const uint8_t* jpeg, uint32_t size);
    // Streaming thread, for a frame the recorder did not store: the camera's own JPEG as it
    // came, else one encode of the frame. Nothing when no viewer waits, or when the recorder
    // stored a frame in the last stored_grace_ms (its frames are the ones viewers get).
    void OfferCameraFrame(const CameraFrame& frame, int64_t now_ms, int64_t stored_grace_ms = 500);

    // The newest frame, null before the first one.
    std::shared_ptr<const ViewerJpeg> Newest() const;
    // Frames encoded for viewers (not stored by the recorder nor sent by the camera as JPEG).
    int64_t EncodeCount() const { return encodes_.load(); }
    const std::string& LastError() const { return last_error_; }

private:
    void Put(const uint8_t* jpeg, uint32_t size);
    bool Encode(const CameraFrame& frame);

    mutable std::mutex mutex_;
    std::shared_ptr<const ViewerJpeg> newest_;
    uint64_t sequence_ = 0;
    std::function<void()> on_frame_;
    std::atomic<bool> is_wanted_{false};
    std::atomic<int64_t> last_stored_ms_{INT64_MIN / 2};
    std::atomic<int64_t> encodes_{0};

    // Streaming thread only.
    JpegCodec codec_;
    BMP_File picture_;
    std::vector<uint8_t> encoded_;
    std::string last_error_;
};

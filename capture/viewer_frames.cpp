#include "capture/viewer_frames.h"

#include <cstdlib>

#include "capture/capture_log.h"
#include "picture/frame_pass.h"
#include "platform/tick_clock.h"

void CViewerFrames::SetListener(std::function<void()> on_frame) {
    const std::lock_guard<std::mutex> lock(mutex_);
    on_frame_ = std::move(on_frame);
}

void CViewerFrames::Put(const uint8_t* jpeg, uint32_t size) {
    // The copy is made outside the lock; a reader holding the frame before keeps it alive.
    auto frame = std::make_shared<ViewerJpeg>();
    frame->bytes.assign(jpeg, jpeg + size);
    is_wanted_.store(false, std::memory_order_release);
    const std::lock_guard<std::mutex> lock(mutex_);
    frame->sequence = ++sequence_;
    newest_ = std::move(frame);
    if (on_frame_) on_frame_();
}

void CViewerFrames::OfferStored(const uint8_t* jpeg, uint32_t size) {
    last_stored_ms_.store(MonotonicMs(), std::memory_order_relaxed);
    if (IsWanted() && jpeg != nullptr && size > 0) Put(jpeg, size);
}

void CViewerFrames::OfferCameraFrame(const CameraFrame& frame, int64_t now_ms, int64_t stored_grace_ms) {
    if (!IsWanted()) return;
    if (now_ms - last_stored_ms_.load(std::memory_order_relaxed) < stored_grace_ms) return;
    if (frame.layout == PixelLayout::kJpeg) {
        if (frame.planes[0] != nullptr && frame.size_bytes > 0)
            Put(frame.planes[0], static_cast<uint32_t>(frame.size_bytes));
        return;
    }
    if (!Encode(frame)) {
        qCWarning(lcCapture).noquote() << "live frame for remote viewers not encoded:"
                                       << QString::fromStdString(last_error_);
        return;
    }
    encodes_.fetch_add(1);
}

bool CViewerFrames::Encode(const CameraFrame& frame) {
    const int32_t width = frame.width;
    const int32_t height = std::abs(frame.height);
    if (width <= 0 || height <= 0 || frame.planes[0] == nullptr) {
        last_error_ = "the frame is empty";
        return false;
    }
    if (!picture_.CreateForOverwrite(width, height)) {
        last_error_ = "no memory for a picture of " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    PassTarget target;
    target.bgr = picture_.GetBits();
    const YuvCoefficients coefficients = YuvCoefficients::For(frame.colour);
    RunFramePass(frame, coefficients, target);
    const uint32_t capacity = static_cast<uint32_t>(picture_.GetPixelCount() * 3 + 65536);
    if (encoded_.size() < capacity) encoded_.resize(capacity);
    const uint32_t size = codec_.EncodeJpeg(picture_, encoded_.data(), capacity);
    if (size == 0) {
        last_error_ = codec_.LastError();
        return false;
    }
    Put(encoded_.data(), size);
    return true;
}

std::shared_ptr<const ViewerJpeg> CViewerFrames::Newest() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return newest_;
}

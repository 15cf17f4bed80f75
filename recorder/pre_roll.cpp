#include "recorder/pre_roll.h"

namespace {

// Buffers kept for the next frames held: enough for the frames of an event's start to come back
// before the hold fills again, few enough to cost nothing while it does not.
constexpr size_t kMaxSpares = 8;

}  // namespace

void CPreRollBuffer::Drop() {
    bytes_ -= frames_.front().jpeg.size();
    Recycle(std::move(frames_.front().jpeg));
    frames_.pop_front();
}

void CPreRollBuffer::Recycle(std::vector<uint8_t> buffer) {
    if (buffer.capacity() == 0) return;
    if (spares_.size() < kMaxSpares) {
        spares_.push_back(std::move(buffer));
        return;
    }
    // Full: the smallest spare gives way to a larger buffer.
    auto smallest = spares_.begin();
    for (auto it = spares_.begin(); it != spares_.end(); ++it) {
        if (it->capacity() < smallest->capacity()) smallest = it;
    }
    if (smallest->capacity() < buffer.capacity()) *smallest = std::move(buffer);
}

void CPreRollBuffer::Hold(HeldFrame frame, int64_t keep_from_ms) {
    bytes_ += frame.jpeg.size();
    frames_.push_back(std::move(frame));
    while (!frames_.empty() && frames_.front().time_ms < keep_from_ms) Drop();
    // The newest frame stays even alone beyond the limit: it may begin an event.
    const uint64_t byte_limit = byte_limit_.load(std::memory_order_relaxed);
    while (bytes_ > byte_limit && frames_.size() > 1) {
        Drop();
        is_shortened_ = true;
    }
}

std::vector<HeldFrame> CPreRollBuffer::TakeFrom(int64_t from_ms) {
    while (!frames_.empty() && frames_.front().time_ms < from_ms) Drop();
    std::vector<HeldFrame> taken(std::make_move_iterator(frames_.begin()), std::make_move_iterator(frames_.end()));
    frames_.clear();
    bytes_ = 0;
    is_shortened_ = false;
    return taken;
}

void CPreRollBuffer::Clear() {
    while (!frames_.empty()) Drop();
    is_shortened_ = false;
}

std::vector<uint8_t> CPreRollBuffer::SpareBuffer() {
    if (spares_.empty()) return {};
    std::vector<uint8_t> buffer = std::move(spares_.back());
    spares_.pop_back();
    buffer.clear();
    return buffer;
}

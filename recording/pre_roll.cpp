#include "recording/pre_roll.h"

void CPreRollBuffer::Drop() {
    bytes_ -= frames_.front().jpeg.size();
    if (spare_.capacity() < frames_.front().jpeg.capacity()) spare_ = std::move(frames_.front().jpeg);
    frames_.pop_front();
}

void CPreRollBuffer::Hold(HeldFrame frame, int64_t keep_from_ms) {
    bytes_ += frame.jpeg.size();
    frames_.push_back(std::move(frame));
    while (!frames_.empty() && frames_.front().time_ms < keep_from_ms) Drop();
    // The newest frame stays even alone beyond the limit: it may begin an event.
    while (bytes_ > byte_limit_ && frames_.size() > 1) {
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
    std::vector<uint8_t> buffer = std::move(spare_);
    spare_ = {};
    buffer.clear();
    return buffer;
}

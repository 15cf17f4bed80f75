#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "detection/motion_events.h"

// A frame held before an event: the JPEG that would be stored, with its own record stamp.
struct HeldFrame {
    std::vector<uint8_t> jpeg;
    int32_t width = 0;
    int32_t height = 0;
    double record_stamp = 0.0;  // the stamp the frame had when it came
    int64_t time_ms = 0;        // monotonic, when it came
    int quality = 0;            // what it was encoded at
};

// How much the hold keeps now. Read from any thread.
struct PreRollStatus {
    int64_t span_ms = 0;  // from the oldest frame held to the newest
    uint64_t bytes = 0;
    bool is_shortened = false;  // the memory limit holds less than the time asked for
};

// The last seconds before an event, as stored JPEGs, never as pictures, within a byte limit:
// when the span asked for does not fit, the oldest frames go first and the span is shortened.
class CPreRollBuffer {
public:
    explicit CPreRollBuffer(uint64_t byte_limit = kPreRollByteLimit) : byte_limit_(byte_limit) {}
    // Any thread; the next frame held keeps it.
    void SetByteLimit(uint64_t byte_limit) { byte_limit_.store(byte_limit, std::memory_order_relaxed); }

    // Keeps frame, then lets go of every frame before keep_from_ms and, beyond the byte limit,
    // of the oldest ones.
    void Hold(HeldFrame frame, int64_t keep_from_ms);
    // The frames from from_ms on, oldest first; the buffer is empty afterwards.
    std::vector<HeldFrame> TakeFrom(int64_t from_ms);
    void Clear();
    // A buffer to encode the next held frame into, recycled from a frame let go of.
    std::vector<uint8_t> SpareBuffer();

    // Takes back the buffer of a frame taken and written, for the next frame held.
    void Recycle(std::vector<uint8_t> buffer);

    uint64_t Bytes() const { return bytes_; }
    size_t Count() const { return frames_.size(); }
    // From the oldest held frame to the newest.
    int64_t SpanMs() const { return frames_.empty() ? 0 : frames_.back().time_ms - frames_.front().time_ms; }
    // The byte limit let go of a frame the span still asked for, since the buffer was last emptied.
    bool IsShortened() const { return is_shortened_; }
    PreRollStatus Status() const { return PreRollStatus{SpanMs(), bytes_, is_shortened_}; }

private:
    void Drop();

    std::atomic<uint64_t> byte_limit_;
    std::deque<HeldFrame> frames_;
    uint64_t bytes_ = 0;
    bool is_shortened_ = false;
    std::vector<std::vector<uint8_t>> spares_;  // a few, for the next frames held
};

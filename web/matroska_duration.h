#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A Matroska file written as a stream cannot seek back to give its length, so players show none
// and cannot seek. Where the length is known before the first frame, this adds it to the
// segment's information as the bytes pass: they are held until that element is whole (a few
// hundred bytes), then go on with the length inserted; anything unexpected passes unchanged.
class CMatroskaDurationInserter {
public:
    explicit CMatroskaDurationInserter(uint64_t duration_ns) : duration_ns_(duration_ns) {}

    // Takes the next bytes of the stream and appends what may go on to out.
    void Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
    // At the end of the stream: what is still held.
    void Flush(std::vector<uint8_t>& out);

private:
    enum class State { kHolding, kPassing };
    // Inserts the length once the information element is whole; false while more is needed.
    bool TryInsert();

    uint64_t duration_ns_;
    State state_ = State::kHolding;
    std::vector<uint8_t> held_;
};

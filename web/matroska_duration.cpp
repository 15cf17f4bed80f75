#include "web/matroska_duration.h"

#include <cstring>
#include <optional>

namespace {

constexpr uint32_t kEbmlHeaderId = 0x1A45DFA3;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kInfoId = 0x1549A966;
constexpr uint32_t kDurationId = 0x4489;
constexpr uint32_t kTimeScaleId = 0x2AD7B1;
// More than a muxer's headers before the first frame: past it, the bytes pass unchanged.
constexpr size_t kMaxHeldBytes = 64 * 1024;

struct Element {
    uint32_t id = 0;
    size_t size_at = 0;      // where the size field starts
    size_t size_length = 0;  // its bytes
    uint64_t size = 0;       // all ones: unknown
    size_t data_at = 0;
};

// An EBML variable-length number at at: its value (with the length marker kept for IDs) and length.
std::optional<std::pair<uint64_t, size_t>> ReadVint(const std::vector<uint8_t>& bytes, size_t at, bool is_id) {
    if (at >= bytes.size() || bytes[at] == 0) return std::nullopt;
    size_t length = 1;
    for (uint8_t mask = 0x80; (bytes[at] & mask) == 0; mask >>= 1) ++length;
    if (at + length > bytes.size() || (is_id && length > 4)) return std::nullopt;
    uint64_t value = is_id ? bytes[at] : bytes[at] & ((0x80u >> (length - 1)) - 1);
    for (size_t i = 1; i < length; ++i) value = value << 8 | bytes[at + i];
    return std::make_pair(value, length);
}

std::optional<Element> ReadElement(const std::vector<uint8_t>& bytes, size_t at) {
    const auto id = ReadVint(bytes, at, true);
    if (!id) return std::nullopt;
    const auto size = ReadVint(bytes, at + id->second, false);
    if (!size) return std::nullopt;
    Element element;
    element.id = static_cast<uint32_t>(id->first);
    element.size_at = at + id->second;
    element.size_length = size->second;
    element.size = size->first;
    element.data_at = element.size_at + size->second;
    return element;
}

bool IsUnknownSize(const Element& element) { return element.size == (uint64_t{1} << (7 * element.size_length)) - 1; }

}  // namespace

bool CMatroskaDurationInserter::TryInsert() {
    // EBML header, then the segment (its size unknown in a stream), whose first child is the
    // information element GStreamer writes with an eight-byte size.
    const auto header = ReadElement(held_, 0);
    if (!header) return false;
    if (header->id != kEbmlHeaderId) {
        state_ = State::kPassing;
        return true;
    }
    const auto segment = ReadElement(held_, header->data_at + header->size);
    if (!segment) return false;
    if (segment->id != kSegmentId) {
        state_ = State::kPassing;
        return true;
    }
    const auto info = ReadElement(held_, segment->data_at);
    if (!info) return false;
    if (info->id != kInfoId || IsUnknownSize(*info) || info->size_length != 8) {
        state_ = State::kPassing;
        return true;
    }
    const size_t info_end = info->data_at + info->size;
    if (held_.size() < info_end) return false;
    state_ = State::kPassing;
    uint64_t time_scale_ns = 1000000;  // the format's default
    for (size_t at = info->data_at; at < info_end;) {
        const auto child = ReadElement(held_, at);
        if (!child || child->data_at + child->size > info_end) return true;
        if (child->id == kDurationId) return true;  // the muxer gave one itself
        if (child->id == kTimeScaleId && child->size >= 1 && child->size <= 8) {
            time_scale_ns = 0;
            for (size_t i = 0; i < child->size; ++i) time_scale_ns = time_scale_ns << 8 | held_[child->data_at + i];
        }
        at = child->data_at + child->size;
    }
    if (time_scale_ns == 0) return true;
    // A float of the time scale's units, big-endian.
    const double duration_units = static_cast<double>(duration_ns_) / static_cast<double>(time_scale_ns);
    uint8_t duration[11] = {0x44, 0x89, 0x88};
    uint64_t bits = 0;
    std::memcpy(&bits, &duration_units, sizeof bits);
    for (int i = 0; i < 8; ++i) duration[3 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    const uint64_t new_size = info->size + sizeof duration;
    held_[info->size_at] = 0x01;  // eight-byte size
    for (size_t i = 1; i < 8; ++i) held_[info->size_at + i] = static_cast<uint8_t>(new_size >> (8 * (7 - i)));
    held_.insert(held_.begin() + static_cast<std::ptrdiff_t>(info_end), duration, duration + sizeof duration);
    return true;
}

void CMatroskaDurationInserter::Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    if (state_ == State::kPassing) {
        out.insert(out.end(), data, data + size);
        return;
    }
    held_.insert(held_.end(), data, data + size);
    if (!TryInsert() && held_.size() < kMaxHeldBytes) return;
    state_ = State::kPassing;
    Flush(out);
}

void CMatroskaDurationInserter::Flush(std::vector<uint8_t>& out) {
    out.insert(out.end(), held_.begin(), held_.end());
    held_.clear();
    held_.shrink_to_fit();
}

#include "archive/archive_index.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "archive/archive_format.h"
#include "platform/posix_file.h"

namespace fmt = archive_format;

namespace {

// A JPEG stream is at least SOI, the APP0 marker, its length and the tag.
constexpr uint32_t kMinJpegBytes = 11;
constexpr size_t kSearchChunkBytes = 64 * 1024;
// A record reached only after searching further than this is kept, so that it is never searched for twice.
constexpr int64_t kLongSearchBytes = 64 * 1024;
// Bytes read for a head: the head itself and the tag.
constexpr int64_t kHeadAndTagBytes = fmt::kTagOffsetInRecord + sizeof fmt::kJfifTag;
// A record found by its tag after damage may be this far in time from the record before, in days.
constexpr double kNearTimeDays = 30.0;

// Bytes of from .. to that the file holds on disk. A hole was never written, so it held no
// records; a file system that cannot tell holes reports every byte as data.
int64_t WrittenBytesBetween(int fd, int64_t from, int64_t to) {
    int64_t written = 0;
    int64_t position = from;
    while (position < to) {
        const off_t data = ::lseek(fd, position, SEEK_DATA);
        if (data < 0) return errno == ENXIO ? written : written + (to - position);
        if (data >= to) break;
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        const int64_t data_end = hole < 0 ? to : std::min<int64_t>(hole, to);
        written += data_end - data;
        position = data_end;
    }
    return written;
}

}  // namespace

const char* RecordConditionName(RecordCondition condition) {
    switch (condition) {
        case RecordCondition::kIntact: return "intact";
        case RecordCondition::kTagDamaged: return "tag damaged";
        case RecordCondition::kLengthDamaged: return "length damaged";
        case RecordCondition::kLost: return "lost";
    }
    return "unknown";
}

int64_t ArchiveRecord::DataPosition() const { return start + fmt::kRecordHeadSize; }

void CArchiveIndex::Clear() {
    fd_ = -1;
    records_end_ = 0;
    is_trailer_end_ = false;
    count_ = 0;
    kept_.clear();
    kept_.shrink_to_fit();
    widened_start_ = -1;
    widened_span_ = 1;
    cursor_.reset();
    heads_.fill(CachedHead{});
    search_buffer_.clear();
    search_buffer_.shrink_to_fit();
    search_position_ = 0;
}

void CArchiveIndex::Build(int fd, int64_t records_end, bool is_trailer_end, int64_t max_records,
                          std::optional<int32_t> known_total) {
    Clear();
    fd_ = fd;
    records_end_ = records_end;
    is_trailer_end_ = is_trailer_end;
    max_records = std::min<int64_t>(max_records, INT32_MAX);
    if (known_total) max_records = std::min<int64_t>(max_records, *known_total);
    double reference_time = 0.0;
    int64_t position = fmt::kHeaderSize;
    int32_t damaged_count = 0;
    Kept stretch;
    // The smallest record read whole: a damaged stretch cannot have held records smaller than that.
    int64_t smallest_record_bytes = 0;
    while (count_ < max_records) {
        const StepResult step = Step(position, reference_time);
        if (!step.record) break;
        if (step.record->condition != RecordCondition::kLost) reference_time = step.record->time_stamp;
        const Kept found{count_, 1, *step.record};
        if (kept_.empty() || count_ - kept_.back().index >= kSpacing || step.bytes_searched > kLongSearchBytes) {
            kept_.push_back(found);
        }
        if (!step.record->HasData()) {
            ++damaged_count;
            stretch = found;
        } else {
            const int64_t record_bytes = step.record->next - step.record->start;
            if (smallest_record_bytes == 0 || record_bytes < smallest_record_bytes)
                smallest_record_bytes = record_bytes;
        }
        position = step.record->next;
        ++count_;
    }
    if (!known_total || *known_total <= count_ || damaged_count != 1) return;
    // One damaged stretch, and the count says how many records it held: widen it to them, if records
    // as small as the smallest one read fit in the bytes it holds on disk. A count that does not fit
    // is damage too, and would invent frames.
    const int32_t span = *known_total - count_ + 1;
    if (smallest_record_bytes == 0) return;
    const int64_t written = WrittenBytesBetween(fd_, stretch.record.start, stretch.record.next);
    if (written / smallest_record_bytes < span) return;
    widened_start_ = stretch.record.start;
    widened_span_ = span;
    for (Kept& kept : kept_) {
        if (kept.index == stretch.index) kept.span = span;
        if (kept.index > stretch.index) kept.index += span - 1;
    }
    count_ = *known_total;
}

std::optional<CArchiveIndex::Head> CArchiveIndex::HeadAt(int64_t position) const {
    for (const CachedHead& cached : heads_) {
        if (cached.position == position) return cached.head;
    }
    std::optional<Head> head;
    if (position >= fmt::kHeaderSize && records_end_ - position >= kHeadAndTagBytes) {
        uint8_t at[kHeadAndTagBytes];
        if (ReadBytes(position, at, sizeof at)) {
            // Built, then copied in: optional's emplace cannot see that a nested struct with member
            // initialisers is default constructible, on every compiler.
            Head read;
            read.time_stamp = fmt::ReadDouble(at);
            read.length = fmt::ReadU32(at + 8);
            read.has_valid_length = read.length >= kMinJpegBytes && read.length <= fmt::kMaxRecordBytes;
            read.has_tag = std::memcmp(at + fmt::kTagOffsetInRecord, fmt::kJfifTag, sizeof fmt::kJfifTag) == 0;
            head = read;
        }
    }
    heads_[next_head_slot_] = CachedHead{position, head};
    next_head_slot_ = (next_head_slot_ + 1) % heads_.size();
    return head;
}

bool CArchiveIndex::BeginsRecordOrEnd(int64_t position, int follow_links) const {
    // A tail too short for a head is the end: a record cut short, or nothing.
    if (records_end_ - position < fmt::kMinRecordSize) return true;
    const std::optional<Head> head = HeadAt(position);
    if (!head) return true;
    if (head->has_tag) return true;
    if (follow_links == 0 || !head->has_valid_length) return false;
    const int64_t next = position + fmt::kRecordHeadSize + head->length;
    return next <= records_end_ && BeginsRecordOrEnd(next, follow_links - 1);
}

bool CArchiveIndex::ReadBytes(int64_t position, uint8_t* into, size_t size) const {
    // Served from the search buffer where it holds the bytes: damaged stretches are read once.
    const int64_t buffered = static_cast<int64_t>(search_buffer_.size());
    if (position >= search_position_ && position + static_cast<int64_t>(size) <= search_position_ + buffered) {
        std::memcpy(into, search_buffer_.data() + (position - search_position_), size);
        return true;
    }
    return ReadAt(fd_, position, into, size) == size;
}

std::optional<int64_t> CArchiveIndex::SearchTag(int64_t tag_from, int64_t& bytes_searched) const {
    constexpr int64_t kTagBytes = sizeof fmt::kJfifTag;
    int64_t position = tag_from;
    std::optional<int64_t> found;
    while (!found && records_end_ - position >= kTagBytes) {
        int64_t buffered = static_cast<int64_t>(search_buffer_.size());
        if (position < search_position_ || position + kTagBytes > search_position_ + buffered) {
            // A hole holds only zeros, so no tag: the search goes on where the file's data does.
            const off_t data = ::lseek(fd_, position, SEEK_DATA);
            if (data < 0 && errno == ENXIO) break;
            if (data > position) position = data;
            if (records_end_ - position < kTagBytes) break;
            const auto wanted = static_cast<size_t>(std::min<int64_t>(kSearchChunkBytes, records_end_ - position));
            search_buffer_.resize(wanted);
            search_buffer_.resize(ReadAt(fd_, position, search_buffer_.data(), wanted));
            search_position_ = position;
            buffered = static_cast<int64_t>(search_buffer_.size());
            if (buffered < kTagBytes) break;  // the file shrank
        }
        const uint8_t* begin = search_buffer_.data();
        const uint8_t* end = begin + buffered;
        for (const uint8_t* at = begin + (position - search_position_); end - at >= kTagBytes; ++at) {
            at = static_cast<const uint8_t*>(std::memchr(at, 'J', static_cast<size_t>(end - at)));
            if (at == nullptr || end - at < kTagBytes) break;
            if (std::memcmp(at, fmt::kJfifTag, kTagBytes) == 0) {
                found = search_position_ + (at - begin) - fmt::kTagOffsetInRecord;
                break;
            }
        }
        // A tag may straddle the end of the buffer: go on from its last bytes.
        position = search_position_ + buffered - (kTagBytes - 1);
    }
    bytes_searched += (found ? *found + fmt::kTagOffsetInRecord : records_end_) - tag_from;
    return found;
}

bool CArchiveIndex::EndsImageAt(int64_t position) const {
    uint8_t end_marker[2];
    return ReadBytes(position - 2, end_marker, sizeof end_marker) && end_marker[0] == 0xFF && end_marker[1] == 0xD9;
}

bool CArchiveIndex::IsPlausibleHead(int64_t position, double reference_time) const {
    const std::optional<Head> head = HeadAt(position);
    if (!head || !head->has_valid_length) return false;
    uint8_t start[4];
    if (!ReadBytes(position + fmt::kRecordHeadSize, start, sizeof start) || start[0] != 0xFF || start[1] != 0xD8 ||
        start[2] != 0xFF || start[3] != 0xE0) {
        return false;
    }
    // Frames of one file are seconds apart; bytes of a picture read as a time are anything.
    const bool is_time_near = reference_time == 0.0 || std::fabs(head->time_stamp - reference_time) <= kNearTimeDays;
    const int64_t length_end = position + fmt::kRecordHeadSize + head->length;
    return is_time_near && length_end <= records_end_ && BeginsRecordOrEnd(length_end, 0);
}

CArchiveIndex::StepResult CArchiveIndex::Step(int64_t position, double reference_time) const {
    StepResult result;
    while (true) {
        const std::optional<Head> head =
            records_end_ - position >= fmt::kMinRecordSize ? HeadAt(position) : std::nullopt;
        if (!head) return result;
        const int64_t length_end = position + fmt::kRecordHeadSize + head->length;
        const bool is_length_inside = head->has_valid_length && length_end <= records_end_;
        ArchiveRecord record{position, length_end, head->length, head->time_stamp,
                             head->has_tag ? RecordCondition::kIntact : RecordCondition::kTagDamaged};
        if (is_length_inside && BeginsRecordOrEnd(length_end, 1)) {
            result.record = record;
            return result;
        }
        // The chain of lengths breaks here: the next record is the first tag behind this position
        // with a head to believe.
        std::optional<int64_t> found = SearchTag(position + fmt::kTagOffsetInRecord + 1, result.bytes_searched);
        const double near_time = reference_time != 0.0 ? reference_time : head->has_tag ? head->time_stamp : 0.0;
        while (found && !IsPlausibleHead(*found, near_time)) {
            found = SearchTag(*found + fmt::kTagOffsetInRecord + 1, result.bytes_searched);
        }
        const int64_t stretch_end = found.value_or(records_end_);
        // A length that ends at a JPEG's end marker before that tag is right: the damage lies behind it.
        if (is_length_inside && length_end < stretch_end && EndsImageAt(length_end)) {
            result.record = record;
            return result;
        }
        if (head->has_tag) {
            // A length beyond the end of the file is a record cut short, unless a trailer follows.
            if (!found && !is_length_inside && !is_trailer_end_) return result;
            record.next = stretch_end;
            record.condition = RecordCondition::kLengthDamaged;
            result.record = record;
            return result;
        }
        // Damaged bytes up to the next record, or up to the trailer of a finished file, are one lost record.
        if (!found && !is_trailer_end_) return result;
        if (stretch_end - position >= fmt::kMinRecordSize) {
            result.record = ArchiveRecord{position, stretch_end, 0, 0.0, RecordCondition::kLost};
            return result;
        }
        if (!found) return result;
        position = *found;  // fewer stray bytes than a record holds: nothing was lost
    }
}

std::optional<ArchiveRecord> CArchiveIndex::Find(int32_t index) const {
    if (index < 0 || index >= count_) return std::nullopt;
    const auto holds = [index](const Kept& kept) { return kept.index <= index && index - kept.index < kept.span; };
    // Beyond its first number, a widened stretch stands for records of which nothing is left.
    const auto record_of = [index](const Kept& kept) {
        if (index == kept.index) return kept.record;
        return ArchiveRecord{kept.record.start, kept.record.next, 0, 0.0, RecordCondition::kLost};
    };
    if (cursor_ && holds(*cursor_)) return record_of(*cursor_);
    const auto after = std::upper_bound(kept_.begin(), kept_.end(), index,
                                        [](int32_t wanted, const Kept& kept) { return wanted < kept.index; });
    if (after == kept_.begin()) return std::nullopt;
    Kept from = *std::prev(after);
    if (cursor_ && cursor_->index < index && cursor_->index > from.index) from = *cursor_;
    while (!holds(from)) {
        const StepResult step = Step(from.record.next, from.record.time_stamp);
        if (!step.record) return std::nullopt;  // the file changed since it was opened
        const int32_t span = step.record->start == widened_start_ ? widened_span_ : 1;
        from = Kept{from.index + from.span, span, *step.record};
    }
    cursor_ = from;
    return record_of(from);
}

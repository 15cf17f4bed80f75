#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// What the reader found where a record belongs.
enum class RecordCondition : uint8_t {
    kIntact,         // its tag is in place and its length leads to the next record
    kTagDamaged,     // its length leads to the next record, but its "JFIF" tag is not in place
    kLengthDamaged,  // its tag is in place, but its length does not lead to the next record
    kLost,           // bytes where one record belongs that hold no readable record
};

const char* RecordConditionName(RecordCondition condition);

struct ArchiveRecord {
    int64_t start = 0;        // file position of the record's head
    int64_t next = 0;         // where the record after it begins
    uint32_t length = 0;      // the JPEG length as stored (0 for a lost record)
    double time_stamp = 0.0;  // as stored (0 for a lost record)
    RecordCondition condition = RecordCondition::kIntact;

    int64_t DataPosition() const;
    // Its length can be trusted: the JPEG bytes lie between its head and the next record.
    bool HasData() const { return condition == RecordCondition::kIntact || condition == RecordCondition::kTagDamaged; }
};

// The records of an archive file, found by walking the record heads from the first one, so that
// record k is the k-th record of the file whatever the sizes of the records before it. Each
// record is confirmed by its "JFIF" tag or by a length that leads to the next one. Where damage
// breaks that chain, the next record is found by its tag, believed only where a whole record
// head is plausible there (a JPEG start, a time near the record before, a length that leads to
// the next head), and the damaged stretch keeps one number, so that the records behind it keep
// theirs, as long as records as small as the smallest one read fit in the bytes it holds on disk.
// A finished file whose header and trailer agree holds no more records than they count.
// Building costs one small read per record, plus one pass over the written bytes of damaged
// stretches: holes are skipped. Only every
// kSpacing-th record and those found after a long search are kept, so memory stays small on any
// file and finding a record walks at most kSpacing - 1 heads from one that is kept.
class CArchiveIndex {
public:
    static constexpr int32_t kSpacing = 32;

    // Walks the records of fd that lie between the header and records_end (the end of the file,
    // or the start of its trailer), stopping after max_records. A record cut short by
    // records_end is not counted, unless is_trailer_end says a finished file ends there.
    // known_total, the record count a finished file states in its header and trailer alike,
    // tells how many records one damaged stretch swallowed when it is the only one: those
    // records keep their numbers, all lost, and the records behind them keep theirs.
    void Build(int fd, int64_t records_end, bool is_trailer_end, int64_t max_records,
               std::optional<int32_t> known_total = std::nullopt);
    void Clear();

    int32_t Count() const { return count_; }
    // Record index; nothing outside 0 .. Count() - 1, or when the file no longer holds it.
    std::optional<ArchiveRecord> Find(int32_t index) const;

private:
    struct Head {
        bool has_tag = false;
        bool has_valid_length = false;
        uint32_t length = 0;
        double time_stamp = 0.0;
    };
    // A record and the numbers it takes: one, or several for a damaged stretch that swallowed them.
    struct Kept {
        int32_t index = 0;  // the first number
        int32_t span = 1;
        ArchiveRecord record;
    };
    struct StepResult {
        std::optional<ArchiveRecord> record;  // nothing: no record begins at or after the position
        int64_t bytes_searched = 0;
    };

    // The record at or after position; reference_time is the time of the record before (0: none known).
    StepResult Step(int64_t position, double reference_time) const;
    // Whether a record found by its tag at position has a head to believe.
    bool IsPlausibleHead(int64_t position, double reference_time) const;
    // The head of a record at position; nothing when fewer than a head's bytes are left.
    std::optional<Head> HeadAt(int64_t position) const;
    // Whether a record, or the end of the records, begins at position; follow_links more lengths
    // may be followed to find out.
    bool BeginsRecordOrEnd(int64_t position, int follow_links) const;
    // size bytes at position; false when the file holds fewer.
    bool ReadBytes(int64_t position, uint8_t* into, size_t size) const;
    // Whether the two bytes before position are a JPEG's end marker.
    bool EndsImageAt(int64_t position) const;
    // The start of the first record whose tag lies at or after tag_from.
    std::optional<int64_t> SearchTag(int64_t tag_from, int64_t& bytes_searched) const;

    int fd_ = -1;
    int64_t records_end_ = 0;
    bool is_trailer_end_ = false;
    int32_t count_ = 0;
    std::vector<Kept> kept_;
    // The damaged stretch that stands for several records, by its start.
    int64_t widened_start_ = -1;
    int32_t widened_span_ = 1;
    // Caches: the record found last, and the last heads read.
    mutable std::optional<Kept> cursor_;
    struct CachedHead {
        int64_t position = -1;
        std::optional<Head> head;
    };
    mutable std::array<CachedHead, 4> heads_{};
    mutable size_t next_head_slot_ = 0;
    mutable std::vector<uint8_t> search_buffer_;
    mutable int64_t search_position_ = 0;
};

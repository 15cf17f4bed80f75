// The archive reader on any file: opening, stepping, jumping, decoding and what `info` reports
// must neither crash nor disagree with itself.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "archive/archive_format.h"
#include "archive/archive_reader.h"
#include "cli/archive_cli_util.h"
#include "fuzz/memory_file.h"

namespace {

// Enough to reach every path of the index (it keeps every 32nd record) without letting a huge
// stated count make one input slow.
constexpr int32_t kFramesWalked = 200;
constexpr int32_t kFramesDecoded = 3;

bool SameTime(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool SameRecord(const ArchiveRecord& a, const ArchiveRecord& b) {
    return a.start == b.start && a.next == b.next && a.length == b.length && a.condition == b.condition &&
           SameTime(a.time_stamp, b.time_stamp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file("archive");
    file.Fill(data, size);

    CArchiveReader stepped;
    if (!stepped.OpenFile(file.Path())) return 0;
    FUZZ_CHECK(stepped.GetFileLength() == static_cast<int64_t>(size));
    const int32_t count = stepped.GetFrameCount();
    FUZZ_CHECK(count >= 0);
    const int32_t walked = std::min(count, kFramesWalked);

    // What `info` prints: the trailer, and every record in order.
    if (const auto trailer = archive_format::ReadTrailer(file.Path())) {
        archive_cli::FormatOleDate(trailer->finished_time, false);
    }
    std::vector<ArchiveRecord> records;
    int64_t previous_start = archive_format::kHeaderSize;
    for (int32_t frame = 0; frame < walked; ++frame) {
        const std::optional<ArchiveRecord> record = stepped.GetRecord(frame);
        FUZZ_CHECK(record.has_value());
        FUZZ_CHECK(record->start >= previous_start);
        FUZZ_CHECK(record->start <= record->next && record->next <= static_cast<int64_t>(size));
        if (record->HasData()) FUZZ_CHECK(record->DataPosition() + record->length <= record->next);
        RecordConditionName(record->condition);
        archive_cli::FormatOleDate(record->time_stamp, true);
        previous_start = record->start;
        records.push_back(*record);
    }
    FUZZ_CHECK(!stepped.GetRecord(count).has_value());

    // Jumping lands on the record stepping found, from the last frame backwards.
    CArchiveReader jumped;
    FUZZ_CHECK(jumped.OpenFile(file.Path()));
    FUZZ_CHECK(jumped.GetFrameCount() == count);
    for (int32_t frame = walked - 1; frame >= 0; --frame) {
        const std::optional<ArchiveRecord> record = jumped.GetRecord(frame);
        FUZZ_CHECK(record.has_value() && SameRecord(*record, records[frame]));
    }
    if (count > walked) FUZZ_CHECK(jumped.GetRecord(count - 1).has_value());

    // A record's stored bytes are there exactly when its length can be trusted.
    std::vector<uint8_t> jpeg;
    for (int32_t frame = 0; frame < walked; ++frame) {
        const bool is_read = jumped.ReadFrameJpeg(frame, jpeg);
        FUZZ_CHECK(is_read == records[frame].HasData());
        FUZZ_CHECK(jpeg.size() == (is_read ? records[frame].length : 0));
    }

    // Decoding: the first frames, the last one, and back to the first.
    for (const int32_t frame : {0, 1, kFramesDecoded - 1, count - 1, 0}) {
        if (frame < 0 || frame >= count) continue;
        jumped.SeekFrame(frame);
        FUZZ_CHECK(jumped.GetCurrentFrame() == frame);
        if (jumped.IsFrameDecoded()) {
            const BMP_File& image = jumped.GetFrameImage();
            FUZZ_CHECK(image.GetWidth() > 0 && image.GetHeight() != 0);
        }
        jumped.GetFrameTime();
        jumped.GetFrameInfo(frame);
    }
    return 0;
}

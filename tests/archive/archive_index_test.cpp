// Frame k is the k-th record of the file, by stepping and by jumping, on archives damaged every
// way a record can be: compared with where the test itself put each record.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "recorder/frame_archive.h"
#include "support/archive_test_support.h"

using namespace archive_test;

namespace {

// Records of very different sizes, so that a proportional estimate would miss most of them.
ArchiveBytes MixedArchive(bool with_trailer) {
    const size_t sizes[] = {900, 6000, 1200, 1100, 9000, 950, 3000, 1000, 1000, 7000};
    ArchiveBytes file(static_cast<int32_t>(std::size(sizes)));
    for (size_t i = 0; i < std::size(sizes); ++i) {
        file.AddRecord(100.0 + static_cast<double>(i), PadJpeg(EncodeScene(40, 30, static_cast<int>(i)), sizes[i]));
    }
    if (with_trailer) file.AddTrailer(200.0, static_cast<int32_t>(std::size(sizes)));
    return file;
}

// Where each frame should be: the record the test wrote there, or nothing for a damaged one
// whose number must be kept without a place to check.
using Expected = std::vector<std::optional<int64_t>>;

// Every frame by stepping on one reader and by jumping on a fresh reader each, against expected.
void ExpectFrames(const std::string& path, const Expected& expected) {
    CFrameArchive stepping;
    ASSERT_TRUE(stepping.OpenFile(path));
    ASSERT_EQ(static_cast<int32_t>(expected.size()), stepping.GetFrameCount());
    for (int32_t frame = 0; frame < static_cast<int32_t>(expected.size()); ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        CFrameArchive jumping;
        ASSERT_TRUE(jumping.OpenFile(path));
        const std::optional<ArchiveRecord> stepped = stepping.GetRecord(frame);
        const std::optional<ArchiveRecord> jumped = jumping.GetRecord(frame);
        ASSERT_TRUE(stepped && jumped);
        EXPECT_EQ(stepped->start, jumped->start);
        EXPECT_EQ(stepped->condition, jumped->condition);
        if (!expected[frame]) continue;
        EXPECT_EQ(*expected[frame], stepped->start);
        EXPECT_EQ(100.0 + frame, stepped->time_stamp);
        jumping.SeekFrame(frame);
        EXPECT_TRUE(jumping.IsFrameDecoded()) << jumping.GetLastError();
    }
}

Expected AllAt(const ArchiveBytes& file) { return Expected(file.record_starts.begin(), file.record_starts.end()); }

}  // namespace

TEST(ArchiveIndex, EachDamagedLengthOrTagCostsOnlyItsOwnRecord) {
    TempFolder folder;
    const ArchiveBytes sound = MixedArchive(true);
    const std::string path = folder.File("damaged.CNA");
    struct Damage {
        const char* name;
        void (*apply)(std::vector<uint8_t>& bytes, int64_t record_start);
        RecordCondition condition;
    };
    static const auto stored_length = [](std::vector<uint8_t>& bytes, int64_t start) {
        return archive_format::ReadU32(bytes.data() + start + 8);
    };
    const Damage damages[] = {
        {"length one too long",
         [](std::vector<uint8_t>& b, int64_t s) {
             archive_format::WriteU32(b.data() + s + 8, stored_length(b, s) + 1);
         },
         RecordCondition::kLengthDamaged},
        {"length far too long",
         [](std::vector<uint8_t>& b, int64_t s) { archive_format::WriteU32(b.data() + s + 8, 0x7FFFFFF0); },
         RecordCondition::kLengthDamaged},
        {"length zero", [](std::vector<uint8_t>& b, int64_t s) { archive_format::WriteU32(b.data() + s + 8, 0); },
         RecordCondition::kLengthDamaged},
        {"length too short",
         [](std::vector<uint8_t>& b, int64_t s) {
             archive_format::WriteU32(b.data() + s + 8, stored_length(b, s) - 300);
         },
         RecordCondition::kLengthDamaged},
        {"tag wiped", [](std::vector<uint8_t>& b, int64_t s) { std::fill_n(b.begin() + s + 18, 5, 0); },
         RecordCondition::kTagDamaged},
        // Time, length and tag at once: the record before must be judged by its own end.
        {"head wiped", [](std::vector<uint8_t>& b, int64_t s) { std::fill_n(b.begin() + s, 23, 0); },
         RecordCondition::kLost},
    };
    for (const Damage& damage : damages) {
        for (size_t record = 0; record < sound.record_starts.size(); ++record) {
            SCOPED_TRACE(std::string(damage.name) + " in record " + std::to_string(record));
            std::vector<uint8_t> bytes = sound.bytes;
            damage.apply(bytes, sound.record_starts[record]);
            WriteBytes(path, bytes);
            Expected expected = AllAt(sound);
            if (damage.condition != RecordCondition::kTagDamaged) expected[record].reset();
            ExpectFrames(path, expected);
            CFrameArchive reader;
            ASSERT_TRUE(reader.OpenFile(path));
            EXPECT_EQ(damage.condition, reader.GetRecord(static_cast<int32_t>(record))->condition);
            if (HasFatalFailure()) return;
        }
    }
}

TEST(ArchiveIndex, TagsInsideAPictureAreNoRecords) {
    TempFolder folder;
    // Six records; the third carries JFIF tags in its comment, one of them behind a JPEG start
    // and a plausible length, and then its length is damaged.
    std::vector<uint8_t> tagged = PadJpeg(EncodeScene(40, 30, 2), 4000);
    const std::vector<uint8_t> fake = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
    for (size_t at = 40; at + 40 < 2000; at += 40) {
        std::copy(fake.begin(), fake.end(), tagged.begin() + static_cast<std::ptrdiff_t>(at));
        archive_format::WriteU32(tagged.data() + at - 4, 20);  // a length that leads to the next fake
    }
    ArchiveBytes file(6);
    for (int i = 0; i < 6; ++i) file.AddRecord(100.0 + i, i == 2 ? tagged : EncodeScene(40, 30, i));
    file.AddTrailer(200.0, 6);
    archive_format::WriteU32(file.bytes.data() + file.record_starts[2] + 8, 0x7FFFFFF0);
    const std::string path = folder.File("tags.CNA");
    WriteBytes(path, file.bytes);
    Expected expected = AllAt(file);
    expected[2].reset();
    ExpectFrames(path, expected);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(RecordCondition::kLengthDamaged, reader.GetRecord(2)->condition);
}

TEST(ArchiveIndex, CutShortFilesHoldTheirCompleteRecordsAndNoMore) {
    TempFolder folder;
    const ArchiveBytes sound = MixedArchive(false);
    const std::string path = folder.File("cut.CNA");
    for (size_t record = 0; record < sound.record_starts.size(); ++record) {
        // At the record's start, inside its head, just past its tag, and inside its data.
        for (const int64_t into : {0, 5, 23, 400}) {
            SCOPED_TRACE("cut " + std::to_string(into) + " bytes into record " + std::to_string(record));
            const auto cut = static_cast<size_t>(sound.record_starts[record] + into);
            // The header still counts every record, as after a power cut.
            WriteBytes(path, std::vector<uint8_t>(sound.bytes.begin(), sound.bytes.begin() + cut));
            const Expected expected(sound.record_starts.begin(), sound.record_starts.begin() + record);
            ExpectFrames(path, expected);
            if (HasFatalFailure()) return;
        }
    }
}

TEST(ArchiveIndex, CountsBeyondTheRecordsPresentInventNothing) {
    TempFolder folder;
    const std::string path = folder.File("inflated.CNA");
    ArchiveBytes three(1000);
    for (int i = 0; i < 3; ++i) three.AddRecord(100.0 + i, EncodeScene(40, 30, i));
    WriteBytes(path, three.bytes);
    ExpectFrames(path, AllAt(three));

    // Finished, with the trailer stating the truth: the trailer bounds the records, the header count stays as stored.
    three.AddTrailer(200.0, 3);
    WriteBytes(path, three.bytes);
    ExpectFrames(path, AllAt(three));
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(1000, reader.GetStoredCount());

    // A file still being written holds no more than its writer had counted.
    ArchiveBytes counted(2);
    for (int i = 0; i < 3; ++i) counted.AddRecord(100.0 + i, EncodeScene(40, 30, i));
    WriteBytes(path, counted.bytes);
    ExpectFrames(path, Expected(counted.record_starts.begin(), counted.record_starts.begin() + 2));
}

TEST(ArchiveIndex, AStretchOfDamageKeepsTheNumbersTheFinishedFileCounts) {
    TempFolder folder;
    const ArchiveBytes sound = MixedArchive(true);
    // Records 3 to 5 zeroed from the middle of record 2 on: three records swallowed by one stretch.
    std::vector<uint8_t> bytes = sound.bytes;
    std::fill(bytes.begin() + sound.record_starts[2] + 500, bytes.begin() + sound.record_starts[6], 0);
    const std::string path = folder.File("stretch.CNA");
    WriteBytes(path, bytes);
    Expected expected = AllAt(sound);
    for (const int record : {2, 3, 4, 5}) expected[record].reset();
    ExpectFrames(path, expected);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    for (const int32_t frame : {3, 4, 5}) EXPECT_EQ(RecordCondition::kLost, reader.GetRecord(frame)->condition);

    // Without the trailer's word the stretch is one lost record, and nothing after it is invented.
    bytes.resize(bytes.size() - archive_format::kTrailerSize);
    WriteBytes(path, bytes);
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(static_cast<int32_t>(sound.record_starts.size()) - 3, reader.GetFrameCount());
}

TEST(ArchiveIndex, AStretchHoldsNoMoreRecordsThanTheSmallestReadCouldFill) {
    TempFolder folder;
    const ArchiveBytes sound = MixedArchive(true);
    // Records 3 to 5 zeroed: their bytes could hold four of the smallest record (912 bytes), not 500.
    std::vector<uint8_t> bytes = sound.bytes;
    std::fill(bytes.begin() + sound.record_starts[2] + 500, bytes.begin() + sound.record_starts[6], 0);
    archive_format::WriteU32(bytes.data(), 505);
    archive_format::WriteU32(bytes.data() + bytes.size() - 4, 505);
    const std::string path = folder.File("claims.CNA");
    WriteBytes(path, bytes);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(7, reader.GetFrameCount());

    // A hole holds nothing: 80 million records claimed across 2 GB never written stay one lost record.
    ArchiveBytes hundred(0);
    const std::vector<uint8_t> jpeg = EncodeScene(16, 16, 1);
    for (int i = 0; i < 100; ++i) hundred.AddRecord(100.0 + i, jpeg);
    WriteSparseArchive(path, hundred, int64_t{2} << 30, 80000000);
    ASSERT_TRUE(reader.OpenFile(path));
    ASSERT_EQ(101, reader.GetFrameCount());
    EXPECT_EQ(RecordCondition::kLost, reader.GetRecord(100)->condition);
}

TEST(ArchiveIndex, SearchingASparseArchiveSkipsItsHole) {
    TempFolder folder;
    ArchiveBytes hundred(0);
    const std::vector<uint8_t> jpeg = EncodeScene(16, 16, 1);
    for (int i = 0; i < 100; ++i) hundred.AddRecord(100.0 + i, jpeg);
    const std::string path = folder.File("sparse.CNA");
    WriteSparseArchive(path, hundred, int64_t{20} << 30, 100);
    // Reading 20 GB of hole takes many seconds; skipping it takes a few system calls.
    const auto started = std::chrono::steady_clock::now();
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    ASSERT_EQ(100, reader.GetFrameCount());
    EXPECT_EQ(hundred.record_starts[99], reader.GetRecord(99)->start);
    EXPECT_EQ(RecordCondition::kIntact, reader.GetRecord(99)->condition);
}

TEST(ArchiveIndex, ARecordFoundByItsTagMustBeNearInTime) {
    TempFolder folder;
    // Record 2 carries in its comment a whole record head, JPEG start and tag whose length leads
    // to record 3, but whose time is centuries away; then record 2's length is damaged.
    ArchiveBytes file(6);
    std::vector<uint8_t> carrier = PadJpeg(EncodeScene(40, 30, 2), 3000);
    const size_t fake_at = 1000;  // inside the comment
    const std::vector<uint8_t> fake = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
    archive_format::WriteDouble(carrier.data() + fake_at, 100000.0);
    archive_format::WriteU32(carrier.data() + fake_at + 8,
                             static_cast<uint32_t>(carrier.size() - fake_at - archive_format::kRecordHeadSize));
    std::copy(fake.begin(), fake.end(), carrier.begin() + fake_at + archive_format::kRecordHeadSize);
    for (int i = 0; i < 6; ++i) file.AddRecord(100.0 + i, i == 2 ? carrier : EncodeScene(40, 30, i));
    file.AddTrailer(200.0, 6);
    archive_format::WriteU32(file.bytes.data() + file.record_starts[2] + 8, 0x7FFFFFF0);
    const std::string path = folder.File("far.CNA");
    WriteBytes(path, file.bytes);
    Expected expected = AllAt(file);
    expected[2].reset();
    ExpectFrames(path, expected);
}

TEST(ArchiveIndex, FindsAnyFrameOfALongArchiveInAnyOrder) {
    // More records than the index keeps, so that jumps walk from kept records, and steps back.
    TempFolder folder;
    const std::vector<uint8_t> small = EncodeScene(16, 16, 1);
    ArchiveBytes file(200);
    for (int i = 0; i < 200; ++i) file.AddRecord(100.0 + i, PadJpeg(small, small.size() + 4 + (i * 37) % 500));
    file.AddTrailer(400.0, 200);
    const std::string path = folder.File("long.CNA");
    WriteBytes(path, file.bytes);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    ASSERT_EQ(200, reader.GetFrameCount());
    for (const int32_t frame : {199, 0, 63, 64, 65, 31, 32, 150, 149, 1}) {
        EXPECT_EQ(file.record_starts[frame], reader.GetRecord(frame)->start) << frame;
    }
}

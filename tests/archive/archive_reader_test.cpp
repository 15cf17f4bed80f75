#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstring>
#include <filesystem>

#include "platform/ole_date.h"
#include "recorder/frame_archive.h"
#include "support/archive_test_support.h"

using namespace archive_test;

namespace {

constexpr double kNewYearEvening = 39814.75;  // 2009-01-01 18:00:00

std::vector<uint8_t> JpegOfSize(size_t size, int frame_number = 0) {
    return PadJpeg(EncodeScene(48, 32, frame_number), size);
}

bool SamePicture(const BMP_File& a, const BMP_File& b) {
    return a.GetWidth() == b.GetWidth() && a.GetHeight() == b.GetHeight() &&
           std::memcmp(a.GetBits(), b.GetBits(), static_cast<size_t>(a.GetBitsSize())) == 0;
}

}  // namespace

TEST(ArchiveReader, ReadsTheOneFrameFileByteLayout) {
    TempFolder folder;
    const std::vector<uint8_t> jpeg = JpegOfSize(1000);
    ArchiveBytes file(1);
    file.AddRecord(kNewYearEvening, jpeg);
    file.AddTrailer(kNewYearEvening + 1.0 / 86400, 1);
    ASSERT_EQ(1036u, file.bytes.size());
    EXPECT_EQ((std::vector<uint8_t>{0x68, 0x24, 0x57, 0x13}),
              std::vector<uint8_t>(file.bytes.begin() + 1028, file.bytes.begin() + 1032));
    const std::string path = folder.File("one.CNA");
    WriteBytes(path, file.bytes);

    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(1, reader.GetFrameCount());
    EXPECT_EQ(0.0, reader.GetFrameTime());  // nothing located yet
    reader.SeekFrame(0);
    // The tag at offset 26 puts the record at offset 8 and its data at 20.
    EXPECT_EQ(20, reader.GetFrameInfo(0).data_position);
    EXPECT_EQ(1000u, reader.GetFrameInfo(0).data_length);
    EXPECT_EQ(1, reader.GetFrameInfo(0).known);
    EXPECT_EQ(kNewYearEvening, reader.GetFrameTime());
    EXPECT_TRUE(reader.IsFrameDecoded());
    EXPECT_EQ(48, reader.GetFrameImage().GetWidth());
    EXPECT_EQ(32, reader.GetFrameImage().GetHeight());

    const std::string snapshot = folder.File("shot.jpg");
    ASSERT_TRUE(reader.SaveFrameJpeg(snapshot));
    EXPECT_EQ(jpeg, ReadBytes(snapshot));

    const auto trailer = archive_format::ReadTrailer(path);
    ASSERT_TRUE(trailer.has_value());
    EXPECT_EQ(1, trailer->record_count);
}

TEST(ArchiveReader, AJumpLandsOnTheRecordAskedForWhateverTheRecordSizes) {
    TempFolder folder;
    // Two small records then a big one: a proportional estimate for frame 1 lies beyond record 1's tag.
    ArchiveBytes file(3);
    file.AddRecord(1.0, JpegOfSize(1200, 0));
    file.AddRecord(2.0, JpegOfSize(1200, 1));
    file.AddRecord(3.0, JpegOfSize(3000, 2));
    file.AddTrailer(4.0, 3);
    const std::string path = folder.File("steps.CNA");
    WriteBytes(path, file.bytes);

    CFrameArchive jumping;
    ASSERT_TRUE(jumping.OpenFile(path));
    jumping.SeekFrame(1);
    EXPECT_EQ(1, jumping.GetCurrentFrame());
    EXPECT_EQ(file.record_starts[1] + 12, jumping.GetFrameInfo(1).data_position);
    EXPECT_EQ(2.0, jumping.GetFrameTime());
    jumping.SeekFrame(2);
    EXPECT_EQ(3.0, jumping.GetFrameTime());
    jumping.SeekFrame(0);
    EXPECT_EQ(1.0, jumping.GetFrameTime());
}

TEST(ArchiveReader, JumpBeyondTheLastTagWalksToTheFrame) {
    TempFolder folder;
    // Small records, then one big last record: the estimate for the last frame lies inside its data.
    ArchiveBytes file(4);
    file.AddRecord(1.0, JpegOfSize(1200, 0));
    file.AddRecord(2.0, JpegOfSize(1200, 1));
    file.AddRecord(3.0, JpegOfSize(1200, 2));
    file.AddRecord(4.0, JpegOfSize(9000, 3));
    file.AddTrailer(5.0, 4);
    const std::string path = folder.File("walk.CNA");
    WriteBytes(path, file.bytes);

    CFrameArchive jumping;
    ASSERT_TRUE(jumping.OpenFile(path));
    jumping.SeekFrame(3);
    EXPECT_EQ(3, jumping.GetCurrentFrame());
    EXPECT_TRUE(jumping.IsFrameDecoded());
    EXPECT_EQ(file.record_starts[3] + 12, jumping.GetFrameInfo(3).data_position);
    EXPECT_EQ(4.0, jumping.GetFrameTime());
    // The walk located the records before it exactly.
    jumping.SeekFrame(1);
    EXPECT_EQ(2.0, jumping.GetFrameTime());
}

TEST(ArchiveReader, OutOfRangeSeeksChangeNothing) {
    TempFolder folder;
    ArchiveBytes file(2);
    file.AddRecord(1.0, JpegOfSize(900, 0));
    file.AddRecord(2.0, JpegOfSize(900, 9));
    const std::string path = folder.File("range.CNA");
    WriteBytes(path, file.bytes);

    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    reader.SeekFrame(1);
    BMP_File shown;
    shown.CopyFrom(reader.GetFrameImage());
    for (const int32_t frame : {-1, 2, INT32_MIN, INT32_MAX}) {
        reader.SeekFrame(frame);
        EXPECT_EQ(1, reader.GetCurrentFrame());
        EXPECT_EQ(2.0, reader.GetFrameTime());
        EXPECT_TRUE(SamePicture(shown, reader.GetFrameImage()));
        EXPECT_EQ(0, reader.GetFrameInfo(frame).known);
    }
}

TEST(ArchiveReader, FileCutShortReadsLikeAFinishedOneUpToItsCount) {
    TempFolder folder;
    ArchiveBytes finished(3);
    for (int i = 0; i < 3; ++i) finished.AddRecord(10.0 + i, JpegOfSize(1500 + 300 * i, i));
    finished.AddTrailer(20.0, 3);
    // The writer had counted two records when it stopped in the middle of the third.
    std::vector<uint8_t> cut(finished.bytes.begin(), finished.bytes.begin() + finished.record_starts[2] + 700);
    cut[0] = 2;
    WriteBytes(folder.File("finished.CNA"), finished.bytes);
    WriteBytes(folder.File("cut.CNA"), cut);

    CFrameArchive whole, partial;
    ASSERT_TRUE(whole.OpenFile(folder.File("finished.CNA")));
    ASSERT_TRUE(partial.OpenFile(folder.File("cut.CNA")));
    EXPECT_EQ(2, partial.GetFrameCount());
    EXPECT_FALSE(archive_format::ReadTrailer(folder.File("cut.CNA")).has_value());
    // In order, and by a jump to the first frame.
    for (const int32_t frame : {0, 1}) {
        whole.SeekFrame(frame);
        partial.SeekFrame(frame);
        ASSERT_TRUE(partial.IsFrameDecoded());
        EXPECT_EQ(whole.GetFrameTime(), partial.GetFrameTime());
        EXPECT_TRUE(SamePicture(whole.GetFrameImage(), partial.GetFrameImage()));
    }
    CFrameArchive jumper;
    ASSERT_TRUE(jumper.OpenFile(folder.File("cut.CNA")));
    jumper.SeekFrame(0);
    EXPECT_EQ(10.0, jumper.GetFrameTime());
}

TEST(ArchiveReader, EmptyAndMissingFiles) {
    TempFolder folder;
    const std::string empty = folder.File("empty.CNA");
    WriteBytes(empty, {});
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(empty));
    EXPECT_EQ(0, reader.GetFrameCount());
    reader.SeekFrame(0);
    EXPECT_FALSE(reader.IsFrameDecoded());
    EXPECT_EQ(0.0, reader.GetFrameTime());
    EXPECT_FALSE(reader.SaveFrameJpeg(folder.File("nothing.jpg")));
    EXPECT_FALSE(std::filesystem::exists(folder.File("nothing.jpg")));

    // Two bytes: the missing ones count as 0.
    WriteBytes(empty, {1, 0});
    ASSERT_TRUE(reader.OpenFile(empty));
    EXPECT_EQ(0, reader.GetFrameCount());

    EXPECT_FALSE(reader.OpenFile(folder.File("missing.CNA")));
    EXPECT_FALSE(reader.GetLastError().empty());
    EXPECT_EQ(0, reader.GetFrameCount());
    EXPECT_FALSE(reader.OpenFile(folder.Path().string()));  // a folder
    // A named pipe without a writer: refused at once instead of waiting for one.
    ASSERT_EQ(0, ::mkfifo(folder.File("pipe").c_str(), 0600));
    EXPECT_FALSE(reader.OpenFile(folder.File("pipe")));
    EXPECT_NE(std::string::npos, reader.GetLastError().find("not a regular file"));
}

TEST(ArchiveReader, ImplausibleCountsAndLengthsAreContained) {
    TempFolder folder;
    const std::vector<uint8_t> jpeg = JpegOfSize(1200);
    const std::string path = folder.File("bad.CNA");

    ArchiveBytes negative(-5);
    negative.AddRecord(1.0, jpeg);
    WriteBytes(path, negative.bytes);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(0, reader.GetFrameCount());

    ArchiveBytes huge(INT32_MAX);
    huge.AddRecord(1.0, jpeg);
    WriteBytes(path, huge.bytes);
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(1, reader.GetFrameCount());  // the records present, not the count
    EXPECT_EQ(INT32_MAX, reader.GetStoredCount());
    reader.SeekFrame(0);
    EXPECT_TRUE(reader.IsFrameDecoded());

    // A record claiming more than the buffer holds is neither read nor decoded nor saved,
    // and the next record is found again by its tag instead of by that length.
    ArchiveBytes oversized(2);
    oversized.AddRecord(1.0, jpeg);
    oversized.AddRecord(2.0, JpegOfSize(1200, 4));
    archive_format::WriteU32(oversized.bytes.data() + oversized.record_starts[0] + 8, 700000);
    WriteBytes(path, oversized.bytes);
    ASSERT_TRUE(reader.OpenFile(path));
    BMP_File before;
    before.CopyFrom(reader.GetFrameImage());
    reader.SeekFrame(0);
    EXPECT_FALSE(reader.IsFrameDecoded());
    EXPECT_TRUE(SamePicture(before, reader.GetFrameImage()));
    EXPECT_FALSE(reader.SaveFrameJpeg(folder.File("oversized.jpg")));
    EXPECT_FALSE(std::filesystem::exists(folder.File("oversized.jpg")));
    reader.SeekFrame(1);
    EXPECT_TRUE(reader.IsFrameDecoded());
    EXPECT_EQ(2.0, reader.GetFrameTime());

    // Behind a damaged record the search goes on from that record, even where the estimate for
    // the next frame lies in front of it.
    ArchiveBytes uneven(3);
    uneven.AddRecord(1.0, JpegOfSize(5000, 1));
    uneven.AddRecord(2.0, JpegOfSize(1000, 2));
    uneven.AddRecord(3.0, JpegOfSize(1000, 3));
    archive_format::WriteU32(uneven.bytes.data() + uneven.record_starts[1] + 8, 0);
    ASSERT_LT(static_cast<int64_t>(uneven.bytes.size()) * 2 / 3, uneven.record_starts[1]);
    WriteBytes(path, uneven.bytes);
    ASSERT_TRUE(reader.OpenFile(path));
    reader.SeekFrame(1);
    EXPECT_EQ(2.0, reader.GetFrameTime());
    EXPECT_FALSE(reader.IsFrameDecoded());
    reader.SeekFrame(2);
    EXPECT_EQ(3.0, reader.GetFrameTime());
    EXPECT_TRUE(reader.IsFrameDecoded());
}

TEST(ArchiveReader, FindsATagStraddlingTwoScanBlocks) {
    TempFolder folder;
    // Place record 1's tag 97 bytes after the estimate for frame 1 (file length / 2), where a
    // scan in 100-byte blocks that tests only offsets 0 to 95 would miss it.
    const std::vector<uint8_t> second = JpegOfSize(1100, 1);
    ArchiveBytes file(2);
    file.AddRecord(1.0, JpegOfSize(second.size() + 166, 0));
    file.AddRecord(2.0, second);
    file.AddTrailer(3.0, 2);
    const int64_t estimate = static_cast<int64_t>(file.bytes.size()) / 2;
    ASSERT_EQ(estimate + 97, file.record_starts[1] + 18);
    WriteBytes(folder.File("straddle.CNA"), file.bytes);

    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(folder.File("straddle.CNA")));
    reader.SeekFrame(1);
    EXPECT_EQ(file.record_starts[1] + 12, reader.GetFrameInfo(1).data_position);
    EXPECT_EQ(2.0, reader.GetFrameTime());
    EXPECT_TRUE(reader.IsFrameDecoded());
}

TEST(ArchiveReader, SnapshotReplacesTheTargetOnlyWhenComplete) {
    TempFolder folder;
    const std::vector<uint8_t> jpeg = JpegOfSize(2000);
    ArchiveBytes file(1);
    file.AddRecord(1.0, jpeg);
    WriteBytes(folder.File("a.CNA"), file.bytes);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(folder.File("a.CNA")));
    reader.SeekFrame(0);

    const std::string target = folder.File("shot.jpg");
    WriteBytes(target, std::vector<uint8_t>(5000, 1));
    ASSERT_TRUE(reader.SaveFrameJpeg(target));
    EXPECT_EQ(jpeg, ReadBytes(target));
    EXPECT_FALSE(reader.SaveFrameJpeg(folder.File("no-such-folder/shot.jpg")));
    EXPECT_FALSE(reader.GetLastError().empty());
    // No temporary files are left behind.
    EXPECT_EQ(2,
              std::distance(std::filesystem::directory_iterator(folder.Path()), std::filesystem::directory_iterator()));
}

// Reading a frame's stored JPEG bytes without decoding it, and decoding a JPEG straight into a
// caller's buffer with a row pitch, bottom row first or top row first.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "jpeg/jpeg_codec.h"
#include "recorder/frame_archive.h"
#include "support/archive_test_support.h"

using namespace archive_test;

namespace {

constexpr uint8_t kUntouched = 0xA5;

std::vector<uint8_t> Pixels(const BMP_File& picture) {
    return std::vector<uint8_t>(picture.GetBits(), picture.GetBits() + picture.GetBitsSize());
}

// Row y of a buffer laid out with pitch bytes per row and rows in stored order.
const uint8_t* StoredRow(const std::vector<uint8_t>& buffer, int y, int height, int pitch, bool bottom_up) {
    return buffer.data() + static_cast<size_t>(bottom_up ? height - 1 - y : y) * pitch;
}

}  // namespace

TEST(FrameJpegAccess, ReadsTheStoredBytesOfAnyFrameWithoutMovingTheReader) {
    TempFolder folder;
    const std::vector<std::vector<uint8_t>> jpegs = {EncodeScene(40, 30, 1), EncodeScene(64, 48, 2),
                                                     EncodeScene(40, 30, 3)};
    ArchiveBytes file(3);
    for (size_t i = 0; i < jpegs.size(); ++i) file.AddRecord(1.0 + static_cast<double>(i), jpegs[i]);
    file.AddTrailer(9.0, 3);
    const std::string path = folder.File("three.CNA");
    WriteBytes(path, file.bytes);

    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    reader.SeekFrame(0);
    reader.SeekFrame(1);
    ASSERT_TRUE(reader.IsFrameDecoded());
    const std::vector<uint8_t> on_show = Pixels(reader.GetFrameImage());

    std::vector<uint8_t> jpeg = {1, 2, 3};
    for (const int32_t frame : {2, 0, 1}) {
        SCOPED_TRACE(frame);
        ASSERT_TRUE(reader.ReadFrameJpeg(frame, jpeg)) << reader.GetLastError();
        EXPECT_EQ(jpegs[frame], jpeg);
        EXPECT_EQ(1, reader.GetCurrentFrame());
        EXPECT_EQ(2.0, reader.GetFrameTime());
        EXPECT_TRUE(reader.IsFrameDecoded());
        EXPECT_EQ(on_show, Pixels(reader.GetFrameImage()));
    }
    // The reader's own snapshot still saves the frame on show.
    ASSERT_TRUE(reader.SaveFrameJpeg(folder.File("shot.jpg")));
    EXPECT_EQ(jpegs[1], ReadBytes(folder.File("shot.jpg")));

    // A jump lands where SeekFrame's jump lands, whichever record that is.
    for (const int32_t frame : {1, 2}) {
        SCOPED_TRACE(frame);
        CFrameArchive reading, seeking;
        ASSERT_TRUE(reading.OpenFile(path));
        ASSERT_TRUE(seeking.OpenFile(path));
        seeking.SeekFrame(frame);
        ASSERT_TRUE(seeking.SaveFrameJpeg(folder.File("seek.jpg")));
        ASSERT_TRUE(reading.ReadFrameJpeg(frame, jpeg));
        EXPECT_EQ(ReadBytes(folder.File("seek.jpg")), jpeg);
        EXPECT_EQ(seeking.GetFrameInfo(frame).data_position, reading.GetFrameInfo(frame).data_position);
    }

    for (const int32_t frame : {-1, 3}) {
        jpeg = {1, 2, 3};
        EXPECT_FALSE(reader.ReadFrameJpeg(frame, jpeg));
        EXPECT_TRUE(jpeg.empty());
        EXPECT_FALSE(reader.GetLastError().empty());
        EXPECT_EQ(1, reader.GetCurrentFrame());
    }
}

TEST(FrameJpegAccess, DamagedAndCutShortRecordsGiveNoBytes) {
    TempFolder folder;
    const std::string path = folder.File("damaged.CNA");
    CFrameArchive reader;
    std::vector<uint8_t> jpeg;

    // A length beyond what a record may hold is not believed, nor allocated; the record after it
    // is still found by its tag.
    ArchiveBytes oversized(2);
    oversized.AddRecord(1.0, EncodeScene(32, 16, 1));
    const std::vector<uint8_t> second = EncodeScene(32, 16, 2);
    oversized.AddRecord(2.0, second);
    archive_format::WriteU32(oversized.bytes.data() + oversized.record_starts[0] + 8, 0xFFFFFFF0u);
    WriteBytes(path, oversized.bytes);
    ASSERT_TRUE(reader.OpenFile(path));
    jpeg = {7};
    EXPECT_FALSE(reader.ReadFrameJpeg(0, jpeg));
    EXPECT_TRUE(jpeg.empty());
    EXPECT_NE(std::string::npos, reader.GetLastError().find("length damaged")) << reader.GetLastError();
    ASSERT_TRUE(reader.ReadFrameJpeg(1, jpeg));
    EXPECT_EQ(second, jpeg);
    EXPECT_TRUE(reader.GetLastError().empty());

    // The file ends inside the second record's data: that record is not there.
    ArchiveBytes cut(2);
    const std::vector<uint8_t> first = EncodeScene(32, 16, 3);
    cut.AddRecord(1.0, first);
    cut.AddRecord(2.0, EncodeScene(32, 16, 4));
    cut.bytes.resize(cut.bytes.size() - 40);
    WriteBytes(path, cut.bytes);
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(1, reader.GetFrameCount());
    ASSERT_TRUE(reader.ReadFrameJpeg(0, jpeg));
    EXPECT_EQ(first, jpeg);
    EXPECT_FALSE(reader.ReadFrameJpeg(1, jpeg));
    EXPECT_TRUE(jpeg.empty());
}

TEST(JpegCodecInto, DecodesLikeDecodeJpegIntoPaddedRowsEitherWayUp) {
    JpegCodec codec;
    // Rows of 150, 153 and 192 bytes; pitches with the 4-byte padding of a bitmap and wider.
    struct Case {
        int width, height, pitch;
    };
    for (const Case& c : {Case{50, 30, 152}, Case{51, 17, 156}, Case{64, 48, 192}, Case{51, 17, 170}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " pitch " + std::to_string(c.pitch));
        const std::vector<uint8_t> jpeg = EncodeScene(c.width, c.height, c.width);
        const auto length = static_cast<uint32_t>(jpeg.size());
        BMP_File expected;
        ASSERT_TRUE(codec.DecodeJpeg(jpeg.data(), length, expected)) << codec.LastError();
        const std::vector<uint8_t> expected_pixels = Pixels(expected);
        const size_t row_bytes = static_cast<size_t>(c.width) * 3;

        for (const bool bottom_up : {true, false}) {
            SCOPED_TRACE(bottom_up ? "bottom up" : "top down");
            std::vector<uint8_t> buffer(static_cast<size_t>(c.pitch) * c.height, kUntouched);
            ASSERT_TRUE(codec.DecodeJpegInto(jpeg.data(), length, buffer.data(), c.width, c.height, c.pitch, bottom_up))
                << codec.LastError();
            EXPECT_TRUE(codec.LastError().empty());
            for (int y = 0; y < c.height; ++y) {
                const uint8_t* row = StoredRow(buffer, y, c.height, c.pitch, bottom_up);
                ASSERT_EQ(0, std::memcmp(expected_pixels.data() + y * row_bytes, row, row_bytes)) << "row " << y;
                for (size_t pad = row_bytes; pad < static_cast<size_t>(c.pitch); ++pad) {
                    ASSERT_EQ(kUntouched, row[pad]) << "row " << y << " byte " << pad;
                }
            }
        }
    }
}

TEST(JpegCodecInto, RefusesWhatDoesNotFitWithoutTouchingTheBuffer) {
    JpegCodec codec;
    const std::vector<uint8_t> jpeg = EncodeScene(40, 30, 5);
    const auto length = static_cast<uint32_t>(jpeg.size());
    const int pitch = 120;
    std::vector<uint8_t> buffer(static_cast<size_t>(pitch) * 31, kUntouched);
    const std::vector<uint8_t> untouched = buffer;
    const std::vector<uint8_t> garbage(4000, 0x5A);
    std::vector<uint8_t> headers_only = jpeg;
    headers_only.resize(100);

    struct Refusal {
        const char* what;
        const uint8_t* data;
        uint32_t length;
        int width, height, pitch;
    };
    for (const Refusal& refusal : {Refusal{"narrower", jpeg.data(), length, 39, 30, pitch},
                                   Refusal{"taller", jpeg.data(), length, 40, 31, pitch},
                                   Refusal{"pitch below the row", jpeg.data(), length, 40, 30, 119},
                                   Refusal{"not a JPEG", garbage.data(), 4000, 40, 30, pitch},
                                   Refusal{"headers only", headers_only.data(), 100, 40, 30, pitch},
                                   Refusal{"no data", nullptr, 0, 40, 30, pitch}}) {
        SCOPED_TRACE(refusal.what);
        EXPECT_FALSE(codec.DecodeJpegInto(refusal.data, refusal.length, buffer.data(), refusal.width, refusal.height,
                                          refusal.pitch, true));
        EXPECT_FALSE(codec.LastError().empty());
        EXPECT_EQ(untouched, buffer);
        // A refused stream does not spoil the codec for the next frame.
        std::vector<uint8_t> good(static_cast<size_t>(pitch) * 30);
        EXPECT_TRUE(codec.DecodeJpegInto(jpeg.data(), length, good.data(), 40, 30, pitch, true)) << codec.LastError();
    }
}

TEST(JpegCodecInto, AStreamCutShortGivesThePictureDecodeJpegGives) {
    // The frames a recording lost its end in still show what they hold, whichever way they are decoded.
    std::vector<uint8_t> jpeg = EncodeScene(64, 48, 6);
    size_t scan = 0;
    while (scan + 1 < jpeg.size() && !(jpeg[scan] == 0xFF && jpeg[scan + 1] == 0xDA)) ++scan;
    ASSERT_LT(scan + 100, jpeg.size());
    jpeg.resize((scan + jpeg.size()) / 2);
    JpegCodec codec;
    BMP_File expected;
    ASSERT_TRUE(codec.DecodeJpeg(jpeg.data(), static_cast<uint32_t>(jpeg.size()), expected)) << codec.LastError();
    std::vector<uint8_t> buffer(192 * 48, kUntouched);
    ASSERT_TRUE(codec.DecodeJpegInto(jpeg.data(), static_cast<uint32_t>(jpeg.size()), buffer.data(), 64, 48, 192, true))
        << codec.LastError();
    expected.FlipVertical();
    EXPECT_EQ(Pixels(expected), buffer);
}

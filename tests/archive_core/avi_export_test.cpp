#include "archive_core/avi_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_core/export_test_support.h"
#include "recorder/frame_archive.h"

using namespace export_test;

namespace {

size_t FrameBytes(int width, int height) { return static_cast<size_t>(width) * height * 3; }

std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& frames, size_t index, int width, int height) {
    const size_t bytes = FrameBytes(width, height);
    if ((index + 1) * bytes > frames.size()) return {};
    return std::vector<uint8_t>(frames.begin() + index * bytes, frames.begin() + (index + 1) * bytes);
}

std::vector<uint8_t> Pixels(const BMP_File& picture) {
    return std::vector<uint8_t>(picture.GetBits(), picture.GetBits() + picture.GetBitsSize());
}

uint32_t U32At(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The '00db' samples of the first RIFF chunk's 'movi' list, as stored.
std::vector<std::vector<uint8_t>> StoredSamples(const std::vector<uint8_t>& avi) {
    std::vector<std::vector<uint8_t>> samples;
    size_t movi = 12;
    while (movi + 12 <= avi.size() &&
           !(std::memcmp(&avi[movi], "LIST", 4) == 0 && std::memcmp(&avi[movi + 8], "movi", 4) == 0)) {
        movi += 8 + U32At(avi, movi + 4);
    }
    if (movi + 12 > avi.size()) return samples;
    const size_t end = std::min(avi.size(), movi + 8 + U32At(avi, movi + 4));
    for (size_t at = movi + 12; at + 8 <= end;) {
        const uint32_t size = U32At(avi, at + 4);
        if (at + 8 + size > end) break;
        if (std::memcmp(&avi[at], "00db", 4) == 0)
            samples.emplace_back(avi.begin() + at + 8, avi.begin() + at + 8 + size);
        at += 8 + size + (size & 1);
    }
    return samples;
}

// A picture as a bitmap stores it: bottom row first, each row padded with zeros to 4 bytes.
std::vector<uint8_t> BottomUpPadded(const BMP_File& picture) {
    const size_t row_bytes = static_cast<size_t>(picture.GetWidth()) * 3;
    const size_t stored_row_bytes = (row_bytes + 3) / 4 * 4;
    std::vector<uint8_t> stored(stored_row_bytes * picture.GetHeight(), 0);
    for (int32_t y = 0; y < picture.GetHeight(); ++y) {
        std::memcpy(&stored[(picture.GetHeight() - 1 - y) * stored_row_bytes], picture.GetBits() + y * row_bytes,
                    row_bytes);
    }
    return stored;
}

}  // namespace

TEST(AviExport, EveryFrameArrivesPixelForPixelAtTenFramesPerSecond) {
    // 48 x 3 bytes per row needs no padding; 50 x 3 = 150 is padded to 152.
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{48, 32}, {50, 30}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        TempFolder folder;
        const std::string archive = RecordScenes(folder.Path(), width, height, 12);
        CArchiveReader reader;
        ASSERT_TRUE(reader.OpenFile(archive));
        const std::string avi = folder.File("out.avi");

        std::vector<int32_t> progress;
        const AviExportResult result = ConvertArchiveToAvi(archive, avi, [&](int32_t done, int32_t total) {
            EXPECT_EQ(12, total);
            progress.push_back(done);
            return true;
        });
        ASSERT_TRUE(result.is_written) << result.error;
        EXPECT_EQ(12, result.frames_written);
        EXPECT_EQ(0, result.frames_repeated);
        ASSERT_EQ(12u, progress.size());
        EXPECT_EQ(12, progress.back());

        ProbedStream stream;
        ASSERT_TRUE(ProbeVideo(avi, stream));
        EXPECT_EQ("rawvideo", stream.codec_name);
        EXPECT_EQ("bgr24", stream.pix_fmt);
        EXPECT_EQ(width, stream.width);
        EXPECT_EQ(height, stream.height);
        EXPECT_EQ("10/1", stream.frame_rate);
        EXPECT_EQ(12, stream.frame_count);
        EXPECT_EQ(DecodeArchive(reader), DecodeWithFfmpeg(avi));
    }
}

TEST(AviExport, OneFrameGivesOneFrameAndAnEmptyArchiveWritesNothing) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 32, 16, 1);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    ASSERT_TRUE(ConvertArchiveToAvi(archive, folder.File("one.avi")).is_written);
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(folder.File("one.avi"), stream));
    EXPECT_EQ(1, stream.frame_count);
    EXPECT_EQ(DecodeArchive(reader), DecodeWithFfmpeg(folder.File("one.avi")));

    const std::string empty_archive = folder.File("empty.cna");
    WriteBytes(empty_archive, std::vector<uint8_t>(8, 0));
    const std::string existing = folder.File("existing.avi");
    WriteBytes(existing, {'k', 'e', 'e', 'p'});
    const AviExportResult result = ConvertArchiveToAvi(empty_archive, existing);
    EXPECT_FALSE(result.is_written);
    EXPECT_EQ("the archive holds no frames", result.error);
    EXPECT_EQ((std::vector<uint8_t>{'k', 'e', 'e', 'p'}), ReadBytes(existing));
}

TEST(AviExport, ReplacesAnExistingFileAndReportsUnwritableTargetsLeavingNothing) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 24, 16, 3);

    const std::string existing = folder.File("old.avi");
    WriteBytes(existing, std::vector<uint8_t>(100000, 0x55));
    ASSERT_TRUE(ConvertArchiveToAvi(archive, existing).is_written);
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(existing, stream));
    EXPECT_EQ(3, stream.frame_count);

    const AviExportResult missing = ConvertArchiveToAvi(archive, folder.File("gone/x.avi"));
    EXPECT_FALSE(missing.is_written);
    EXPECT_NE(std::string::npos, missing.error.find("No such file or directory")) << missing.error;

    const std::string in_the_way = folder.File("folder.avi");
    ASSERT_EQ(0, RunShell("mkdir '" + in_the_way + "'").exit_code);
    const AviExportResult blocked = ConvertArchiveToAvi(archive, in_the_way);
    EXPECT_FALSE(blocked.is_written);
    EXPECT_NE(std::string::npos, blocked.error.find("is a folder")) << blocked.error;
    EXPECT_EQ((std::vector<std::string>{"Storage", "folder.avi", "old.avi"}), folder.Entries());
}

TEST(AviExport, AWriteFailureOnTheWritingThreadEndsTheConversionWithoutAFile) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 64, 48, 30);
    AviExportResult result;
    {
        const FileSizeLimit limit(std::filesystem::file_size(archive) + 100 * 1024);
        ASSERT_TRUE(limit.IsSet());
        result = ConvertArchiveToAvi(archive, folder.File("full.avi"));
    }
    EXPECT_FALSE(result.is_written);
    EXPECT_FALSE(result.is_cancelled);
    EXPECT_NE(std::string::npos, result.error.find("File too large")) << result.error;
    EXPECT_EQ(std::vector<std::string>{"Storage"}, folder.Entries());
}

TEST(AviExport, CancellingLeavesNoFileAndTheOldTargetIntact) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 24, 16, 10);
    const std::string target = folder.File("video.avi");
    WriteBytes(target, {'o', 'l', 'd'});
    const AviExportResult result = ConvertArchiveToAvi(archive, target, [](int32_t done, int32_t) { return done < 4; });
    EXPECT_TRUE(result.is_cancelled);
    EXPECT_FALSE(result.is_written);
    EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadBytes(target));
    EXPECT_EQ((std::vector<std::string>{"Storage", "video.avi"}), folder.Entries());
}

TEST(AviExport, UndecodableFramesRepeatTheFrameBeforeUpright) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 40, 30, 6);
    DamageFrame(archive, 3);
    DamageFrame(archive, 4);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(3);
    ASSERT_FALSE(reader.IsFrameDecoded()) << "the damage did not stop the decoder";

    const std::string avi = folder.File("out.avi");
    const AviExportResult result = ConvertArchiveToAvi(archive, avi);
    ASSERT_TRUE(result.is_written) << result.error;
    EXPECT_EQ(6, result.frames_written);
    EXPECT_EQ(2, result.frames_repeated);

    const std::vector<uint8_t> frames = DecodeWithFfmpeg(avi);
    ASSERT_EQ(6 * FrameBytes(40, 30), frames.size());
    reader.SeekFrame(2);
    const std::vector<uint8_t> frame_two = Pixels(reader.GetFrameImage());
    EXPECT_EQ(frame_two, FrameOf(frames, 2, 40, 30));
    EXPECT_EQ(frame_two, FrameOf(frames, 3, 40, 30));
    EXPECT_EQ(frame_two, FrameOf(frames, 4, 40, 30));
    reader.SeekFrame(5);
    EXPECT_EQ(Pixels(reader.GetFrameImage()), FrameOf(frames, 5, 40, 30));
}

TEST(AviExport, SamplesHoldTheReadersPicturesBottomUpWithZeroPaddingHoweverEachFrameWasLaidOut) {
    // 51 pixels: 153 bytes a row, stored in 156. Frames of the first frame's size are decoded
    // straight into the samples; the damaged ones repeat, the larger ones are scaled. More
    // frames than write buffers, so every buffer serves each kind of frame in turn.
    TempFolder folder;
    std::vector<BMP_File> pictures(14);
    std::vector<const BMP_File*> order;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const bool is_large = i == 4 || i == 9;
        PaintScene(pictures[i], is_large ? 102 : 51, is_large ? 42 : 21, static_cast<uint32_t>(i + 1));
        order.push_back(&pictures[i]);
    }
    const std::string archive = RecordPictures(folder.Path(), order);
    for (const int32_t damaged : {3, 6, 7, 12}) DamageFrame(archive, damaged);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    const std::string avi = folder.File("out.avi");
    const AviExportResult result = ConvertArchiveToAvi(archive, avi);
    ASSERT_TRUE(result.is_written) << result.error;
    EXPECT_EQ(4, result.frames_repeated);
    EXPECT_EQ(2, result.frames_fitted);

    const std::vector<std::vector<uint8_t>> samples = StoredSamples(ReadBytes(avi));
    ASSERT_EQ(14u, samples.size());
    BMP_File fitted;
    for (int32_t frame = 0; frame < 14; ++frame) {
        SCOPED_TRACE(frame);
        reader.SeekFrame(frame);
        if (!reader.IsFrameDecoded()) {
            EXPECT_EQ(samples[frame - 1], samples[frame]);
        } else if (reader.GetFrameImage().GetWidth() != 51) {
            fitted.Create(51, 21);
            FitPicture(reader.GetFrameImage(), fitted);
            EXPECT_EQ(BottomUpPadded(fitted), samples[frame]);
        } else {
            EXPECT_EQ(BottomUpPadded(reader.GetFrameImage()), samples[frame]);
        }
    }
}

TEST(AviExport, AnUndecodableFirstFrameIsBlackAndTheNextFrameSetsTheSize) {
    TempFolder folder;
    BMP_File small, large;
    PaintScene(small, 16, 16, 1);
    PaintScene(large, 48, 32, 2);
    const std::string archive = RecordPictures(folder.Path(), {&small, &large, &large});
    DamageFrame(archive, 0);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    const AviExportResult result = ConvertArchiveToAvi(archive, folder.File("out.avi"));
    ASSERT_TRUE(result.is_written) << result.error;
    EXPECT_EQ(48, result.width);
    EXPECT_EQ(32, result.height);
    const std::vector<uint8_t> frames = DecodeWithFfmpeg(folder.File("out.avi"));
    ASSERT_EQ(3 * FrameBytes(48, 32), frames.size());
    EXPECT_EQ(std::vector<uint8_t>(FrameBytes(48, 32), 0), FrameOf(frames, 0, 48, 32));
    reader.SeekFrame(1);
    EXPECT_EQ(Pixels(reader.GetFrameImage()), FrameOf(frames, 1, 48, 32));

    DamageFrame(archive, 1);
    DamageFrame(archive, 2);
    ASSERT_TRUE(reader.OpenFile(archive));
    const AviExportResult nothing = ConvertArchiveToAvi(archive, folder.File("none.avi"));
    EXPECT_FALSE(nothing.is_written);
    EXPECT_EQ("no frame of the archive can be decoded", nothing.error);
    EXPECT_FALSE(FileExists(folder.File("none.avi")));
}

TEST(AviExport, FramesOfAnotherSizeAreScaledToTheFirstFramesSize) {
    TempFolder folder;
    BMP_File first, larger, smaller;
    PaintScene(first, 40, 20, 1);
    PaintScene(larger, 80, 40, 2);
    PaintScene(smaller, 20, 10, 3);
    const std::string archive = RecordPictures(folder.Path(), {&first, &larger, &smaller});
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    const std::string avi = folder.File("out.avi");
    const AviExportResult result = ConvertArchiveToAvi(archive, avi);
    ASSERT_TRUE(result.is_written) << result.error;
    EXPECT_EQ(2, result.frames_fitted);

    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(avi, stream));
    EXPECT_EQ(40, stream.width);
    EXPECT_EQ(20, stream.height);
    EXPECT_EQ(3, stream.frame_count);
    const std::vector<uint8_t> frames = DecodeWithFfmpeg(avi);
    ASSERT_EQ(3 * FrameBytes(40, 20), frames.size());

    // Twice the size: every second pixel of every second row. Half the size: every pixel twice.
    reader.SeekFrame(1);
    const BMP_File& large_frame = reader.GetFrameImage();
    const std::vector<uint8_t> scaled_down = FrameOf(frames, 1, 40, 20);
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 40; ++x) {
            const mColor_24& source = large_frame.GetPixel(2 * x, 2 * y);
            ASSERT_EQ(source.blue, scaled_down[(y * 40 + x) * 3]) << x << "," << y;
            ASSERT_EQ(source.red, scaled_down[(y * 40 + x) * 3 + 2]) << x << "," << y;
        }
    }
    reader.SeekFrame(2);
    const BMP_File& small_frame = reader.GetFrameImage();
    const std::vector<uint8_t> scaled_up = FrameOf(frames, 2, 40, 20);
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 40; ++x) {
            ASSERT_EQ(small_frame.GetPixel(x / 2, y / 2).green, scaled_up[(y * 40 + x) * 3 + 1]) << x << "," << y;
        }
    }
}

TEST(AviExport, ExportsBeyondTheSplitSizeReadBackWithEveryFrame) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 64, 48, 60);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    AviWriterOptions options;
    options.riff_split_bytes = 100 * 1024;  // 9 216-byte frames: about ten per RIFF chunk
    const std::string avi = folder.File("long.avi");
    ASSERT_TRUE(ConvertArchiveToAvi(archive, avi, {}, options).is_written);

    const std::vector<uint8_t> bytes = ReadBytes(avi);
    size_t extension_chunks = 0;
    for (size_t at = 0; at + 12 <= bytes.size(); ++at) {
        if (std::memcmp(bytes.data() + at, "RIFF", 4) == 0 && std::memcmp(bytes.data() + at + 8, "AVIX", 4) == 0) {
            ++extension_chunks;
        }
    }
    EXPECT_GE(extension_chunks, 4u);
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(avi, stream));
    EXPECT_EQ(60, stream.frame_count);
    EXPECT_EQ(DecodeArchive(reader), DecodeWithFfmpeg(avi));
}

TEST(Snapshot, SavesTheStoredJpegOfTheCurrentFrameByteForByte) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 64, 48, 5);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(3);
    std::string error;
    const std::string shot = folder.File("shot.jpg");
    WriteBytes(shot, std::vector<uint8_t>(200000, 1));  // replaced, not merely overwritten at the start
    ASSERT_TRUE(SaveSnapshotJpeg(reader, shot, error)) << error;
    const std::vector<uint8_t> stored = StoredJpeg(archive, 3);
    ASSERT_GT(stored.size(), 100u);
    EXPECT_EQ(stored, ReadBytes(shot));
    EXPECT_NE(StoredJpeg(archive, 2), stored);

    EXPECT_FALSE(SaveSnapshotJpeg(reader, folder.File("gone/shot.jpg"), error));
    EXPECT_FALSE(error.empty());
}

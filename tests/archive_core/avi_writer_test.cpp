#include "archive_core/avi_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive_core/export_test_support.h"

using namespace export_test;

namespace {

uint32_t U32At(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}
uint16_t U16At(const std::vector<uint8_t>& bytes, size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); }
uint64_t U64At(const std::vector<uint8_t>& bytes, size_t at) {
    return U32At(bytes, at) | uint64_t{U32At(bytes, at + 4)} << 32;
}
std::string FourCcAt(const std::vector<uint8_t>& bytes, size_t at) {
    return std::string(bytes.begin() + at, bytes.begin() + at + 4);
}

struct Chunk {
    std::string id;     // chunk id, or the list/form type for LIST and RIFF
    size_t data = 0;    // first byte after the 8-byte header
    uint32_t size = 0;  // as the header says
};

// Walks chunks between begin and end, descending into RIFF and LIST; checks that every
// size stays inside its parent.
void Walk(const std::vector<uint8_t>& bytes, size_t begin, size_t end, std::vector<Chunk>& chunks) {
    size_t at = begin;
    while (at + 8 <= end) {
        const std::string id = FourCcAt(bytes, at);
        const uint32_t size = U32At(bytes, at + 4);
        ASSERT_LE(at + 8 + size, end) << id << " at " << at << " overruns its parent";
        if (id == "RIFF" || id == "LIST") {
            chunks.push_back({FourCcAt(bytes, at + 8), at + 8, size});
            Walk(bytes, at + 12, at + 8 + size, chunks);
        } else {
            chunks.push_back({id, at + 8, size});
        }
        at += 8 + size + (size & 1);
    }
    ASSERT_EQ(at, end) << "chunks do not fill their parent exactly";
}

std::vector<Chunk> WalkFile(const std::vector<uint8_t>& bytes) {
    std::vector<Chunk> chunks;
    Walk(bytes, 0, bytes.size(), chunks);
    return chunks;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& id) {
    for (const Chunk& chunk : chunks) {
        if (chunk.id == id) return &chunk;
    }
    return nullptr;
}

// Writes frames made by PaintPattern and returns them concatenated, as ffmpeg would give them back.
std::vector<uint8_t> WritePatternAvi(const std::string& path, int32_t width, int32_t height, int frames,
                                     const AviWriterOptions& options = {}, uint32_t* riff_count = nullptr) {
    CAviWriter writer;
    std::vector<uint8_t> expected;
    EXPECT_TRUE(writer.Open(path, width, height, options)) << writer.GetError();
    BMP_File picture;
    for (int i = 0; i < frames; ++i) {
        PaintPattern(picture, width, height, static_cast<uint32_t>(i));
        const BMP_File before = [&] {
            BMP_File copy;
            copy.CopyFrom(picture);
            return copy;
        }();
        EXPECT_TRUE(writer.WriteFrame(picture.GetBits())) << writer.GetError();
        EXPECT_EQ(0, std::memcmp(before.GetBits(), picture.GetBits(), picture.GetBitsSize()))
            << "caller's picture changed";
        expected.insert(expected.end(), picture.GetBits(), picture.GetBits() + picture.GetBitsSize());
    }
    if (riff_count) *riff_count = writer.GetRiffCount();
    EXPECT_TRUE(writer.Finish()) << writer.GetError();
    EXPECT_EQ(static_cast<uint32_t>(frames), writer.GetFrameCount());
    return expected;
}

}  // namespace

TEST(AviWriter, PlayersReadEveryFramePixelForPixelWithAndWithoutRowPadding) {
    // 32 x 3 = 96 bytes per row needs no padding; 33 and 30 give rows of 99 and 90 bytes.
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{32, 24}, {33, 17}, {30, 5}, {1, 1}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        TempFolder folder;
        const std::string path = folder.File("out.avi");
        const std::vector<uint8_t> expected = WritePatternAvi(path, width, height, 7);

        ProbedStream stream;
        ASSERT_TRUE(ProbeVideo(path, stream));
        EXPECT_EQ("rawvideo", stream.codec_name);
        EXPECT_EQ("bgr24", stream.pix_fmt);
        EXPECT_EQ(width, stream.width);
        EXPECT_EQ(height, stream.height);
        EXPECT_EQ("10/1", stream.frame_rate);
        EXPECT_EQ(7, stream.frame_count);
        EXPECT_EQ(expected, DecodeWithFfmpeg(path));
        EXPECT_EQ(std::vector<std::string>{"out.avi"}, folder.Entries()) << "temporary file left behind";
    }
}

TEST(AviWriter, HeadersDeclareBottomUpUncompressedFramesAtTenPerSecond) {
    TempFolder folder;
    const std::string path = folder.File("header.avi");
    const int32_t width = 33, height = 17;
    const uint32_t stored_row = 100;  // 99 bytes padded to 100
    WritePatternAvi(path, width, height, 3);
    const std::vector<uint8_t> bytes = ReadBytes(path);
    const std::vector<Chunk> chunks = WalkFile(bytes);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ("RIFF", FourCcAt(bytes, 0));
    ASSERT_EQ("AVI ", FourCcAt(bytes, 8));

    const Chunk* strh = Find(chunks, "strh");
    ASSERT_NE(nullptr, strh);
    ASSERT_EQ(56u, strh->size);
    EXPECT_EQ("vids", FourCcAt(bytes, strh->data));
    EXPECT_EQ(0u, U32At(bytes, strh->data + 4));                    // handler
    EXPECT_EQ(0u, U32At(bytes, strh->data + 8));                    // flags
    EXPECT_EQ(1u, U32At(bytes, strh->data + 20));                   // scale
    EXPECT_EQ(10u, U32At(bytes, strh->data + 24));                  // rate
    EXPECT_EQ(0u, U32At(bytes, strh->data + 28));                   // start
    EXPECT_EQ(3u, U32At(bytes, strh->data + 32));                   // length
    EXPECT_EQ(stored_row * height, U32At(bytes, strh->data + 44));  // sample size
    EXPECT_EQ(0, U16At(bytes, strh->data + 48));
    EXPECT_EQ(0, U16At(bytes, strh->data + 50));
    EXPECT_EQ(width, U16At(bytes, strh->data + 52));
    EXPECT_EQ(height, U16At(bytes, strh->data + 54));

    const Chunk* strf = Find(chunks, "strf");
    ASSERT_NE(nullptr, strf);
    ASSERT_EQ(40u, strf->size);
    EXPECT_EQ(40u, U32At(bytes, strf->data));
    EXPECT_EQ(uint32_t(width), U32At(bytes, strf->data + 4));
    EXPECT_EQ(uint32_t(height), U32At(bytes, strf->data + 8));  // positive: bottom row first
    EXPECT_EQ(1, U16At(bytes, strf->data + 12));
    EXPECT_EQ(24, U16At(bytes, strf->data + 14));
    EXPECT_EQ(0u, U32At(bytes, strf->data + 16));
    EXPECT_EQ(stored_row * height, U32At(bytes, strf->data + 20));
    for (size_t field = 24; field < 40; field += 4) EXPECT_EQ(0u, U32At(bytes, strf->data + field));

    // Frame chunks carry the padded rows, bottom row first.
    const Chunk* frame = Find(chunks, "00db");
    ASSERT_NE(nullptr, frame);
    ASSERT_EQ(stored_row * height, frame->size);
    BMP_File first;
    PaintPattern(first, width, height, 0);
    EXPECT_EQ(0, std::memcmp(bytes.data() + frame->data, first.GetBits() + (height - 1) * width * 3, width * 3));
    EXPECT_EQ(0, bytes[frame->data + 99]);

    const Chunk* avih = Find(chunks, "avih");
    ASSERT_NE(nullptr, avih);
    EXPECT_EQ(100000u, U32At(bytes, avih->data));
    EXPECT_EQ(3u, U32At(bytes, avih->data + 16));
    const Chunk* dmlh = Find(chunks, "dmlh");
    ASSERT_NE(nullptr, dmlh);
    EXPECT_EQ(3u, U32At(bytes, dmlh->data));
    const Chunk* idx1 = Find(chunks, "idx1");
    ASSERT_NE(nullptr, idx1);
    EXPECT_EQ(3u * 16, idx1->size);
}

TEST(AviWriter, LargeExportsSplitIntoExtensionChunksThatPlayersReadCompletely) {
    TempFolder folder;
    const std::string path = folder.File("long.avi");
    AviWriterOptions options;
    options.riff_split_bytes = 64 * 1024;  // a 33x24 frame is 2 400 bytes: about 26 frames per chunk
    uint32_t riff_count = 0;
    const int frames = 150;
    const std::vector<uint8_t> expected = WritePatternAvi(path, 33, 24, frames, options, &riff_count);
    EXPECT_GE(riff_count, 5u);

    const std::vector<uint8_t> bytes = ReadBytes(path);
    const std::vector<Chunk> chunks = WalkFile(bytes);
    ASSERT_FALSE(HasFatalFailure());
    // Every RIFF chunk stays under the split size; all but the first are 'AVIX'.
    size_t at = 0;
    uint32_t riffs = 0;
    while (at < bytes.size()) {
        ASSERT_EQ("RIFF", FourCcAt(bytes, at));
        EXPECT_EQ(riffs == 0 ? "AVI " : "AVIX", FourCcAt(bytes, at + 8));
        EXPECT_LE(U32At(bytes, at + 4) + 8u, options.riff_split_bytes);
        at += 8 + U32At(bytes, at + 4);
        ++riffs;
    }
    EXPECT_EQ(riff_count, riffs);

    // The super index points at one 'ix00' per RIFF chunk, and together they list every frame.
    const Chunk* indx = Find(chunks, "indx");
    ASSERT_NE(nullptr, indx);
    ASSERT_EQ(riffs, U32At(bytes, indx->data + 4));
    uint32_t indexed_frames = 0;
    for (uint32_t i = 0; i < riffs; ++i) {
        const size_t entry = indx->data + 24 + i * 16;
        const uint64_t ix = U64At(bytes, entry);
        ASSERT_LT(ix + 8, bytes.size());
        ASSERT_EQ("ix00", FourCcAt(bytes, ix));
        EXPECT_EQ(U32At(bytes, ix + 4) + 8, U32At(bytes, entry + 8));
        const uint32_t count = U32At(bytes, ix + 12);
        EXPECT_EQ(count, U32At(bytes, entry + 12));
        const uint64_t base = U64At(bytes, ix + 20);
        for (uint32_t k = 0; k < count; ++k) {
            const uint64_t data = base + U32At(bytes, ix + 32 + k * 8);
            ASSERT_EQ("00db", FourCcAt(bytes, data - 8));
            EXPECT_EQ(0, std::memcmp(bytes.data() + data,
                                     expected.data() + size_t(indexed_frames) * 33 * 24 * 3 + 23 * 33 * 3, 99))
                << "frame " << indexed_frames;
            ++indexed_frames;
        }
    }
    EXPECT_EQ(uint32_t(frames), indexed_frames);
    EXPECT_EQ(uint32_t(frames), U32At(bytes, Find(chunks, "dmlh")->data));
    EXPECT_EQ(uint32_t(frames), U32At(bytes, Find(chunks, "strh")->data + 32));

    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(path, stream));
    EXPECT_EQ(frames, stream.frame_count);
    EXPECT_EQ(expected, DecodeWithFfmpeg(path));
}

TEST(AviWriter, ReplacesAnExistingTargetOnlyWhenFinished) {
    TempFolder folder;
    const std::string path = folder.File("video.avi");
    WriteBytes(path, {'o', 'l', 'd'});
    {
        CAviWriter writer;
        ASSERT_TRUE(writer.Open(path, 8, 8));
        BMP_File picture;
        PaintPattern(picture, 8, 8, 1);
        ASSERT_TRUE(writer.WriteFrame(picture.GetBits()));
        // Until the writer finishes, the old file stays as it was and nothing else is visible but it.
        EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadBytes(path));
        ASSERT_TRUE(writer.Finish()) << writer.GetError();
    }
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(path, stream));
    EXPECT_EQ(1, stream.frame_count);
    EXPECT_EQ(std::vector<std::string>{"video.avi"}, folder.Entries());
}

TEST(AviWriter, AbandonedOrDestroyedUnfinishedWritersLeaveNothingAndKeepTheOldTarget) {
    TempFolder folder;
    const std::string path = folder.File("video.avi");
    WriteBytes(path, {'o', 'l', 'd'});
    BMP_File picture;
    PaintPattern(picture, 8, 8, 1);
    {
        CAviWriter writer;
        ASSERT_TRUE(writer.Open(path, 8, 8));
        ASSERT_TRUE(writer.WriteFrame(picture.GetBits()));
        writer.Abandon();
        EXPECT_FALSE(writer.WriteFrame(picture.GetBits()));
        EXPECT_FALSE(writer.Finish());
    }
    {
        CAviWriter writer;
        ASSERT_TRUE(writer.Open(folder.File("other.avi"), 8, 8));
        ASSERT_TRUE(writer.WriteFrame(picture.GetBits()));
    }
    EXPECT_EQ(std::vector<std::string>{"video.avi"}, folder.Entries());
    EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadBytes(path));
}

TEST(AviWriter, UnwritableTargetsAreReportedWithTheirCause) {
    TempFolder folder;
    BMP_File picture;
    PaintPattern(picture, 4, 4, 0);

    CAviWriter missing_folder;
    EXPECT_FALSE(missing_folder.Open(folder.File("no/such/folder/x.avi"), 4, 4));
    EXPECT_NE(std::string::npos, missing_folder.GetError().find("No such file or directory"))
        << missing_folder.GetError();

    // A folder in the way of the target is refused before anything is written.
    const std::string in_the_way = folder.File("taken.avi");
    ASSERT_EQ(0, RunShell("mkdir '" + in_the_way + "'").exit_code);
    CAviWriter blocked;
    EXPECT_FALSE(blocked.Open(in_the_way, 4, 4));
    EXPECT_NE(std::string::npos, blocked.GetError().find("is a folder")) << blocked.GetError();
    EXPECT_EQ(std::vector<std::string>{"taken.avi"}, folder.Entries());

    CAviWriter empty_picture;
    EXPECT_FALSE(empty_picture.Open(folder.File("empty.avi"), 0, 0));
    EXPECT_FALSE(empty_picture.GetError().empty());
    EXPECT_EQ(std::vector<std::string>{"taken.avi"}, folder.Entries());
}

TEST(AviWriter, AWriteThatFailsHalfwayIsReportedWithItsCauseAndLeavesNothing) {
    TempFolder folder;
    const std::string path = folder.File("video.avi");
    WriteBytes(path, {'o', 'l', 'd'});
    BMP_File picture;
    PaintPattern(picture, 64, 48, 0);  // 9 216 bytes a frame
    CAviWriter writer;
    bool is_ok = true;
    int frames = 0;
    {
        const FileSizeLimit limit(100 * 1024);
        ASSERT_TRUE(limit.IsSet());
        ASSERT_TRUE(writer.Open(path, 64, 48));
        for (; frames < 40 && is_ok; ++frames) is_ok = writer.WriteFrame(picture.GetBits());
    }
    EXPECT_FALSE(is_ok);
    EXPECT_LT(frames, 40);
    EXPECT_NE(std::string::npos, writer.GetError().find("writing frame")) << writer.GetError();
    EXPECT_NE(std::string::npos, writer.GetError().find("File too large")) << writer.GetError();
    EXPECT_FALSE(writer.Finish());
    EXPECT_EQ(std::vector<std::string>{"video.avi"}, folder.Entries());
    EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadBytes(path));
}

TEST(AviWriter, ReportsWhenTheSuperIndexIsFull) {
    TempFolder folder;
    AviWriterOptions options;
    options.riff_split_bytes = 4096;
    options.super_index_entries = 2;
    CAviWriter writer;
    ASSERT_TRUE(writer.Open(folder.File("full.avi"), 16, 16, options));
    BMP_File picture;
    PaintPattern(picture, 16, 16, 0);  // 768 bytes: a few frames per RIFF chunk
    bool is_ok = true;
    for (int i = 0; i < 40 && is_ok; ++i) is_ok = writer.WriteFrame(picture.GetBits());
    if (is_ok) is_ok = writer.Finish();
    EXPECT_FALSE(is_ok);
    EXPECT_NE(std::string::npos, writer.GetError().find("RIFF chunks")) << writer.GetError();
    EXPECT_TRUE(folder.Entries().empty());
}

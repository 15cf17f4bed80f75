#include "archive_core/video_export.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive_core/export_test_support.h"
#include "recorder/frame_archive.h"

using namespace export_test;

namespace {

// Two episodes of irregular frame spacing, five seconds apart.
struct TwoEpisodes {
    std::vector<double> first_offsets_s{0.0, 0.066, 0.150, 0.200, 1.500, 1.533};
    std::vector<double> second_offsets_s{0.0, 0.040, 0.100};
    std::string first_path;
    std::string second_path;
    std::vector<std::vector<uint8_t>> jpegs;  // in time order
    std::vector<double> times_s;              // from the first record

    explicit TwoEpisodes(const TempFolder& folder) {
        const double start = OleDay(2026, 3, 1, 10, 0, 0.0);
        auto stamps = [&](double from_s, const std::vector<double>& offsets_s) {
            std::vector<double> days;
            for (const double offset_s : offsets_s) {
                days.push_back(start + (from_s + offset_s) / 86400.0);
                times_s.push_back(from_s + offset_s);
            }
            return days;
        };
        first_path = folder.File("1000.CNA");
        second_path = folder.File("6000.CNA");
        jpegs = WriteStampedArchive(first_path, stamps(0.0, first_offsets_s), 64, 48, 1);
        const auto later = WriteStampedArchive(second_path, stamps(5.0, second_offsets_s), 64, 48, 50);
        jpegs.insert(jpegs.end(), later.begin(), later.end());
    }
    // Given latest first: the export orders them by time.
    std::vector<std::string> OutOfOrder() const { return {second_path, first_path}; }
    double SpanS() const { return times_s.back(); }
};

// Mean absolute difference of two pictures of the same size.
double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 255.0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
    return sum / static_cast<double>(a.size());
}

}  // namespace

TEST(VideoExport, CopiesEveryStoredJpegUnchangedAtItsRecordedTime) {
    for (const char* name : {"joined.mkv", "joined.avi"}) {
        SCOPED_TRACE(name);
        TempFolder folder;
        const TwoEpisodes episodes(folder);
        const std::string out = folder.File(name);
        const VideoExportResult result =
            ExportVideo(episodes.OutOfOrder(), out, {*ContainerForPath(out), VideoCodec::kMotionJpeg});
        ASSERT_TRUE(result.is_written) << result.error;
        EXPECT_EQ(9, result.frames_written);
        EXPECT_NEAR(episodes.SpanS(), result.span_s, 1e-6);

        ProbedStream stream;
        ASSERT_TRUE(ProbeVideo(out, stream));
        EXPECT_EQ("mjpeg", stream.codec_name);
        EXPECT_EQ(9, stream.frame_count);
        EXPECT_EQ(episodes.jpegs, CopiedJpegPackets(out, folder.File("packets")));
        EXPECT_EQ("", DecodeComplaints(out));

        const std::vector<double> times = PacketTimes(out);
        ASSERT_EQ(9u, times.size());
        const bool is_avi = std::string(name).ends_with(".avi");
        for (size_t i = 0; i < times.size(); ++i) {
            // AVI has one rate: the average of the span, first and last frame at its ends.
            const double expected_s = is_avi ? episodes.SpanS() * i / 8.0 : episodes.times_s[i];
            EXPECT_NEAR(expected_s, times[i] - times[0], 0.0015) << "frame " << i;
        }
    }
}

TEST(VideoExport, H264DecodesCleanlyCloseToTheRecordedPictures) {
    ASSERT_TRUE(FindH264Encoder().IsAvailable()) << FindH264Encoder().unavailable_reason;
    for (const auto& [name, codec] : std::vector<std::pair<std::string, VideoCodec>>{
             {"joined.mp4", VideoCodec::kH264}, {"joined-h264.avi", VideoCodec::kH264}}) {
        SCOPED_TRACE(name);
        TempFolder folder;
        const TwoEpisodes episodes(folder);
        const std::string out = folder.File(name);
        const VideoExportResult result = ExportVideo(episodes.OutOfOrder(), out, {*ContainerForPath(out), codec});
        ASSERT_TRUE(result.is_written) << result.error;

        ProbedStream stream;
        ASSERT_TRUE(ProbeVideo(out, stream));
        EXPECT_EQ("h264", stream.codec_name);
        EXPECT_EQ(9, stream.frame_count);
        EXPECT_EQ("", DecodeComplaints(out));
        if (name.ends_with(".mp4")) {
            std::vector<double> times = PacketTimes(out);
            std::sort(times.begin(), times.end());
            ASSERT_EQ(9u, times.size());
            for (size_t i = 0; i < times.size(); ++i)
                EXPECT_NEAR(episodes.times_s[i], times[i] - times[0], 0.0015) << i;
        }
        // Frame by frame the pictures of the episodes in time order, within H.264's loss.
        const std::vector<uint8_t> decoded = DecodeWithFfmpeg(out);
        const size_t frame_bytes = 64 * 48 * 3;
        ASSERT_EQ(9 * frame_bytes, decoded.size());
        CArchiveReader reader;
        size_t frame = 0;
        for (const std::string& path : {episodes.first_path, episodes.second_path}) {
            ASSERT_TRUE(reader.OpenFile(path));
            const std::vector<uint8_t> recorded = DecodeArchive(reader);
            for (size_t i = 0; i < recorded.size() / frame_bytes; ++i, ++frame) {
                const std::vector<uint8_t> original(recorded.begin() + i * frame_bytes,
                                                    recorded.begin() + (i + 1) * frame_bytes);
                const std::vector<uint8_t> exported(decoded.begin() + frame * frame_bytes,
                                                    decoded.begin() + (frame + 1) * frame_bytes);
                EXPECT_LT(MeanDifference(original, exported), 6.0) << "frame " << frame;
            }
        }
    }
}

TEST(VideoExport, ARecordWithoutAPictureRepeatsTheFrameBeforeAndKeepsTheCount) {
    TempFolder folder;
    const std::string archive = folder.File("2000.CNA");
    const double start = OleDay(2026, 3, 1, 9, 0, 0.0);
    std::vector<std::vector<uint8_t>> jpegs =
        WriteStampedArchive(archive, {start, start + 0.1 / 86400, start + 0.2 / 86400, start + 0.3 / 86400}, 32, 32, 7);
    // Record 2's length no longer leads to record 3: its bytes cannot be trusted.
    std::vector<uint8_t> bytes = ReadBytes(archive);
    const size_t record_2 = 8 + (12 + jpegs[0].size()) + (12 + jpegs[1].size());
    archive_format::WriteU32(&bytes[record_2 + 8], static_cast<uint32_t>(jpegs[2].size() + 7));
    WriteBytes(archive, bytes);

    const VideoExportResult result = ExportVideo({archive}, folder.File("out.mkv"), {});
    ASSERT_TRUE(result.is_written) << result.error;
    EXPECT_EQ(4, result.frames_written);
    EXPECT_EQ(1, result.frames_repeated);
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{jpegs[0], jpegs[1], jpegs[1], jpegs[3]}),
              CopiedJpegPackets(folder.File("out.mkv"), folder.File("packets")));
}

TEST(VideoExport, ACopiedRecordThatCannotBeDecodedRepeatsTheFrameBeforeToo) {
    TempFolder folder;
    const double start = OleDay(2026, 3, 1, 9, 0, 0.0);
    const std::vector<std::vector<uint8_t>> good =
        WriteStampedArchive(folder.File("good.CNA"), {start, start + 0.1 / 86400}, 32, 32, 7);
    // Bytes that are no JPEG, and a sound stream whose frame header claims 65500 x 65500.
    std::vector<uint8_t> not_jpeg(200, 'x');
    std::vector<uint8_t> giant = good[0];
    for (size_t i = 0; i + 8 < giant.size(); ++i) {
        if (giant[i] == 0xFF && giant[i + 1] == 0xC0) {
            for (const size_t at : {i + 5, i + 7}) {  // height, width: 65500
                giant[at] = 0xFF;
                giant[at + 1] = 0xDC;
            }
            break;
        }
    }
    const std::vector<std::vector<uint8_t>> records = {good[0], not_jpeg, giant, good[1]};
    std::vector<uint8_t> bytes(8, 0);
    archive_format::WriteU32(bytes.data(), static_cast<uint32_t>(records.size()));
    for (size_t k = 0; k < records.size(); ++k) {
        uint8_t head[12];
        archive_format::WriteDouble(head, start + static_cast<double>(k) * 0.1 / 86400);
        archive_format::WriteU32(head + 8, static_cast<uint32_t>(records[k].size()));
        bytes.insert(bytes.end(), head, head + 12);
        bytes.insert(bytes.end(), records[k].begin(), records[k].end());
    }
    const std::string archive = folder.File("2000.CNA");
    WriteBytes(archive, bytes);

    const VideoExportResult result = ExportVideo({archive}, folder.File("out.mkv"), {});
    ASSERT_TRUE(result.is_written) << result.error;
    EXPECT_EQ(4, result.frames_written);
    EXPECT_EQ(2, result.frames_repeated);
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{good[0], good[0], good[0], good[1]}),
              CopiedJpegPackets(folder.File("out.mkv"), folder.File("packets")));
}

TEST(VideoExport, CancelAndFailureLeaveNothingAndArchivesAreNeverWritten) {
    TempFolder folder;
    const TwoEpisodes episodes(folder);
    WriteBytes(folder.File("taken.mkv"), {'o', 'l', 'd'});
    WriteBytes(folder.File("other.CNA"), {'c', 'n', 'a'});
    const std::vector<std::string> before = folder.Entries();

    const VideoExportResult cancelled = ExportVideo(episodes.OutOfOrder(), folder.File("taken.mkv"), {},
                                                    [](int64_t done, int64_t) { return done < 3; });
    EXPECT_TRUE(cancelled.is_cancelled);
    EXPECT_FALSE(cancelled.is_written);

    for (const bool is_h264 : {false, true}) {
        SCOPED_TRACE(is_h264);
        // A disk that fills up while GStreamer writes.
        const FileSizeLimit limit(600);
        ASSERT_TRUE(limit.IsSet());
        const VideoExportResult full =
            ExportVideo(episodes.OutOfOrder(), folder.File("taken.mkv"),
                        {VideoContainer::kMatroska, is_h264 ? VideoCodec::kH264 : VideoCodec::kMotionJpeg});
        EXPECT_FALSE(full.is_written);
        EXPECT_NE(std::string::npos, full.error.find("File too large")) << full.error;
    }
    EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadBytes(folder.File("taken.mkv")));
    EXPECT_EQ(before, folder.Entries());

    const std::vector<uint8_t> archive_bytes = ReadBytes(episodes.first_path);
    for (const auto& [target, options, sources] :
         std::vector<std::tuple<std::string, VideoExportOptions, std::vector<std::string>>>{
             {episodes.first_path, {}, episodes.OutOfOrder()},
             {folder.File("other.CNA"), {}, {episodes.first_path}},
             {folder.File("copy.mp4"), {VideoContainer::kMp4, VideoCodec::kMotionJpeg}, {episodes.first_path}},
             {folder.File("missing.mkv"), {}, {folder.File("missing.CNA")}},
             {folder.File("nothing.mkv"), {}, {}}}) {
        SCOPED_TRACE(target);
        const VideoExportResult refused = ExportVideo(sources, target, options);
        EXPECT_FALSE(refused.is_written);
        EXPECT_FALSE(refused.error.empty());
    }
    EXPECT_EQ(archive_bytes, ReadBytes(episodes.first_path));
    EXPECT_EQ(before, folder.Entries());
}

TEST(VideoExport, ContainerAndCodecFollowTheName) {
    for (const auto& [name, container] :
         std::vector<std::pair<std::string, std::optional<VideoContainer>>>{{"/a/b.mkv", VideoContainer::kMatroska},
                                                                            {"B.AVI", VideoContainer::kAvi},
                                                                            {"c.Mp4", VideoContainer::kMp4},
                                                                            {"d.mov", std::nullopt},
                                                                            {"/x.mkv/mp4", std::nullopt},
                                                                            {".mkv", std::nullopt}}) {
        EXPECT_EQ(container, ContainerForPath(name)) << name;
    }
    EXPECT_EQ(VideoCodec::kMotionJpeg, DefaultCodec(VideoContainer::kMatroska));
    EXPECT_EQ(VideoCodec::kMotionJpeg, DefaultCodec(VideoContainer::kAvi));
    EXPECT_EQ(VideoCodec::kH264, DefaultCodec(VideoContainer::kMp4));
}

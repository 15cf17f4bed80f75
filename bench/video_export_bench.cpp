// Video export, two checks on 1920x1080 camera-like archives (TMPDIR picks where they go).
//
// BM_CopyExportAgainstReading: exporting an archive of 1 000 frames with the stored JPEGs copied
// (Matroska, and AVI) against reading the same archive's records with a reader, measured side
// by side in every round (the order swapped every other round). Goal: copy_ratio <= 1.5.
// write_only_s is the floor no export can go below: the same bytes written into a new file.
//
// BM_H264FramesPerCpuSecond: the H.264 export of 150 frames in frames per processor second (all
// threads, JPEG decoding and colour conversion included), printed beside ffmpeg -threads 1
// -c:v libx264 -preset veryfast given the same frames already decoded. No goal: a figure to
// compare with.
#include <benchmark/benchmark.h>
#include <sys/wait.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/archive_reader.h"
#include "archive_core/video_export.h"
#include "bench_support.h"
#include "jpeg/jpeg_codec.h"
#include "platform/ole_date.h"
#include "platform/safe_output.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kCopyFrames = 1000;
constexpr int32_t kH264Frames = 150;
// Distinct pictures the records cycle through: encoding 1 000 full-HD frames would take longer
// than the check.
constexpr int32_t kDistinctPictures = 25;
constexpr int kRounds = 5;
constexpr double kFramesPerSecond = 15.0;

// Archives written once for the whole run: records of camera-like JPEGs 1/15 s apart.
class BenchArchives {
public:
    BenchArchives() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cindral-video-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        const CameraScene scene(kWidth, kHeight);
        JpegCodec codec;
        std::vector<uint8_t> buffer(4 * 1024 * 1024);
        BMP_File picture;
        for (int32_t i = 0; i < kDistinctPictures; ++i) {
            scene.Paint(picture, i * 4);
            const uint32_t length = codec.EncodeJpeg(picture, buffer.data(), static_cast<uint32_t>(buffer.size()));
            if (length == 0) throw std::runtime_error("encode failed: " + codec.LastError());
            jpegs_.emplace_back(buffer.begin(), buffer.begin() + length);
        }
        Write(CopyPath(), kCopyFrames);
        Write(H264Path(), kH264Frames);
    }
    ~BenchArchives() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const std::string& Folder() const { return folder_; }
    std::string CopyPath() const { return folder_ + "/1000.CNA"; }
    std::string H264Path() const { return folder_ + "/150.CNA"; }
    std::string Out(const std::string& name) const { return folder_ + "/" + name; }
    const std::vector<std::vector<uint8_t>>& Jpegs() const { return jpegs_; }

private:
    void Write(const std::string& path, int32_t frames) const {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) throw std::runtime_error("cannot write " + path);
        uint8_t head[12] = {};
        archive_format::WriteU32(head, static_cast<uint32_t>(frames));
        std::fwrite(head, 1, 8, file);
        const double start = CalendarToOleDate(CalendarTime{2026, 12, 7, 9, 0, 0});
        for (int32_t frame = 0; frame < frames; ++frame) {
            const std::vector<uint8_t>& jpeg = jpegs_[frame % kDistinctPictures];
            archive_format::WriteDouble(head, start + frame / kFramesPerSecond / 86400.0);
            archive_format::WriteU32(head + 8, static_cast<uint32_t>(jpeg.size()));
            std::fwrite(head, 1, sizeof head, file);
            std::fwrite(jpeg.data(), 1, jpeg.size(), file);
        }
        uint8_t trailer[16];
        archive_format::WriteDouble(trailer, start);
        archive_format::WriteU32(trailer + 8, archive_format::kEndMarker);
        archive_format::WriteU32(trailer + 12, static_cast<uint32_t>(frames));
        std::fwrite(trailer, 1, sizeof trailer, file);
        if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path);
    }

    std::string folder_;
    std::vector<std::vector<uint8_t>> jpegs_;
};

const BenchArchives& Archives() {
    static const BenchArchives archives;
    return archives;
}

double ChildrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_CopyExportAgainstReading(benchmark::State& state) {
    const std::string load_before = LoadAverages();
    const BenchArchives& archives = Archives();
    std::vector<double> read_seconds, mkv_seconds, avi_seconds, mkv_ratios, avi_ratios;
    std::vector<double> read_cpu_seconds, mkv_cpu_seconds;
    size_t bytes_read = 0;

    // The archive's records as a reader gives them: every record's stored JPEG, in order.
    auto measure_read = [&] {
        const double start_cpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        CArchiveReader reader;
        reader.OpenFile(archives.CopyPath());
        std::vector<uint8_t> jpeg;
        bytes_read = 0;
        for (int32_t frame = 0; frame < reader.GetFrameCount(); ++frame) {
            reader.ReadFrameJpeg(frame, jpeg);
            bytes_read += jpeg.size();
            benchmark::DoNotOptimize(jpeg.data());
        }
        read_seconds.push_back(SecondsSince(start));
        read_cpu_seconds.push_back(ProcessCpuSeconds() - start_cpu);
    };
    auto measure_export = [&](const std::string& name, std::vector<double>& seconds) {
        const std::string out = archives.Out(name);
        const double start_cpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        const VideoExportResult result =
            ExportVideo({archives.CopyPath()}, out, {*ContainerForPath(out), VideoCodec::kMotionJpeg});
        seconds.push_back(SecondsSince(start));
        if (&seconds == &mkv_seconds) mkv_cpu_seconds.push_back(ProcessCpuSeconds() - start_cpu);
        std::filesystem::remove(out);
        if (!result.is_written || result.frames_written != kCopyFrames) {
            state.SkipWithError(("export failed: " + result.error).c_str());
            return false;
        }
        return true;
    };

    // Writing alone: the same bytes, already in memory, into a new file the way every export
    // writes (through the safe output, flushed and named at the end). No export can take less
    // than the longer of reading and writing.
    std::vector<double> write_seconds;
    auto measure_write = [&] {
        const std::string out = archives.Out("bench.raw");
        const auto start = Clock::now();
        CSafeOutput output;
        bool is_written = output.Open(out);
        for (int32_t frame = 0; frame < kCopyFrames && is_written; ++frame) {
            const std::vector<uint8_t>& jpeg = archives.Jpegs()[frame % kDistinctPictures];
            is_written = output.Write(jpeg.data(), jpeg.size());
        }
        is_written = is_written && output.Commit();
        write_seconds.push_back(SecondsSince(start));
        std::filesystem::remove(out);
        if (!is_written) state.SkipWithError(("writing failed: " + output.Error()).c_str());
        return is_written;
    };

    for (auto _ : state) {
        const bool is_read_first = read_seconds.size() % 2 == 0;
        if (!measure_write()) break;
        if (is_read_first) measure_read();
        if (!measure_export("bench.mkv", mkv_seconds) || !measure_export("bench.avi", avi_seconds)) break;
        if (!is_read_first) measure_read();
        state.SetIterationTime(mkv_seconds.back());
        mkv_ratios.push_back(mkv_seconds.back() / read_seconds.back());
        avi_ratios.push_back(avi_seconds.back() / read_seconds.back());
    }
    if (mkv_ratios.empty()) return;
    state.counters["read_s"] = Median(read_seconds);
    state.counters["write_only_s"] = Median(write_seconds);
    state.counters["mkv_s"] = Median(mkv_seconds);
    state.counters["avi_s"] = Median(avi_seconds);
    state.counters["copy_ratio"] = Median(mkv_ratios);
    state.counters["copy_ratio_max"] = *std::max_element(mkv_ratios.begin(), mkv_ratios.end());
    state.counters["avi_ratio"] = Median(avi_ratios);
    state.counters["jpeg_MB"] = static_cast<double>(bytes_read) / 1e6;
    // Processor time, all threads: what the export costs whatever share of the processors the
    // rest of the machine leaves it.
    state.counters["read_cpu_s"] = Median(read_cpu_seconds);
    state.counters["mkv_cpu_s"] = Median(mkv_cpu_seconds);
    state.SetLabel("target " + archives.Folder() + " (" + FileSystemOf(archives.Folder()) + "), load " + load_before +
                   " -> " + LoadAverages());
}

void BM_H264FramesPerCpuSecond(benchmark::State& state) {
    const std::string load_before = LoadAverages();
    const BenchArchives& archives = Archives();
    // The frames ffmpeg is given: the archive's pictures, decoded.
    std::vector<std::vector<uint8_t>> decoded;
    {
        JpegCodec codec;
        BMP_File picture;
        for (const auto& jpeg : archives.Jpegs()) {
            codec.DecodeJpeg(jpeg.data(), static_cast<uint32_t>(jpeg.size()), picture);
            decoded.emplace_back(picture.GetBits(), picture.GetBits() + picture.GetBitsSize());
        }
    }
    std::vector<double> ours_fps, ffmpeg_fps, ours_mb, ffmpeg_mb;
    for (auto _ : state) {
        const std::string ours = archives.Out("bench.mp4");
        const double start_cpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        const VideoExportResult result =
            ExportVideo({archives.H264Path()}, ours, {VideoContainer::kMp4, VideoCodec::kH264});
        state.SetIterationTime(SecondsSince(start));
        if (!result.is_written) {
            state.SkipWithError(("export failed: " + result.error).c_str());
            return;
        }
        ours_fps.push_back(kH264Frames / (ProcessCpuSeconds() - start_cpu));
        ours_mb.push_back(static_cast<double>(std::filesystem::file_size(ours)) / 1e6);
        std::filesystem::remove(ours);

        const std::string theirs = archives.Out("ffmpeg.mp4");
        const std::string command = "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgr24 -s " +
                                    std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                                    " -r 15 -i - -threads 1 -c:v libx264 -preset veryfast '" + theirs + "'";
        const double children_before = ChildrenCpuSeconds();
        std::FILE* pipe = ::popen(command.c_str(), "w");
        if (pipe == nullptr) {
            state.SkipWithError("cannot start ffmpeg");
            return;
        }
        for (int32_t frame = 0; frame < kH264Frames; ++frame) {
            const std::vector<uint8_t>& pixels = decoded[frame % kDistinctPictures];
            std::fwrite(pixels.data(), 1, pixels.size(), pipe);
        }
        const int status = ::pclose(pipe);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        ffmpeg_fps.push_back(kH264Frames / (ChildrenCpuSeconds() - children_before));
        ffmpeg_mb.push_back(static_cast<double>(std::filesystem::file_size(theirs)) / 1e6);
        std::filesystem::remove(theirs);
    }
    state.counters["ours_fps_per_cpu_s"] = Median(ours_fps);
    state.counters["ffmpeg_fps_per_cpu_s"] = Median(ffmpeg_fps);
    state.counters["ours_MB"] = Median(ours_mb);
    state.counters["ffmpeg_MB"] = Median(ffmpeg_mb);
    state.SetLabel("load " + load_before + " -> " + LoadAverages());
}

}  // namespace

BENCHMARK(BM_CopyExportAgainstReading)->UseManualTime()->Iterations(kRounds)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_H264FramesPerCpuSecond)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

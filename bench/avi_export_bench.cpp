// Converting a 1920x1080 archive of 200 camera-like frames into an AVI, against decoding the
// same 200 frames with the same reader, measured side by side in every round.
// Goal: ratio = convert_s / decode_s <= 1.3.
// Every figure is the median over the rounds; the rounds interleave the measurements (and swap
// the order of decoding and converting every other round), so a burst of load from elsewhere
// spoils one round rather than one measurement. ratio is the median of the rounds' own ratios.
// Also shown: codec_only_s, the JPEG decoding alone from memory, and write_only_s, the writer
// putting the same 1.24 GB into a file with no decoding at all: the conversion cannot take less
// than the larger of decode_s and write_only_s, since it decodes and writes on two threads.
// decode_cpu_s and convert_cpu_s are the processor time used (all threads, user and system):
// unlike the elapsed times they hardly change with the load other programs put on the machine.
// The label names the folder written to (TMPDIR, else /tmp) with its file system type, and the
// load averages before and after the run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive_ui/core/avi_export.h"
#include "recording/frame_archive.h"
#include "recording/jpeg_codec.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kFrames = 200;

constexpr int kRounds = 7;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Processor time of the whole process (every thread, user and system) so far.
double ProcessCpuSeconds() {
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string FileSystemOf(const std::string& folder) {
    struct statfs status {};
    if (::statfs(folder.c_str(), &status) != 0) return "unknown file system";
    switch (static_cast<unsigned long>(status.f_type)) {
        case 0x01021994: return "tmpfs";
        case 0xEF53: return "ext2/3/4";
        case 0x58465342: return "xfs";
        case 0x9123683E: return "btrfs";
        case 0x794C7630: return "overlayfs";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "fs 0x%lx", static_cast<unsigned long>(status.f_type));
            return text;
        }
    }
}

std::string LoadAverages() {
    double load[3] = {};
    if (::getloadavg(load, 3) != 3) return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

// A smooth scene with a little sensor noise and an object crossing it.
class CameraScene {
public:
    CameraScene() : noise_(kWidth * kHeight * 3 + 4096) {
        std::minstd_rand random(7);
        for (auto& value : noise_) value = static_cast<int8_t>(static_cast<int>(random() % 7) - 3);
    }

    void Paint(BMP_File& picture, int32_t frame) const {
        picture.CreateForOverwrite(kWidth, kHeight);
        uint8_t* bits = picture.GetBits();
        const int32_t object_x = 40 + frame * 8;
        const int32_t object_y = 300 + frame;
        const int8_t* noise = noise_.data() + (frame * 997) % 4096;
        for (int32_t y = 0; y < kHeight; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                const size_t at = (static_cast<size_t>(y) * kWidth + x) * 3;
                const bool inside = x >= object_x && x < object_x + 160 && y >= object_y && y < object_y + 220;
                const int blue = inside ? 60 : 70 + x * 90 / kWidth;
                const int green = inside ? 70 : 90 + y * 80 / kHeight;
                const int red = inside ? 190 : 100 + (x + y) * 50 / (kWidth + kHeight);
                bits[at] = static_cast<uint8_t>(std::clamp(blue + noise[at], 0, 255));
                bits[at + 1] = static_cast<uint8_t>(std::clamp(green + noise[at + 1], 0, 255));
                bits[at + 2] = static_cast<uint8_t>(std::clamp(red + noise[at + 2], 0, 255));
            }
        }
    }

private:
    std::vector<int8_t> noise_;
};

// The archive, recorded once for the whole run in a temporary folder.
class BenchArchive {
public:
    BenchArchive() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cindral-avi-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        CFrameArchive recorder(folder_ + "/Storage/");
        recorder.SetFileCreatedCallback([this](const std::string& path) { archive_path_ = path; });
        const CameraScene scene;
        BMP_File picture;
        for (int32_t frame = 0; frame < kFrames; ++frame) {
            scene.Paint(picture, frame);
            if (!recorder.WriteFrame(picture)) throw std::runtime_error("recording failed: " + recorder.GetLastError());
        }
        recorder.CloseFile();
        // The stored JPEG streams, for a decode that reads nothing from the file.
        CFrameArchive reader;
        if (!reader.OpenFile(archive_path_)) throw std::runtime_error(reader.GetLastError());
        std::FILE* file = std::fopen(archive_path_.c_str(), "rb");
        for (int32_t frame = 0; frame < kFrames; ++frame) {
            reader.LocateFrame(frame);
            const cna_info_t& info = reader.GetFrameInfo(frame);
            std::vector<uint8_t> jpeg(info.data_length);
            std::fseek(file, static_cast<long>(info.data_position), SEEK_SET);
            if (std::fread(jpeg.data(), 1, jpeg.size(), file) != jpeg.size()) throw std::runtime_error("short read");
            jpeg_bytes_ += jpeg.size();
            jpegs_.push_back(std::move(jpeg));
        }
        std::fclose(file);
    }
    ~BenchArchive() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const std::string& Folder() const { return folder_; }
    const std::string& ArchivePath() const { return archive_path_; }
    std::string AviPath() const { return folder_ + "/bench.avi"; }
    const std::vector<std::vector<uint8_t>>& Jpegs() const { return jpegs_; }
    size_t JpegBytes() const { return jpeg_bytes_; }

private:
    std::string folder_;
    std::string archive_path_;
    std::vector<std::vector<uint8_t>> jpegs_;
    size_t jpeg_bytes_ = 0;
};

void BM_AviExportAgainstDecoding(benchmark::State& state) {
    const std::string load_before = LoadAverages();
    static const BenchArchive archive;
    const std::string avi_path = archive.AviPath();
    std::vector<double> decode_seconds, codec_seconds, convert_seconds, write_seconds, ratios;
    std::vector<double> decode_cpu_seconds, convert_cpu_seconds;

    // The reader as the playback panel uses it: locate, read and decode every frame.
    auto measure_decode = [&] {
        CFrameArchive reader;
        reader.OpenFile(archive.ArchivePath());
        const double start_cpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        for (int32_t frame = 0; frame < kFrames; ++frame) {
            reader.SeekFrame(frame);
            benchmark::DoNotOptimize(reader.GetFrameImage().GetBits());
        }
        decode_seconds.push_back(SecondsSince(start));
        decode_cpu_seconds.push_back(ProcessCpuSeconds() - start_cpu);
    };
    auto measure_convert = [&] {
        const double start_cpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        const AviExportResult result = ConvertArchiveToAvi(archive.ArchivePath(), avi_path);
        convert_seconds.push_back(SecondsSince(start));
        convert_cpu_seconds.push_back(ProcessCpuSeconds() - start_cpu);
        std::filesystem::remove(avi_path);
        if (!result.is_written || result.frames_written != kFrames) {
            state.SkipWithError(("conversion failed: " + result.error).c_str());
            return false;
        }
        return true;
    };

    for (auto _ : state) {
        const bool is_decode_first = decode_seconds.size() % 2 == 0;
        if (is_decode_first) measure_decode();
        if (!measure_convert()) break;
        if (!is_decode_first) measure_decode();
        state.SetIterationTime(convert_seconds.back());
        ratios.push_back(convert_seconds.back() / decode_seconds.back());
        // The JPEG decoding alone, from memory.
        {
            JpegCodec codec;
            BMP_File picture;
            const auto start = Clock::now();
            for (const auto& jpeg : archive.Jpegs()) {
                codec.DecodeJpeg(jpeg.data(), static_cast<uint32_t>(jpeg.size()), picture);
                benchmark::DoNotOptimize(picture.GetBits());
            }
            codec_seconds.push_back(SecondsSince(start));
        }
        // Writing alone: 200 frames laid out once, written by the same writer.
        {
            std::vector<uint8_t> sample(size_t{CAviWriter::PaddedRowBytes(kWidth)} * kHeight, 0x40);
            const auto start = Clock::now();
            CAviWriter writer;
            writer.Open(avi_path, kWidth, kHeight);
            for (int32_t frame = 0; frame < kFrames; ++frame) writer.WriteSample(sample.data());
            writer.Finish();
            write_seconds.push_back(SecondsSince(start));
            std::filesystem::remove(avi_path);
        }
    }
    if (ratios.empty()) return;
    state.counters["decode_s"] = Median(decode_seconds);
    state.counters["codec_only_s"] = Median(codec_seconds);
    state.counters["convert_s"] = Median(convert_seconds);
    state.counters["write_only_s"] = Median(write_seconds);
    state.counters["ratio"] = Median(ratios);
    state.counters["ratio_min"] = *std::min_element(ratios.begin(), ratios.end());
    state.counters["ratio_max"] = *std::max_element(ratios.begin(), ratios.end());
    // Processor time, both threads counted: what the conversion costs beyond decoding, whatever
    // share of the processors the rest of the machine leaves it.
    state.counters["decode_cpu_s"] = Median(decode_cpu_seconds);
    state.counters["convert_cpu_s"] = Median(convert_cpu_seconds);
    state.counters["ratio_vs_codec"] = Median(convert_seconds) / Median(codec_seconds);
    state.counters["avi_MB"] = static_cast<double>(CAviWriter::PaddedRowBytes(kWidth)) * kHeight * kFrames / 1e6;
    state.counters["jpeg_MB"] = static_cast<double>(archive.JpegBytes()) / 1e6;
    state.SetLabel("target " + archive.Folder() + " (" + FileSystemOf(archive.Folder()) + "), load " + load_before +
                   " -> " + LoadAverages());
}

}  // namespace

BENCHMARK(BM_AviExportAgainstDecoding)
    ->UseManualTime()
    ->Iterations(kRounds)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

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

#include "archive_core/avi_export.h"
#include "bench_support.h"
#include "jpeg/jpeg_codec.h"
#include "recorder/frame_archive.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kFrames = 200;

constexpr int kRounds = 7;

// The archive, recorded once for the whole run in a temporary folder.
class BenchArchive {
public:
    BenchArchive() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cindral-avi-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        CFrameArchive recorder(folder_ + "/Storage/");
        recorder.SetFileCreatedCallback([this](const std::string& path) { archive_path_ = path; });
        const CameraScene scene(kWidth, kHeight);
        BMP_File picture;
        for (int32_t frame = 0; frame < kFrames; ++frame) {
            scene.Paint(picture, frame);
            if (!recorder.WriteFrame(picture)) throw std::runtime_error("recording failed: " + recorder.GetLastError());
        }
        recorder.CloseFile();
        // The stored JPEG streams, for a decode that reads nothing from the file.
        CArchiveReader reader;
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
        CArchiveReader reader;
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

BENCHMARK(BM_AviExportAgainstDecoding)->UseManualTime()->Iterations(kRounds)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

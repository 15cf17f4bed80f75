// Recording and playback costs of the archive:
//   append (encode + write) against the bare encode at 1920x1080, goal at most 1.1x;
//   SeekFrame to random frames against stepping in order on 2 000 frames, goal at most 1.3x;
//   the first jump to the last frame of a 1 GB archive (opening it and fetching that frame's
//   stored bytes) against reading the whole file, goal at most 0.05x for records the size of
//   1920x1080 camera frames; also shown for records a quarter of that size.
// Frames look like a camera's: smooth light, a little noise, an object that moves.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "jpeg/jpeg_codec.h"
#include "recorder/frame_archive.h"
#include "support/camera_scene.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSceneFrames = 8;
constexpr int kArchiveFrames = 2000;
constexpr int kSeeksPerRound = 200;

const std::vector<BMP_File>& SceneFrames(int width, int height) {
    static std::map<std::pair<int, int>, std::vector<BMP_File>> frames;
    auto& list = frames[{width, height}];
    if (list.empty()) {
        list.resize(kSceneFrames);
        for (int i = 0; i < kSceneFrames; ++i) PaintScene(list[i], width, height, i);
    }
    return list;
}

// CINDRAL_BENCH_DIR picks the file system the archives go to (the system's temporary folder by default).
std::string BenchFolder() {
    static std::string folder = [] {
        const char* chosen = std::getenv("CINDRAL_BENCH_DIR");
        const fs::path parent = chosen != nullptr && *chosen != '\0' ? fs::path(chosen) : fs::temp_directory_path();
        std::string pattern = (parent / "cindral-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern + "/";
    }();
    return folder;
}

void BM_Encode(benchmark::State& state) {
    const auto& frames = SceneFrames(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    JpegCodec codec;
    std::vector<uint8_t> buffer(CFrameArchive::kJpegBufferSize);
    size_t frame = 0;
    for (auto _ : state) {
        const uint32_t length =
            codec.EncodeJpeg(frames[frame++ % frames.size()], buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (length == 0) state.SkipWithError(codec.LastError().c_str());
        benchmark::DoNotOptimize(length);
        state.counters["jpeg_bytes"] = length;
    }
}

void BM_Append(benchmark::State& state) {
    const auto& frames = SceneFrames(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    CFrameArchive recorder(BenchFolder() + "append/Storage/");
    fs::create_directories(BenchFolder() + "append");
    size_t frame = 0;
    int64_t written = 0;
    for (auto _ : state) {
        if (!recorder.WriteFrame(frames[frame++ % frames.size()])) state.SkipWithError(recorder.GetLastError().c_str());
        // Keep the file a realistic size: a new one every 500 frames, as motion episodes do.
        if (++written % 500 == 0) {
            state.PauseTiming();
            const std::string finished = recorder.GetWritePath();
            recorder.CloseFile();
            fs::remove(finished);
            state.ResumeTiming();
        }
    }
    const std::string last = recorder.GetWritePath();
    recorder.CloseFile();
    fs::remove(last);
}

// 2 000 records of 640x480 camera frames, written the way the recorder lays them out.
const std::string& SeekArchive() {
    static std::string path = [] {
        const std::string file = BenchFolder() + "seek.CNA";
        std::vector<std::vector<uint8_t>> streams;
        JpegCodec codec;
        std::vector<uint8_t> buffer(CFrameArchive::kJpegBufferSize);
        BMP_File image;
        for (int i = 0; i < 40; ++i) {
            PaintScene(image, 640, 480, i);
            const uint32_t length = codec.EncodeJpeg(image, buffer.data(), static_cast<uint32_t>(buffer.size()));
            streams.emplace_back(buffer.begin(), buffer.begin() + length);
        }
        std::ofstream out(file, std::ios::binary);
        uint8_t bytes[12];
        archive_format::WriteU32(bytes, kArchiveFrames);
        archive_format::WriteU32(bytes + 4, 0x40E6A000);
        out.write(reinterpret_cast<const char*>(bytes), 8);
        for (int i = 0; i < kArchiveFrames; ++i) {
            const auto& stream = streams[i % streams.size()];
            archive_format::WriteDouble(bytes, 46000.0 + i / 864000.0);
            archive_format::WriteU32(bytes + 8, static_cast<uint32_t>(stream.size()));
            out.write(reinterpret_cast<const char*>(bytes), 12);
            out.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
        }
        archive_format::WriteDouble(bytes, 46000.5);
        archive_format::WriteU32(bytes + 8, archive_format::kEndMarker);
        out.write(reinterpret_cast<const char*>(bytes), 12);
        archive_format::WriteU32(bytes, kArchiveFrames);
        out.write(reinterpret_cast<const char*>(bytes), 4);
        return file;
    }();
    return path;
}

// Each round opens the file afresh and shows kSeeksPerRound frames: a run in order, or random jumps.
void SeekRounds(benchmark::State& state, bool is_random) {
    const std::string& path = SeekArchive();
    std::mt19937 random(7);
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<int32_t> frames(kSeeksPerRound);
        if (is_random) {
            for (int32_t& frame : frames) frame = std::uniform_int_distribution<int32_t>(0, kArchiveFrames - 1)(random);
        } else {
            const int32_t first = (round * kSeeksPerRound) % kArchiveFrames;
            std::iota(frames.begin(), frames.end(), first);
        }
        ++round;
        CArchiveReader reader;
        if (!reader.OpenFile(path)) state.SkipWithError("cannot open the archive");
        // Stepping needs the entry before its run located, as playback has it.
        if (!is_random && frames[0] > 0) reader.LocateFrame(frames[0] - 1);
        state.ResumeTiming();
        for (const int32_t frame : frames) {
            reader.SeekFrame(frame);
            if (!reader.IsFrameDecoded()) state.SkipWithError("frame not decoded");
        }
    }
    state.SetItemsProcessed(state.iterations() * kSeeksPerRound);
}

// A 1 GB archive of records averaging mean_bytes (sizes vary by a fifth either way), made sparse:
// each record holds its head, the start of a real JPEG stream with its tag, and its end marker;
// the bytes between are a hole. The reader walks heads, so what lies between costs it nothing,
// while reading the file reads every byte either way. Read once, so both measures find it cached.
const std::string& GigabyteArchive(int64_t mean_bytes) {
    static std::map<int64_t, std::string> paths;
    std::string& path = paths[mean_bytes];
    if (!path.empty()) return path;
    path = BenchFolder() + "gigabyte-" + std::to_string(mean_bytes) + ".CNA";
    BMP_File image;
    PaintScene(image, 320, 240, 0);
    JpegCodec codec;
    std::vector<uint8_t> stream(CFrameArchive::kJpegBufferSize);
    stream.resize(codec.EncodeJpeg(image, stream.data(), static_cast<uint32_t>(stream.size())));
    const int64_t total = int64_t{1} << 30;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::mt19937 random(3);
    int64_t position = archive_format::kHeaderSize;
    int32_t count = 0;
    uint8_t head[12];
    const uint8_t end_marker[2] = {0xFF, 0xD9};
    while (true) {
        const int64_t size = mean_bytes * std::uniform_int_distribution<int>(80, 120)(random) / 100;
        if (position + size + archive_format::kTrailerSize > total) break;
        archive_format::WriteDouble(head, 46000.0 + count / 864000.0);
        archive_format::WriteU32(head + 8, static_cast<uint32_t>(size - 12));
        if (::pwrite(fd, head, sizeof head, position) != static_cast<ssize_t>(sizeof head) ||
            ::pwrite(fd, stream.data(), 20, position + 12) != 20 ||
            ::pwrite(fd, end_marker, 2, position + size - 2) != 2) {
            std::abort();
        }
        position += size;
        ++count;
    }
    uint8_t trailer[16];
    archive_format::WriteDouble(trailer, 46001.0);
    archive_format::WriteU32(trailer + 8, archive_format::kEndMarker);
    archive_format::WriteU32(trailer + 12, static_cast<uint32_t>(count));
    archive_format::WriteU32(head, static_cast<uint32_t>(count));
    if (::pwrite(fd, trailer, sizeof trailer, position) != 16 || ::pwrite(fd, head, 4, 0) != 4) std::abort();
    ::close(fd);
    std::ifstream warm(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (warm.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {}
    return path;
}

void BM_ReadWholeArchive(benchmark::State& state) {
    const std::string& path = GigabyteArchive(state.range(0));
    std::vector<uint8_t> chunk(1 << 20);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int64_t bytes = 0;
        for (ssize_t got; (got = ::read(fd, chunk.data(), chunk.size())) > 0;) bytes += got;
        ::close(fd);
        benchmark::DoNotOptimize(bytes);
    }
}

void BM_FirstJumpToLastFrame(benchmark::State& state) {
    const std::string& path = GigabyteArchive(state.range(0));
    std::vector<uint8_t> jpeg;
    for (auto _ : state) {
        CArchiveReader reader;
        if (!reader.OpenFile(path) || !reader.ReadFrameJpeg(reader.GetFrameCount() - 1, jpeg)) {
            state.SkipWithError("the last frame was not found");
        }
        state.counters["records"] = reader.GetFrameCount();
    }
}

void BM_SeekInOrder(benchmark::State& state) { SeekRounds(state, false); }
void BM_SeekRandom(benchmark::State& state) { SeekRounds(state, true); }

// Repetitions, run interleaved (see main), and their medians keep a busy machine's noise out of the ratios.
BENCHMARK(BM_Encode)->Args({1920, 1080})->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(6);
BENCHMARK(BM_Append)->Args({1920, 1080})->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(6);
BENCHMARK(BM_SeekInOrder)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(6);
BENCHMARK(BM_SeekRandom)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(6);
// Mean record sizes: 1920x1080 camera frames (196 KB, the size of a real encode with sensor-like
// noise) and a quarter of that.
BENCHMARK(BM_ReadWholeArchive)->Arg(196000)->Arg(49000)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(6);
BENCHMARK(BM_FirstJumpToLastFrame)
    ->Arg(196000)
    ->Arg(49000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->Repetitions(6);

// Keeps every run's time per iteration so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool is_median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (is_median && !run.error_occurred) {
                const std::string key =
                    run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
                real_times_[key] = run.GetAdjustedRealTime();
                cpu_times_[key] = run.GetAdjustedCPUTime();
            }
        }
    }
    // Wall-clock ratio (what the goal is about) and the processor-time ratio beside it, which
    // tells the program's own work apart from waits on the disk and on other processes.
    void PrintRatio(const char* what, const std::string& numerator, const std::string& denominator, double goal) const {
        const double real = Ratio(real_times_, numerator, denominator);
        const double cpu = Ratio(cpu_times_, numerator, denominator);
        if (real <= 0 || cpu <= 0) return;
        std::printf("%-62s %.3fx wall clock (goal <= %.2fx: %s), %.3fx processor time\n", what, real, goal,
                    real <= goal ? "met" : "missed", cpu);
    }

private:
    static double Ratio(const std::map<std::string, double>& times, const std::string& numerator,
                        const std::string& denominator) {
        const auto top = times.find(numerator);
        const auto bottom = times.find(denominator);
        if (top == times.end() || bottom == times.end() || bottom->second <= 0) return 0;
        return top->second / bottom->second;
    }

    std::map<std::string, double> real_times_;
    std::map<std::string, double> cpu_times_;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    arguments.insert(arguments.begin() + 1, {interleave, aggregates});
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    reporter.PrintRatio("append / encode at 1920x1080:", "BM_Append/1920/1080", "BM_Encode/1920/1080", 1.1);
    reporter.PrintRatio("random SeekFrame / in-order SeekFrame (2000 frames):", "BM_SeekRandom", "BM_SeekInOrder", 1.3);
    reporter.PrintRatio("first jump to the last frame / read 1 GB (196 KB records):", "BM_FirstJumpToLastFrame/196000",
                        "BM_ReadWholeArchive/196000", 0.05);
    reporter.PrintRatio("first jump to the last frame / read 1 GB (49 KB records):", "BM_FirstJumpToLastFrame/49000",
                        "BM_ReadWholeArchive/49000", 0.05);
    std::error_code ignored;
    fs::remove_all(BenchFolder(), ignored);
    benchmark::Shutdown();
    return 0;
}

// Which way the recorder encodes a frame's planes: libjpeg's raw-data interface with row
// pointers into padded planes (what the workers use) against TurboJPEG's
// tjCompressFromYUVPlanes of the same planes (which copies a frame whose size is not a multiple
// of 16 and allocates its row tables on every call), at quality 75 on textured frames.
//
//   raw_encode_bench [--benchmark_repetitions=N ...]
// prints Google Benchmark's table and then, per frame size, raw-data time / TurboJPEG time.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "jpeg/raw_jpeg_encoder.h"
#include "recorder/encode_pool.h"

namespace {

struct FrameSize {
    int32_t width;
    int32_t height;
    std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
constexpr FrameSize kSizes[] = {{1920, 1080}, {3840, 2160}};

// Shading, fine stripes and sensor noise, like a textured camera picture.
EncodeJob MakeFrame(const FrameSize& size) {
    EncodeJob job;
    job.PreparePlanes(size.width, size.height);
    std::mt19937 random(5);
    for (int plane = 0; plane < 3; ++plane) {
        const int32_t width = plane == 0 ? size.width : (size.width + 1) / 2;
        const int32_t height = plane == 0 ? size.height : (size.height + 1) / 2;
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* row = job.planes.planes[plane] + static_cast<size_t>(y) * job.planes.strides[plane];
            for (int32_t x = 0; x < width; ++x) {
                const int value = 60 + (x + 2 * y) % 120 + ((x / 3 + y / 5) % 2) * 30 + static_cast<int>(random() % 17);
                row[x] = static_cast<uint8_t>(plane == 0 ? value : 128 + (value - 128) / 4);
            }
        }
    }
    FillRowPadding(job.planes);
    return job;
}

std::map<std::string, std::map<std::string, double>> g_seconds;  // size -> way -> best seconds a frame

void BM_RawData(benchmark::State& state) {
    const FrameSize size = kSizes[state.range(0)];
    EncodeJob frame = MakeFrame(size);
    RawJpegEncoder encoder;
    std::vector<uint8_t> out(1 << 20);
    for (auto _ : state) {
        const uint32_t bytes = encoder.Encode(frame.planes, 75, out);
        if (bytes == 0) state.SkipWithError(encoder.LastError().c_str());
        benchmark::DoNotOptimize(bytes);
    }
    state.SetLabel(size.Name());
}

void BM_TurboJpeg(benchmark::State& state) {
    const FrameSize size = kSizes[state.range(0)];
    EncodeJob frame = MakeFrame(size);
    tjhandle compressor = tjInitCompress();
    std::vector<unsigned char> out(tjBufSize(size.width, size.height, TJSAMP_420));
    const unsigned char* planes[3] = {frame.planes.planes[0], frame.planes.planes[1], frame.planes.planes[2]};
    for (auto _ : state) {
        unsigned char* target = out.data();
        unsigned long bytes = out.size();
        if (tjCompressFromYUVPlanes(compressor, planes, size.width, frame.planes.strides, size.height, TJSAMP_420,
                                    &target, &bytes, 75, TJFLAG_NOREALLOC) != 0) {
            state.SkipWithError(tjGetErrorStr2(compressor));
        }
        benchmark::DoNotOptimize(bytes);
    }
    tjDestroy(compressor);
    state.SetLabel(size.Name());
}

BENCHMARK(BM_RawData)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_TurboJpeg)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// Keeps the fastest CPU time of each case, to print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const std::string name = run.benchmark_name();
            const std::string way = name.rfind("BM_RawData", 0) == 0 ? "raw" : "turbojpeg";
            const double seconds = run.GetAdjustedCPUTime();
            double& best = g_seconds[run.report_label][way];
            if (best == 0 || seconds < best) best = seconds;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& [size, ways] : g_seconds) {
        const auto raw = ways.find("raw");
        const auto turbo = ways.find("turbojpeg");
        if (raw == ways.end() || turbo == ways.end()) continue;
        std::printf("%s: raw-data %.2f ms, TurboJPEG %.2f ms a frame: ratio %.3f\n", size.c_str(), raw->second,
                    turbo->second, raw->second / turbo->second);
    }
    benchmark::Shutdown();
    return 0;
}

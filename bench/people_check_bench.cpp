// The processor time of one people check of a 640x360 region that moved in a 1920x1080 frame,
// scaled as the check scales it (to 240 pixels tall).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "detection/people_check.h"

namespace {

// Lightness with edges at every scale, as leaves and a street give: the detector's work does
// not depend on what it finds, only on how many windows it looks at.
std::vector<uint8_t> TexturedLightness(int32_t width, int32_t height) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height);
    std::mt19937 random(7);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int value = ((x / 16 + y / 24) % 2) * 120 + static_cast<int>(random() % 60);
            pixels[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(value);
        }
    }
    return pixels;
}

void BM_PeopleCheck640x360(benchmark::State& state) {
    constexpr int32_t kWidth = 1920;
    constexpr int32_t kHeight = 1080;
    const std::vector<uint8_t> frame = TexturedLightness(kWidth, kHeight);
    CPeopleDetector detector;
    if (!detector.IsReady()) state.SkipWithError(detector.Error().c_str());
    const PixelRect region{640, 360, 640, 360};
    for (auto _ : state) {
        benchmark::DoNotOptimize(detector.Find(frame.data(), kWidth, kHeight, kWidth, region));
    }
}
BENCHMARK(BM_PeopleCheck640x360)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();

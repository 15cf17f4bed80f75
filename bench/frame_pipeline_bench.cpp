// Cost of the live frame pipeline (conversion, detector, marks; recorder and view discarded)
// beside the cost of the JPEG encode that every recorded frame needs anyway: on 32-bit frames
// against an encode from packed blue-green-red, on I420 camera frames against an encode from
// their planes (with and without TurboJPEG's fast DCT).
//
//   frame_pipeline_bench [--benchmark_repetitions=N ...]
// prints Google Benchmark's table and then, per frame size, ProcessFrame time / encode time.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "recorder/frame_pipeline.h"

namespace {

struct FrameSize {
    int32_t width;
    int32_t height;
    std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
constexpr FrameSize kSizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};
constexpr int kFramesPerSequence = 8;

// What a camera sees: smooth shading, a little sensor noise and one object crossing the picture.
// Frames are 32-bit, blue-green-red-unused, top row first, as the capture graph delivers them.
std::vector<std::vector<uint8_t>> MakeCameraFrames(const FrameSize& size) {
    // The shading is a sum of separable waves, tabulated once per row and column.
    std::vector<double> column_blue(size.width), column_sin(size.width), column_cos(size.width);
    std::vector<double> row_blue(size.height), row_sin(size.height), row_cos(size.height);
    for (int32_t x = 0; x < size.width; ++x) {
        column_blue[x] = 50 * std::sin(x / 151.0);
        column_sin[x] = std::sin(x / 211.0);
        column_cos[x] = std::cos(x / 211.0);
    }
    for (int32_t y = 0; y < size.height; ++y) {
        row_blue[y] = 30 * std::cos(y / 97.0);
        row_sin[y] = std::sin(y / 173.0);
        row_cos[y] = std::cos(y / 173.0);
    }
    std::mt19937 random(1234);
    std::vector<std::vector<uint8_t>> frames;
    const double radius = size.height / 8.0;
    for (int f = 0; f < kFramesPerSequence; ++f) {
        std::vector<uint8_t> frame(static_cast<size_t>(size.width) * size.height * 4);
        const double object_x = size.width * (0.2 + 0.6 * f / kFramesPerSequence);
        const double object_y = size.height * 0.5;
        for (int32_t y = 0; y < size.height; ++y) {
            uint8_t* row = frame.data() + static_cast<size_t>(y) * size.width * 4;
            for (int32_t x = 0; x < size.width; ++x) {
                double blue = 90 + column_blue[x] + row_blue[y];
                double green = 110 + 40 * column_sin[x] * row_cos[y];
                double red = 120 + 60 * (column_cos[x] * row_cos[y] + column_sin[x] * row_sin[y]);
                const double dx = x - object_x;
                const double dy = y - object_y;
                if (dx * dx + dy * dy < radius * radius) {
                    blue = 40;
                    green = 160;
                    red = 220;
                }
                const uint32_t noise = static_cast<uint32_t>(random());  // -2..2 per channel
                uint8_t* pixel = row + static_cast<size_t>(x) * 4;
                pixel[0] = static_cast<uint8_t>(std::clamp(blue + static_cast<int>(noise % 5) - 2, 0.0, 255.0));
                pixel[1] = static_cast<uint8_t>(std::clamp(green + static_cast<int>((noise >> 8) % 5) - 2, 0.0, 255.0));
                pixel[2] = static_cast<uint8_t>(std::clamp(red + static_cast<int>((noise >> 16) % 5) - 2, 0.0, 255.0));
                pixel[3] = 0xFF;
            }
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

using Frames = std::vector<std::vector<uint8_t>>;
using FrameMaker = Frames (*)(const FrameSize&);

// Made once per size, so that every benchmark of a size sees the very same frames.
const Frames& Memoized(const FrameSize& size, FrameMaker make) {
    static std::map<std::pair<std::string, FrameMaker>, Frames> made;
    auto it = made.find({size.Name(), make});
    if (it == made.end()) it = made.emplace(std::make_pair(size.Name(), make), make(size)).first;
    return it->second;
}

const Frames& CameraFrames(const FrameSize& size) { return Memoized(size, MakeCameraFrames); }

// The same scenes as a camera sends them in I420 (BT.601, limited range): Y plane, then U and V
// at half width and height, each sample the mean of the four pixels it stands for.
std::vector<std::vector<uint8_t>> MakeI420Frames(const FrameSize& size) {
    std::vector<std::vector<uint8_t>> frames;
    const int32_t chroma_width = (size.width + 1) / 2;
    const int32_t chroma_height = (size.height + 1) / 2;
    const size_t luma_bytes = static_cast<size_t>(size.width) * size.height;
    const size_t chroma_bytes = static_cast<size_t>(chroma_width) * chroma_height;
    for (const auto& bgrx : CameraFrames(size)) {
        std::vector<uint8_t> frame(luma_bytes + 2 * chroma_bytes);
        std::vector<double> u(chroma_bytes), v(chroma_bytes), count(chroma_bytes);
        for (int32_t y = 0; y < size.height; ++y) {
            for (int32_t x = 0; x < size.width; ++x) {
                const uint8_t* p = bgrx.data() + (static_cast<size_t>(y) * size.width + x) * 4;
                const double b = p[0], g = p[1], r = p[2];
                frame[static_cast<size_t>(y) * size.width + x] =
                    static_cast<uint8_t>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255));
                const size_t c = static_cast<size_t>(y / 2) * chroma_width + x / 2;
                u[c] += 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255;
                v[c] += 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255;
                count[c] += 1;
            }
        }
        for (size_t c = 0; c < chroma_bytes; ++c) {
            frame[luma_bytes + c] = static_cast<uint8_t>(std::lround(u[c] / count[c]));
            frame[luma_bytes + chroma_bytes + c] = static_cast<uint8_t>(std::lround(v[c] / count[c]));
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

const Frames& I420Frames(const FrameSize& size) { return Memoized(size, MakeI420Frames); }

class DiscardingRecorder : public IFrameRecorder {
public:
    explicit DiscardingRecorder(bool takes_planes = false, bool takes_camera_frames = false)
        : takes_planes_(takes_planes), takes_camera_frames_(takes_camera_frames) {}
    bool WriteFrame(const BMP_File& frame) override {
        benchmark::DoNotOptimize(frame.GetBits());
        ++written_frames;
        return true;
    }
    bool WriteCleanFrame(const CleanFrame& frame) override {
        if (frame.camera != nullptr) {
            benchmark::DoNotOptimize(frame.camera->planes[0]);
            ++written_frames;
            return true;
        }
        if (frame.planes == nullptr) return IFrameRecorder::WriteCleanFrame(frame);
        benchmark::DoNotOptimize(frame.planes->planes[0]);
        ++written_frames;
        return true;
    }
    bool TakesPlanes() const override { return takes_planes_; }
    bool TakesCameraFrames() const override { return takes_camera_frames_; }
    bool CloseFile() override { return true; }
    int64_t written_frames = 0;

private:
    bool takes_planes_;
    bool takes_camera_frames_;
};

// A view that is always seen: every frame's 32-bit picture is made, then let go.
class DiscardingPresenter : public IFramePresenter {
public:
    bool IsShowingLive() const override { return true; }
    ViewPicture& LivePictureToFill() override { return picture_; }
    void PresentLivePicture() override { benchmark::DoNotOptimize(picture_.Bits()); }

private:
    ViewPicture picture_;
};

// Frames of size top row first, the detector shown or not, marks in red.
void SetUp(CindralSettings& settings, FrameSize size, int32_t saving_mode, bool is_detector_shown) {
    settings.frame_width = size.width;
    settings.frame_height = -size.height;
    settings.saving_mode = saving_mode;
    settings.show_detector = is_detector_shown ? 1 : 0;
    settings.threshold = 20;
    settings.detector_colour = 0xF800;
}

void RunProcessFrame(benchmark::State& state, FrameSize size) {
    const auto& frames = CameraFrames(size);
    CindralSettings settings;
    SetUp(settings, size, kSavingMotionDetector, true);
    DiscardingRecorder recorder;
    DiscardingPresenter presenter;
    CFramePipeline pipeline(settings, recorder, &presenter);
    pipeline.AttachSettings(true);
    size_t next = 0;
    for (auto _ : state) {
        const auto& frame = frames[next];
        pipeline.ProcessFrame(frame.data(), frame.size());
        next = (next + 1) % frames.size();
    }
    state.counters["recorded"] = static_cast<double>(recorder.written_frames) / static_cast<double>(state.iterations());
}

// I420 camera frames with the detector shown and nothing recorded: the whole pass to the picture,
// the block sums and the view's picture; without the detector, the view's picture alone.
void RunProcessI420(benchmark::State& state, FrameSize size, bool is_detector_shown) {
    const auto& frames = I420Frames(size);
    CindralSettings settings;
    SetUp(settings, size, kSavingOff, is_detector_shown);
    DiscardingRecorder recorder;
    DiscardingPresenter presenter;
    CFramePipeline pipeline(settings, recorder, &presenter);
    pipeline.AttachSettings(true);
    size_t next = 0;
    for (auto _ : state) {
        pipeline.ProcessFrame(I420Frame(size.width, size.height, frames[next]));
        next = (next + 1) % frames.size();
    }
}

// I420 camera frames recorded ("Always") by a recorder that takes planes, nothing shown: the pass
// makes only JPEG's planes.
void RunRecordI420(benchmark::State& state, FrameSize size) {
    const auto& frames = I420Frames(size);
    CindralSettings settings;
    SetUp(settings, size, kSavingAlways, false);
    DiscardingRecorder recorder(true);
    CFramePipeline pipeline(settings, recorder, nullptr);
    pipeline.AttachSettings(true);
    size_t next = 0;
    for (auto _ : state) {
        pipeline.ProcessFrame(I420Frame(size.width, size.height, frames[next]));
        next = (next + 1) % frames.size();
    }
    state.counters["recorded"] = static_cast<double>(recorder.written_frames) / static_cast<double>(state.iterations());
}

// I420 camera frames under "Motion Detector" as the command line records them: nothing shown,
// every frame kept for the encoders (here let go of at once, nothing encoded). The pass makes
// only the block means; then the comparison and the motion rules: the detector alone.
void RunDetectI420(benchmark::State& state, FrameSize size) {
    struct LettingGo : ICameraFrameKeeper {
        void* Keep(CameraFrame&) override { return this; }
        void LetGo(void*) override {}
    } keeper;
    const auto& frames = I420Frames(size);
    CindralSettings settings;
    SetUp(settings, size, kSavingMotionDetector, false);
    DiscardingRecorder recorder(true, true);
    CFramePipeline pipeline(settings, recorder, nullptr);
    pipeline.AttachSettings(true);
    size_t next = 0;
    for (auto _ : state) {
        CameraFrame frame = I420Frame(size.width, size.height, frames[next]);
        frame.keeper = &keeper;
        pipeline.ProcessFrame(frame);
        next = (next + 1) % frames.size();
    }
    state.counters["recorded"] = static_cast<double>(recorder.written_frames) / static_cast<double>(state.iterations());
}

struct TurboJpegHandle {
    tjhandle handle = tjInitCompress();
    ~TurboJpegHandle() {
        if (handle != nullptr) tjDestroy(handle);
    }
};

void RunEncode(benchmark::State& state, FrameSize size) {
    // The encoder gets what the recorder gets: packed blue-green-red rows, top row first.
    std::vector<std::vector<uint8_t>> pictures;
    for (const auto& frame : CameraFrames(size)) {
        std::vector<uint8_t> picture(static_cast<size_t>(size.width) * size.height * 3);
        for (int32_t y = 0; y < size.height; ++y) {
            const uint8_t* in = frame.data() + static_cast<size_t>(size.height - 1 - y) * size.width * 4;
            uint8_t* out = picture.data() + static_cast<size_t>(y) * size.width * 3;
            for (int32_t x = 0; x < size.width; ++x) {
                out[3 * x] = in[4 * x];
                out[3 * x + 1] = in[4 * x + 1];
                out[3 * x + 2] = in[4 * x + 2];
            }
        }
        pictures.push_back(std::move(picture));
    }
    TurboJpegHandle compressor;
    if (compressor.handle == nullptr) {
        state.SkipWithError("tjInitCompress failed");
        return;
    }
    std::vector<unsigned char> jpeg(tjBufSize(size.width, size.height, TJSAMP_420));
    size_t next = 0;
    double total_bytes = 0;
    for (auto _ : state) {
        unsigned char* target = jpeg.data();
        unsigned long jpeg_size = jpeg.size();
        if (tjCompress2(compressor.handle, pictures[next].data(), size.width, 0, size.height, TJPF_BGR, &target,
                        &jpeg_size, TJSAMP_420, 75, TJFLAG_NOREALLOC) != 0) {
            state.SkipWithError(tjGetErrorStr2(compressor.handle));
            return;
        }
        total_bytes += static_cast<double>(jpeg_size);
        next = (next + 1) % pictures.size();
    }
    state.counters["jpeg_kB"] = total_bytes / 1024.0 / static_cast<double>(state.iterations());
}

// The bare encode of the I420 frames from their planes, as the recorder compresses camera YUV.
void RunEncodeYuv(benchmark::State& state, FrameSize size, int flags) {
    const auto& frames = I420Frames(size);
    TurboJpegHandle compressor;
    if (compressor.handle == nullptr) {
        state.SkipWithError("tjInitCompress failed");
        return;
    }
    std::vector<unsigned char> jpeg(tjBufSize(size.width, size.height, TJSAMP_420));
    size_t next = 0;
    double total_bytes = 0;
    for (auto _ : state) {
        const CameraFrame frame = I420Frame(size.width, size.height, frames[next]);
        const unsigned char* planes[3] = {frame.planes[0], frame.planes[1], frame.planes[2]};
        unsigned char* target = jpeg.data();
        unsigned long jpeg_size = jpeg.size();
        if (tjCompressFromYUVPlanes(compressor.handle, planes, size.width, frame.strides, size.height, TJSAMP_420,
                                    &target, &jpeg_size, 75, TJFLAG_NOREALLOC | flags) != 0) {
            state.SkipWithError(tjGetErrorStr2(compressor.handle));
            return;
        }
        total_bytes += static_cast<double>(jpeg_size);
        next = (next + 1) % frames.size();
    }
    state.counters["jpeg_kB"] = total_bytes / 1024.0 / static_cast<double>(state.iterations());
}

// Console output as usual, and the CPU time of every run kept for the ratios: on a busy machine
// the thread's CPU time is steadier than the wall clock, and both sides run on one thread.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            // With repetitions the median stands for the benchmark; otherwise its one run does.
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times_[name] = run.GetAdjustedCPUTime();
                medians_[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !medians_[name]) {
                times_[name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::map<std::string, double>& Times() const { return times_; }

private:
    std::map<std::string, double> times_;
    std::map<std::string, bool> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const FrameSize& size : kSizes) {
        benchmark::RegisterBenchmark(("ProcessFrame/" + size.Name()).c_str(), RunProcessFrame, size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("TurboJpegEncode/" + size.Name()).c_str(), RunEncode, size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("ProcessFrameI420/" + size.Name()).c_str(), RunProcessI420, size, true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("ShowI420/" + size.Name()).c_str(), RunProcessI420, size, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("RecordI420Planes/" + size.Name()).c_str(), RunRecordI420, size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("DetectI420/" + size.Name()).c_str(), RunDetectI420, size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("TurboJpegEncodeYuv/" + size.Name()).c_str(), RunEncodeYuv, size, 0)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("TurboJpegEncodeYuvFastDct/" + size.Name()).c_str(), RunEncodeYuv, size,
                                     TJFLAG_FASTDCT)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto print_ratios = [&reporter](const char* title, const std::string& ours, const std::string& reference) {
        std::printf("\n%s:\n", title);
        for (const FrameSize& size : kSizes) {
            const auto& times = reporter.Times();
            const auto mine = times.find(ours + "/" + size.Name());
            const auto theirs = times.find(reference + "/" + size.Name());
            if (mine == times.end() || theirs == times.end() || theirs->second <= 0) continue;
            std::printf("  %-10s %8.3f ms / %8.3f ms CPU = %.2f\n", size.Name().c_str(), mine->second, theirs->second,
                        mine->second / theirs->second);
        }
    };
    print_ratios(
        "ProcessFrame on BGRx (Motion Detector, detector shown, recorder discarded, shown) / TurboJPEG encode q75 "
        "4:2:0 from BGR",
        "ProcessFrame", "TurboJpegEncode");
    print_ratios("ProcessFrame on I420 (detector shown, nothing recorded) / TurboJPEG encode q75 4:2:0 from the planes",
                 "ProcessFrameI420", "TurboJpegEncodeYuv");
    print_ratios("ProcessFrame on I420 only shown (saving Off, no detector: the view's picture) / the same encode",
                 "ShowI420", "TurboJpegEncodeYuv");
    print_ratios("ProcessFrame on I420 recorded from its planes (nothing shown, recorder discarded) / the same encode",
                 "RecordI420Planes", "TurboJpegEncodeYuv");
    print_ratios(
        "The detector alone on I420 (Motion Detector, frames kept for the encoders, nothing encoded) / the same encode",
        "DetectI420", "TurboJpegEncodeYuv");
    print_ratios("TurboJPEG encode from the planes with the fast DCT / with the accurate one",
                 "TurboJpegEncodeYuvFastDct", "TurboJpegEncodeYuv");
    return 0;
}

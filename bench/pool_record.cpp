// The recorder's own cost, with the camera left out: the frames of a raw I420 clip are read into
// memory first, then recorded ("Always") through the frame pass, the encoders and the writer as
// fast as they go; beside it the bare single-threaded tjCompressFromYUVPlanes (quality 75) of the
// same frames. encode_bench.sh runs it after the whole-process runs, whose figures also hold
// what reading the clip costs.
//
//   pool_record WIDTH HEIGHT FILE FRAMES WORKERS...
// prints, per count of workers, the wall and processor time per frame of the recording against
// the bare encode's, best of two runs each: with the frames kept for the encoders, which convert
// them as they encode (as the camera's frames are), and, with the last count, with the planes made
// on the producing thread instead (what a frame that cannot be kept costs).
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "recorder/frame_archive.h"
#include "recorder/frame_pipeline.h"
#include "settings/settings.h"

namespace {

struct Cost {
    double wall_ms = 0;
    double cpu_ms = 0;
};

// Frames in memory stay valid: keeping one only counts it.
class InMemoryKeeper : public ICameraFrameKeeper {
public:
    void* Keep(CameraFrame&) override {
        kept_.fetch_add(1);
        return this;
    }
    void LetGo(void*) override { kept_.fetch_sub(1); }
    int Kept() const { return kept_.load(); }

private:
    std::atomic<int> kept_{0};
};

double ProcessCpuMs() { return ProcessCpuSeconds() * 1e3; }

double WallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Per frame, wall and processor time of the bare encode (one thread).
Cost BareEncode(int width, int height, const std::vector<std::vector<uint8_t>>& frames) {
    tjhandle compressor = tjInitCompress();
    if (compressor == nullptr) {
        std::fprintf(stderr, "pool_record: tjInitCompress: %s\n", tjGetErrorStr2(nullptr));
        std::exit(1);
    }
    std::vector<unsigned char> jpeg(tjBufSize(width, height, TJSAMP_420));
    const int strides[3] = {width, (width + 1) / 2, (width + 1) / 2};
    const double wall_started = WallMs();
    const double cpu_started = ProcessCpuMs();
    for (const auto& bytes : frames) {
        const CameraFrame frame = I420Frame(width, height, bytes);
        const unsigned char* planes[3] = {frame.planes[0], frame.planes[1], frame.planes[2]};
        unsigned char* target = jpeg.data();
        unsigned long size = jpeg.size();
        if (tjCompressFromYUVPlanes(compressor, planes, width, strides, height, TJSAMP_420, &target, &size, 75,
                                    TJFLAG_NOREALLOC) != 0) {
            std::fprintf(stderr, "pool_record: tjCompressFromYUVPlanes: %s\n", tjGetErrorStr2(compressor));
            std::exit(1);
        }
    }
    const Cost cost{(WallMs() - wall_started) / frames.size(), (ProcessCpuMs() - cpu_started) / frames.size()};
    tjDestroy(compressor);
    return cost;
}

// Per frame, wall and processor time of recording every frame with workers encoders.
Cost Record(int width, int height, const std::vector<std::vector<uint8_t>>& frames, int workers, bool is_kept,
            const std::filesystem::path& folder) {
    std::filesystem::remove_all(folder);
    CindralSettings settings;
    settings.frame_width = width;
    settings.frame_height = -height;
    settings.saving_mode = kSavingAlways;
    CFrameArchive archive(folder.string() + "/");
    archive.SetEncodeWorkers(workers);
    archive.SetWaitsForEncoders(true);
    CFramePipeline pipeline(settings, archive, nullptr);
    pipeline.AttachSettings(true);
    const double wall_started = WallMs();
    const double cpu_started = ProcessCpuMs();
    InMemoryKeeper keeper;
    for (const auto& bytes : frames) {
        CameraFrame frame = I420Frame(width, height, bytes);
        if (is_kept) frame.keeper = &keeper;
        pipeline.ProcessFrame(frame);
    }
    archive.CloseFile();
    archive.WaitForWrites();
    if (keeper.Kept() != 0) {
        std::fprintf(stderr, "pool_record: %d frames still kept after the last was written\n", keeper.Kept());
        std::exit(1);
    }
    const Cost cost{(WallMs() - wall_started) / frames.size(), (ProcessCpuMs() - cpu_started) / frames.size()};
    const CFrameArchive::EncodeCounts counts = archive.GetEncodeCounts();
    if (counts.frames != static_cast<int64_t>(frames.size()) || counts.dropped != 0) {
        std::fprintf(stderr, "pool_record: %lld of %zu frames encoded, %lld dropped\n",
                     static_cast<long long>(counts.frames), frames.size(), static_cast<long long>(counts.dropped));
        std::exit(1);
    }
    return cost;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: pool_record WIDTH HEIGHT FILE FRAMES WORKERS...\n");
        return 2;
    }
    const int width = std::atoi(argv[1]);
    const int height = std::atoi(argv[2]);
    const int frame_count = std::atoi(argv[4]);
    if (width <= 0 || height <= 0 || frame_count <= 0) {
        std::fprintf(stderr, "pool_record: bad size or frame count\n");
        return 2;
    }
    const size_t frame_bytes = static_cast<size_t>(width) * height + 2 * size_t((width + 1) / 2) * ((height + 1) / 2);
    std::ifstream clip(argv[3], std::ios::binary);
    std::vector<std::vector<uint8_t>> frames;
    while (static_cast<int>(frames.size()) < frame_count) {
        std::vector<uint8_t> frame(frame_bytes);
        if (!clip.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame_bytes))) break;
        frames.push_back(std::move(frame));
    }
    if (frames.empty()) {
        std::fprintf(stderr, "pool_record: no frames in %s\n", argv[3]);
        return 1;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path folder =
        std::filesystem::path(tmp != nullptr ? tmp : "/tmp") / ("pool_record." + std::to_string(getpid()));
    Cost bare{1e30, 1e30};
    for (int run = 0; run < 2; ++run) {
        const Cost cost = BareEncode(width, height, frames);
        bare.wall_ms = std::min(bare.wall_ms, cost.wall_ms);
        bare.cpu_ms = std::min(bare.cpu_ms, cost.cpu_ms);
    }
    std::printf("%dx%d, %zu frames in memory: bare encode %.2f ms a frame (processor %.2f)\n", width, height,
                frames.size(), bare.wall_ms, bare.cpu_ms);
    for (int arg = 5; arg < argc; ++arg) {
        const int workers = std::atoi(argv[arg]);
        for (const bool is_kept : {true, false}) {
            if (!is_kept && arg != argc - 1) continue;
            Cost best{1e30, 1e30};
            for (int run = 0; run < 2; ++run) {
                const Cost cost = Record(width, height, frames, workers, is_kept, folder);
                best.wall_ms = std::min(best.wall_ms, cost.wall_ms);
                best.cpu_ms = std::min(best.cpu_ms, cost.cpu_ms);
            }
            std::printf(
                "%dx%d recorded by %d worker(s), %s: wall %.2f ms a frame, ratio %.2f; processor %.2f ms a frame, "
                "ratio %.2f\n",
                width, height, workers, is_kept ? "frames kept for the encoders" : "planes made on the producer",
                best.wall_ms, best.wall_ms / bare.wall_ms, best.cpu_ms, best.cpu_ms / bare.cpu_ms);
        }
    }
    std::filesystem::remove_all(folder);
    return 0;
}

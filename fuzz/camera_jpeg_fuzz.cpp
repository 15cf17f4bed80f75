// A camera's JPEG on its way into the archive: reading its segments, fitting it to the archive's
// rules, and the recorder storing it. A fitted stream must read back as the archive needs it and
// be stored byte for byte.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/memory_file.h"
#include "jpeg/jpeg_codec.h"
#include "jpeg/jpeg_stream.h"
#include "recorder/frame_archive.h"

namespace {

constexpr int32_t kOtherWidth = 32;
constexpr int32_t kOtherHeight = 24;

// The recorder's folder, below the temporary folder, made once for the whole run; each stored
// frame starts a file of its own there, removed once it has been read back.
std::string StorageFolder() {
    std::error_code error;
    const char* temporary = std::getenv("TMPDIR");
    std::filesystem::path folder = std::filesystem::path(temporary && *temporary ? temporary : "/tmp") /
                                   ("cindral-camera-jpeg-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder, error);
    FUZZ_CHECK(!error);
    return folder.string() + "/";
}

void StoreAndReadBack(const uint8_t* data, uint32_t size, int32_t width, int32_t height,
                      const std::vector<uint8_t>& fitted) {
    static CFrameArchive recorder(StorageFolder());
    // The disk is not what is tested: no flushes.
    static const bool is_sync_off = [] {
        recorder.SetFileSync(FileSync{[](int) { return true; }, [](const std::string&) { return true; }});
        return true;
    }();
    FUZZ_CHECK(is_sync_off);
    const bool is_taken = recorder.TakesCameraJpeg(data, size, width, height);
    // Pictures larger than the readers take are never recorded, however well they fit.
    const bool is_readable_size = width <= JpegCodec::kMaxDecodeDimension && height <= JpegCodec::kMaxDecodeDimension;
    FUZZ_CHECK(is_taken == (!fitted.empty() && is_readable_size));
    if (!is_taken) return;

    CleanFrame frame;
    frame.width = width;
    frame.height = height;
    frame.camera_jpeg = data;
    frame.camera_jpeg_size = size;
    FUZZ_CHECK(recorder.WriteCleanFrame(frame));
    const std::string path = recorder.GetWritePath();
    FUZZ_CHECK(recorder.CloseFile());
    recorder.WaitForFlushes();

    CArchiveReader reader;
    std::vector<uint8_t> stored;
    FUZZ_CHECK(reader.OpenFile(path) && reader.GetFrameCount() == 1);
    FUZZ_CHECK(reader.ReadFrameJpeg(0, stored) && stored == fitted);
    std::filesystem::remove(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > CFrameArchive::kJpegBufferSize * 2) return 0;
    const auto length = static_cast<uint32_t>(size);
    const std::optional<JpegStreamInfo> info = ReadJpegStream(data, length);
    if (info) FUZZ_CHECK(info->scan_offset < length && info->end <= length);

    // At the size the stream states, and at another the camera might have been asked for.
    const int32_t widths[] = {info ? info->width : kOtherWidth, kOtherWidth};
    const int32_t heights[] = {info ? info->height : kOtherHeight, kOtherHeight};
    for (int i = 0; i < 2; ++i) {
        const uint32_t expected = info ? FittedCameraJpegSize(*info, widths[i], heights[i]) : 0;
        static std::vector<uint8_t> out(CFrameArchive::kJpegBufferSize);
        const uint32_t fitted_size =
            FitCameraJpeg(data, length, widths[i], heights[i], out.data(), static_cast<uint32_t>(out.size()));
        FUZZ_CHECK(fitted_size == (expected <= out.size() ? expected : 0));
        const std::vector<uint8_t> fitted(out.begin(), out.begin() + fitted_size);
        if (fitted_size != 0) {
            // What the archive keeps: a whole baseline 4:2:0 stream with its tables, ending at its EOI.
            const std::optional<JpegStreamInfo> kept = ReadJpegStream(fitted.data(), fitted_size);
            FUZZ_CHECK(kept && kept->width == widths[i] && kept->height == heights[i]);
            FUZZ_CHECK(kept->is_baseline && kept->is_four_two_zero && kept->has_huffman_tables);
            FUZZ_CHECK(kept->end == fitted_size);
            // Fitting what was fitted changes nothing.
            std::vector<uint8_t> refitted(fitted_size);
            FUZZ_CHECK(FitCameraJpeg(fitted.data(), fitted_size, widths[i], heights[i], refitted.data(), fitted_size) ==
                           fitted_size &&
                       refitted == fitted);
        }
        StoreAndReadBack(data, length, widths[i], heights[i], fitted);
    }
    return 0;
}

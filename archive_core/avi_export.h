#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive_core/avi_writer.h"
#include "picture/packed_picture.h"

class CArchiveReader;

// Told after every frame written (frames_done of frame_count); returning false cancels.
using AviExportProgress = std::function<bool(int32_t frames_done, int32_t frame_count)>;

struct AviExportResult {
    bool is_written = false;      // the AVI file is complete under its name
    bool is_cancelled = false;    // stopped by the progress callback; nothing was written
    int32_t frames_written = 0;   // one per record of the archive
    int32_t frames_repeated = 0;  // records without a picture: they repeat the frame written before
    int32_t frames_missing = 0;   // of those, records whose bytes were damaged beyond reading
    int32_t frames_fitted = 0;    // frames of another size scaled to the first frame's size
    int32_t stored_count = 0;     // the record count the archive's header states
    int32_t width = 0;
    int32_t height = 0;
    std::string error;  // why nothing was written
};

// Converts every record of the archive at archive_path, read by a reader of its own, into an
// uncompressed 24-bit AVI file at 10 frames per second, sized like the archive's first decodable
// frame. An existing file at avi_path is replaced only by a complete conversion; a failed or
// cancelled one leaves no file. The archive itself, and any other archive, is never written over.
AviExportResult ConvertArchiveToAvi(const std::string& archive_path, const std::string& avi_path,
                                    const AviExportProgress& on_progress = {}, const AviWriterOptions& options = {});

// Writes the reader's current frame as its stored JPEG stream, byte for byte.
// False with error set when nothing was written.
bool SaveSnapshotJpeg(CArchiveReader& reader, const std::string& jpeg_path, std::string& error);

// Frames of another size than the first are decoded scaled down where they would take more than this.
constexpr uint64_t kMaxFittedPictureBytes = 32 * 1024 * 1024;

// Scales source into target's size, nearest pixel, for frames whose size differs from the first.
void FitPicture(const BMP_File& source, BMP_File& target);
// The same into width x height rows of packed pixels pitch_bytes apart, the bottom row first when
// bottom_up; the bytes between rows are not touched.
void FitPictureRows(const BMP_File& source, int32_t width, int32_t height, uint8_t* out, size_t pitch_bytes,
                    bool bottom_up);

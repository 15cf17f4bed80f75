#include "archive_ui/core/avi_export.h"

#include <cstring>
#include <vector>

#include "recording/frame_archive.h"

namespace {

// What the next undecodable frame repeats: the last frame written, wherever it lies.
enum class LastWritten { kNothing, kReaderImage, kFitted, kBlack };

// Puts the reader back on the frame it was on, so that the picture on show and "Shot..." agree.
class ReaderPositionGuard {
public:
    explicit ReaderPositionGuard(CFrameArchive& reader) : reader_(reader), frame_(reader.GetCurrentFrame()) {}
    ~ReaderPositionGuard() { reader_.SeekFrame(frame_); }
    ReaderPositionGuard(const ReaderPositionGuard&) = delete;
    ReaderPositionGuard& operator=(const ReaderPositionGuard&) = delete;

private:
    CFrameArchive& reader_;
    int32_t frame_;
};

}  // namespace

void FitPicture(const BMP_File& source, BMP_File& target) {
    const int32_t width = target.GetWidth();
    const int32_t height = target.GetHeight();
    const int32_t source_width = source.GetWidth();
    const int32_t source_height = source.GetHeight();
    if (width <= 0 || height <= 0) return;
    if (source_width <= 0 || source_height <= 0 || source.GetPixelCount() == 0) {
        std::memset(target.GetBits(), 0, target.GetPixelCount() * 3);
        return;
    }
    std::vector<size_t> source_column(static_cast<size_t>(width));
    for (int32_t x = 0; x < width; ++x) {
        source_column[x] = static_cast<size_t>(int64_t{x} * source_width / width) * 3;
    }
    const uint8_t* source_bits = source.GetBits();
    uint8_t* target_bits = target.GetBits();
    for (int32_t y = 0; y < height; ++y) {
        const int64_t source_y = int64_t{y} * source_height / height;
        const uint8_t* source_row = source_bits + static_cast<size_t>(source_y) * source_width * 3;
        uint8_t* target_row = target_bits + static_cast<size_t>(y) * width * 3;
        for (int32_t x = 0; x < width; ++x) std::memcpy(target_row + x * 3, source_row + source_column[x], 3);
    }
}

AviExportResult ConvertArchiveToAvi(CFrameArchive& reader, const std::string& avi_path,
                                    const AviExportProgress& on_progress, const AviWriterOptions& options) {
    AviExportResult result;
    const int32_t frame_count = reader.GetFrameCount();
    if (frame_count <= 0) {
        result.error = "the archive holds no frames";
        return result;
    }
    ReaderPositionGuard restore_position(reader);

    CAviWriter writer;
    BMP_File fitted;
    BMP_File black;
    LastWritten last_written = LastWritten::kNothing;
    int32_t leading_undecodable = 0;  // frames before the first decodable one, written black

    auto fail = [&](std::string error) {
        result.error = std::move(error);
        result.frames_written = 0;
        return result;
    };
    auto write = [&](const BMP_File& picture, LastWritten source) {
        if (!writer.WriteFrame(picture.GetBits())) return false;
        last_written = source;
        ++result.frames_written;
        return true;
    };

    for (int32_t frame = 0; frame < frame_count; ++frame) {
        reader.SeekFrame(frame);
        const bool is_decoded = reader.IsFrameDecoded();
        // The reader's picture is never flipped: the writer lays its rows out bottom first.
        const BMP_File& image = reader.GetFrameImage();

        if (!writer.IsOpen() && is_decoded) {
            // The first decodable frame fixes the format of the whole stream.
            if (!writer.Open(avi_path, image.GetWidth(), image.GetHeight(), options)) return fail(writer.GetError());
            result.width = image.GetWidth();
            result.height = image.GetHeight();
            black.Create(result.width, result.height);
            for (int32_t i = 0; i < leading_undecodable; ++i) {
                if (!write(black, LastWritten::kBlack)) return fail(writer.GetError());
            }
            result.frames_repeated += leading_undecodable;
        }

        if (!writer.IsOpen()) {
            ++leading_undecodable;
        } else {
            const bool is_same_size = image.GetWidth() == result.width && image.GetHeight() == result.height;
            const BMP_File* picture = &black;
            LastWritten source = LastWritten::kBlack;
            if (is_decoded && is_same_size) {
                picture = &image;
                source = LastWritten::kReaderImage;
            } else if (is_decoded) {
                fitted.CreateForOverwrite(result.width, result.height);
                FitPicture(image, fitted);
                picture = &fitted;
                source = LastWritten::kFitted;
                ++result.frames_fitted;
            } else {
                // A failed decode leaves the reader's picture as it was, so the frame written
                // before is still where it was taken from.
                ++result.frames_repeated;
                if (last_written == LastWritten::kReaderImage && is_same_size) {
                    picture = &image;
                    source = LastWritten::kReaderImage;
                } else if (last_written == LastWritten::kFitted) {
                    picture = &fitted;
                    source = LastWritten::kFitted;
                }
            }
            if (!write(*picture, source)) return fail(writer.GetError());
        }

        if (on_progress && !on_progress(frame + 1, frame_count)) {
            writer.Abandon();
            result.is_cancelled = true;
            result.frames_written = 0;
            return result;
        }
    }
    if (!writer.IsOpen()) return fail("no frame of the archive can be decoded");
    if (!writer.Finish()) return fail(writer.GetError());
    result.is_written = true;
    return result;
}

bool SaveSnapshotJpeg(CFrameArchive& reader, const std::string& jpeg_path, std::string& error) {
    if (reader.SaveFrameJpeg(jpeg_path)) {
        error.clear();
        return true;
    }
    error = reader.GetLastError().empty() ? std::string("the frame could not be saved") : reader.GetLastError();
    return false;
}

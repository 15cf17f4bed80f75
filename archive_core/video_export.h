#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive_core/video_pipeline.h"

// Told after every frame handed on (frames_done of frame_count) and while the file is being
// completed; returning false cancels.
using VideoExportProgress = std::function<bool(int64_t frames_done, int64_t frame_count)>;

struct VideoExportOptions {
    VideoContainer container = VideoContainer::kMatroska;
    VideoCodec codec = VideoCodec::kMotionJpeg;
};

struct VideoExportResult {
    bool is_written = false;      // the file is complete under its name
    bool is_cancelled = false;    // stopped by the progress callback; nothing was written
    int64_t frames_written = 0;   // one per record of the archives
    int64_t frames_repeated = 0;  // records without a usable picture: they repeat the frame before
    int64_t frames_fitted = 0;    // H.264: frames of another size scaled to the first frame's size
    int32_t width = 0;
    int32_t height = 0;
    double span_s = 0.0;  // from the first record's time to the last one's
    std::string error;    // why nothing was written
};

// Writes every record of the archives once into one video file: the archives in the order of
// their first records' times, each archive's records in their order, every frame at its
// record's time from the first one (in AVI, which has one rate, at the average rate of that
// span). Motion JPEG copies the stored JPEG streams unchanged; H.264 decodes and encodes them.
// A record without a usable picture repeats the frame before (black before the first one), and
// a time that does not follow the one before is moved to just after it. out_path goes through
// the safe-output rules and must be seekable; a failed or cancelled export leaves nothing, and
// never writes over an archive.
VideoExportResult ExportVideo(const std::vector<std::string>& archive_paths, const std::string& out_path,
                              const VideoExportOptions& options, const VideoExportProgress& on_progress = {});
// The same written as it is made into fd, a pipe or socket it does not own: Matroska only, as
// a stream without seeks back (no index at its end). What was written of a failed or cancelled
// export is the reader's to discard.
VideoExportResult ExportVideoToStream(const std::vector<std::string>& archive_paths, int fd,
                                      const VideoExportOptions& options, const VideoExportProgress& on_progress = {});

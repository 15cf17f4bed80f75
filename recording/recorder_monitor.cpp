#include "recording/recorder_monitor.h"

#include <chrono>

#include "recording/jpeg_codec.h"

namespace {

// What the system said ("No space left on device"), whichever step it stopped: a full disk that
// fails an append, then a trailer, then a new file's header is one cause, reported once.
std::string CauseKey(const std::string& cause) {
    const size_t separator = cause.rfind(": ");
    return separator == std::string::npos ? cause : cause.substr(separator + 2);
}

}  // namespace

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CRecorderMonitor::CRecorderMonitor(CFrameArchive& archive) : archive_(archive) {}

bool CRecorderMonitor::WriteFrame(const BMP_File& frame) {
    CleanFrame clean;
    clean.width = frame.GetWidth();
    clean.height = frame.GetHeight();
    clean.picture = &frame;
    return WriteCleanFrame(clean);
}

bool CRecorderMonitor::TakesPlanes() const { return archive_.TakesPlanes(); }

bool CRecorderMonitor::TakesCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height) const {
    return archive_.TakesCameraJpeg(data, size, width, height);
}

bool CRecorderMonitor::WriteCleanFrame(const CleanFrame& frame) {
    const bool is_stored = archive_.WriteCleanFrame(frame);
    std::vector<RecorderEvent> events;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // A write may open a file and still fail; a failed rollback may close one.
        // A reference, not a copy: nothing is allocated for a frame that changes no file.
        static const std::string kNoFile;
        const std::string& path = archive_.IsWriteOpen() ? archive_.GetWritePath() : kNoFile;
        if (path != status_.open_path) {
            if (!status_.open_path.empty()) events.push_back({RecorderEvent::Kind::kFileFinished, status_.open_path, {}, {}});
            if (!path.empty()) {
                events.push_back({RecorderEvent::Kind::kFileStarted, path, {}, {}});
                if (is_archive_list_kept_) archives_.push_back(path);
                status_.opened_at_ms = MonotonicMs();
            }
            status_.open_path = path;
        }
        if (is_stored) {
            ++status_.stored_frames;
            if (is_failing_) {
                is_failing_ = false;
                reported_causes_.clear();
                status_.failure_cause.clear();
                status_.failure_detail.clear();
                events.push_back({RecorderEvent::Kind::kRecovered, {}, {}, {}});
            }
        } else {
            ++status_.failed_frames;
            status_.failure_cause = archive_.GetLastErrorCause();
            status_.failure_detail = archive_.GetLastError();
            is_failing_ = true;
            if (reported_causes_.insert(CauseKey(status_.failure_cause)).second) {
                events.push_back({RecorderEvent::Kind::kFailed, path, status_.failure_cause, status_.failure_detail});
            }
        }
    }
    if (is_stored) {
        const int quality = archive_.GetLastFrameQuality();
        const uint32_t bytes = archive_.GetLastFrameBytes();
        const bool is_oversized = (quality != JpegCodec::kQuality && quality != JpegCodec::kCameraStreamQuality) ||
                                  bytes > CFrameArchive::kJpegBufferSize;
        if (is_oversized && !is_in_fallback_) {
            const std::string how = bytes > CFrameArchive::kJpegBufferSize
                                        ? "stored as a longer record of " + std::to_string(bytes) + " bytes"
                                        : "stored in " + std::to_string(bytes) + " bytes";
            events.push_back({RecorderEvent::Kind::kQualityFallback, {}, {},
                              "a frame of " + std::to_string(frame.width) + "x" +
                                  std::to_string(frame.height) + " pixels did not fit at quality " +
                                  std::to_string(JpegCodec::kQuality) + ": " + how + " at quality " +
                                  std::to_string(quality)});
        }
        is_in_fallback_ = is_oversized;
    }
    for (RecorderEvent& event : events) Report(std::move(event));
    return is_stored;
}

bool CRecorderMonitor::CloseFile() {
    const bool is_finished = archive_.CloseFile();
    std::vector<RecorderEvent> events;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!status_.open_path.empty()) {
            events.push_back({RecorderEvent::Kind::kFileFinished, status_.open_path, {},
                              is_finished ? std::string() : archive_.GetLastError()});
            status_.open_path.clear();
        }
        if (!is_finished) {
            // The frames are kept (the count tells readers where to stop); the file lacks its trailer.
            status_.failure_cause = archive_.GetLastErrorCause();
            status_.failure_detail = archive_.GetLastError();
            is_failing_ = true;
            if (reported_causes_.insert(CauseKey(status_.failure_cause)).second) {
                events.push_back({RecorderEvent::Kind::kFailed, {}, status_.failure_cause, status_.failure_detail});
            }
        }
    }
    for (RecorderEvent& event : events) Report(std::move(event));
    return is_finished;
}

void CRecorderMonitor::FrameLost(const std::string& cause, const std::string& detail) {
    bool is_new = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++status_.failed_frames;
        is_new = reported_lost_causes_.insert(cause).second;
    }
    if (is_new) Report({RecorderEvent::Kind::kFrameLost, {}, cause, detail});
}

void CRecorderMonitor::ClearFailure() {
    const std::lock_guard<std::mutex> lock(mutex_);
    is_failing_ = false;
    reported_causes_.clear();
    status_.failure_cause.clear();
    status_.failure_detail.clear();
}

CRecorderMonitor::Status CRecorderMonitor::GetStatus() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::vector<std::string> CRecorderMonitor::GetArchives() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return archives_;
}

void CRecorderMonitor::Report(RecorderEvent event) {
    if (on_event_) on_event_(event);
}

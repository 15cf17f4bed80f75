#include "recorder/recorder_monitor.h"

#include <chrono>

#include "jpeg/jpeg_codec.h"
#include "platform/tick_clock.h"

namespace {

// What the system said ("No space left on device"), whichever step it stopped: a full disk that
// fails an append, then a trailer, then a new file's header is one cause, reported once.
std::string CauseKey(const std::string& cause) {
    const size_t separator = cause.rfind(": ");
    return separator == std::string::npos ? cause : cause.substr(separator + 2);
}

}  // namespace

CRecorderMonitor::CRecorderMonitor(CEncodingRecorder& archive) : archive_(archive) {
    archive_.SetOutcomeCallback([this](const RecordOutcome& outcome) { OnOutcome(outcome); });
}

CRecorderMonitor::~CRecorderMonitor() {
    archive_.WaitForWrites();
    archive_.SetOutcomeCallback({});
}

bool CRecorderMonitor::WriteFrame(const BMP_File& frame) { return WriteCleanFrame(CleanFrame::OfPicture(frame)); }

bool CRecorderMonitor::TakesPlanes() const { return archive_.TakesPlanes(); }
bool CRecorderMonitor::TakesCameraFrames() const { return archive_.TakesCameraFrames(); }

bool CRecorderMonitor::TakesCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height) const {
    return archive_.TakesCameraJpeg(data, size, width, height);
}

bool CRecorderMonitor::LendsPlanes() const { return archive_.LendsPlanes(); }

JpegPlaneRoom* CRecorderMonitor::LendPlanes(int32_t width, int32_t height) {
    return archive_.LendPlanes(width, height);
}

bool CRecorderMonitor::WriteCleanFrame(const CleanFrame& frame) { return archive_.WriteCleanFrame(frame); }

bool CRecorderMonitor::CloseFile() { return archive_.CloseFile(); }

void CRecorderMonitor::HoldCleanFrame(const CleanFrame& frame, int64_t time_ms, int64_t keep_from_ms) {
    archive_.HoldCleanFrame(frame, time_ms, keep_from_ms);
}

int64_t CRecorderMonitor::WriteHeldFrames(int64_t from_ms) { return archive_.WriteHeldFrames(from_ms); }
void CRecorderMonitor::LetGoOfHeldFrames() { archive_.LetGoOfHeldFrames(); }
PreRollStatus CRecorderMonitor::GetHeldStatus() const { return archive_.GetHeldStatus(); }

void CRecorderMonitor::OnOutcome(const RecordOutcome& outcome) {
    using Kind = RecordOutcome::Kind;
    std::vector<RecorderEvent> events;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (outcome.kind == Kind::kDropped) {
            ++status_.dropped_frames;
            if (!is_drop_reported_) {
                is_drop_reported_ = true;
                events.push_back({RecorderEvent::Kind::kDropped,
                                  status_.open_path,
                                  {},
                                  "frames dropped: the encoders do not keep up with the camera"});
            }
        } else if (outcome.kind == Kind::kClosed) {
            if (!status_.open_path.empty()) {
                events.push_back({RecorderEvent::Kind::kFileFinished,
                                  status_.open_path,
                                  {},
                                  outcome.is_ok ? std::string() : *outcome.detail});
                status_.open_path.clear();
            }
            is_drop_reported_ = false;
            if (!outcome.is_ok) {
                // The frames are kept (the count tells readers where to stop); the file lacks its trailer.
                status_.failure_cause = *outcome.cause;
                status_.failure_detail = *outcome.detail;
                is_failing_ = true;
                if (reported_causes_.insert(CauseKey(status_.failure_cause)).second) {
                    events.push_back({RecorderEvent::Kind::kFailed, {}, status_.failure_cause, status_.failure_detail});
                }
            }
        } else {
            // A write may open a file and still fail; a failed rollback may close one.
            if (outcome.open_path != nullptr && *outcome.open_path != status_.open_path) {
                const std::string& path = *outcome.open_path;
                if (!status_.open_path.empty()) {
                    events.push_back({RecorderEvent::Kind::kFileFinished, status_.open_path, {}, {}});
                }
                if (!path.empty()) {
                    events.push_back({RecorderEvent::Kind::kFileStarted, path, {}, {}});
                    if (is_archive_list_kept_) archives_.push_back(path);
                    status_.opened_at_ms = MonotonicMs();
                }
                status_.open_path = path;
            }
            if (outcome.kind == Kind::kStored) {
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
                status_.failure_cause = *outcome.cause;
                status_.failure_detail = *outcome.detail;
                is_failing_ = true;
                if (reported_causes_.insert(CauseKey(status_.failure_cause)).second) {
                    events.push_back({RecorderEvent::Kind::kFailed, status_.open_path, status_.failure_cause,
                                      status_.failure_detail});
                }
            }
        }
    }
    if (outcome.kind == Kind::kStored) {
        const int quality = outcome.quality;
        const uint32_t bytes = outcome.bytes;
        const bool is_oversized = (quality != JpegCodec::kQuality && quality != JpegCodec::kCameraStreamQuality) ||
                                  bytes > CEncodingRecorder::kJpegBufferSize;
        if (is_oversized && !is_in_fallback_) {
            const std::string how = bytes > CEncodingRecorder::kJpegBufferSize
                                        ? "stored as a longer record of " + std::to_string(bytes) + " bytes"
                                        : "stored in " + std::to_string(bytes) + " bytes";
            events.push_back({RecorderEvent::Kind::kQualityFallback,
                              {},
                              {},
                              "a frame of " + std::to_string(outcome.width) + "x" + std::to_string(outcome.height) +
                                  " pixels did not fit at quality " + std::to_string(JpegCodec::kQuality) + ": " + how +
                                  " at quality " + std::to_string(quality)});
        }
        is_in_fallback_ = is_oversized;
    }
    for (const RecorderEvent& event : events) Report(event);
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

void CRecorderMonitor::Report(const RecorderEvent& event) {
    if (on_event_) on_event_(event);
}

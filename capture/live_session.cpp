#include "capture/live_session.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

#include "capture/capture_log.h"
#include "capture/device_watcher.h"
#include "capture/motion_event_relay.h"
#include "capture/queued_calls.h"
#include "capture/retention_schedule.h"
#include "platform/ole_date.h"
#include "platform/tick_clock.h"
#include "recorder/encode_pool.h"
#include "storage/byte_size.h"

namespace {

constexpr int kRetryDelaysS[] = {1, 2, 4, 8, 16, 30};
constexpr int kWatchdogTickMs = 250;
constexpr int kSilenceFrameIntervals = 5;
// A camera that was started may take this long to send its first picture.
constexpr int64_t kFirstPictureLimitMs = 10000;

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CLiveSession::CLiveSession(CindralSettings& settings, std::string storage_folder, ICaptureMessages& messages,
                           IFramePresenter* presenter, CVideoDeviceWatcher* watcher, LiveSessionOptions options,
                           QObject* parent)
    : QObject(parent),
      settings_(settings),
      messages_(messages),
      watcher_(watcher),
      options_(options),
      calls_(new CQueuedCalls(this)),
      archive_(std::move(storage_folder)),
      recorder_(archive_),
      pipeline_(settings_, recorder_, presenter),
      retention_(std::make_unique<CRetentionSchedule>(archive_, recorder_, *calls_)),
      events_writer_(std::make_unique<CEventsWriter>([this](const std::string& problem) {
          // From the writer's thread; the recording goes on.
          const QString text = QString::fromStdString(problem);
          calls_->Post([text] { qCWarning(lcRecording).noquote() << text; });
      })),
      motion_events_(std::make_unique<CMotionEventRelay>(
          *calls_, [this] { return camera_.empty() ? settings_.camera_name : camera_; })),
      capture_(std::make_unique<CWebCameraDlg>(static_cast<ICaptureMessages&>(*this))) {
    pipeline_.AttachSettings(true);
    // CINDRAL_ENCODE_WORKERS (1 to 4) overrides the count for the benchmarks.
    const int workers = qEnvironmentVariableIntValue("CINDRAL_ENCODE_WORKERS");
    archive_.SetEncodeWorkers(workers >= 1 && workers <= 4 ? workers : CEncodePool::DefaultWorkerCount());
    archive_.SetRecordStoredCallback(
        [this](const uint8_t* jpeg, uint32_t size) { viewer_frames_.OfferStored(jpeg, size); });
    recorder_.SetKeepsArchiveList(options_.is_listing_archives);
    capture_->SetFrameReceiver(this);
    capture_->SetClockSync(options_.is_clock_synced);
    capture_->SetStreamEndHandler([this](const StreamEnd& end) { OnStreamEnd(end); });
    recorder_.SetEventHandler([this](const RecorderEvent& event) {
        // From the streaming thread (or this one after a stop); handled in order on this thread.
        calls_->Post([this, event] { OnRecorderEvent(event); });
    });
    pipeline_.SetEventHandler([this](const MotionEventNote& note) { motion_events_->OnNote(note); });
    archive_.SetRoomMaker([this] { return retention_->MakeRoom(); });
    connect(retention_.get(), &CRetentionSchedule::StorageProblemChanged, this, &CLiveSession::StateChanged);
    connect(retention_.get(), &CRetentionSchedule::Applied, this, &CLiveSession::RetentionApplied);
    connect(retention_.get(), &CRetentionSchedule::ArchiveDeletedForRoom, this, &CLiveSession::ArchiveDeletedForRoom);
    connect(motion_events_.get(), &CMotionEventRelay::MotionEvent, this, &CLiveSession::MotionEvent);
    motion_events_->SetEventEndedHandler([this](const CMotionEventRelay::EndedEvent& ended) { ListEvent(ended); });
    connect(motion_events_.get(), &CMotionEventRelay::CommandReport, this, &CLiveSession::EventCommandReport);
    retry_timer_.setSingleShot(true);
    connect(&retry_timer_, &QTimer::timeout, this, &CLiveSession::Attempt);
    watchdog_.setInterval(kWatchdogTickMs);
    connect(&watchdog_, &QTimer::timeout, this, &CLiveSession::OnWatchdog);
    if (watcher_) {
        connect(watcher_, &CVideoDeviceWatcher::CameraAdded, this, &CLiveSession::OnCameraAdded);
        connect(watcher_, &CVideoDeviceWatcher::CameraRemoved, this, &CLiveSession::OnCameraRemoved);
    }
}

CLiveSession::~CLiveSession() {
    // No frame may reach the pipeline or the recorder once they are gone.
    capture_.reset();
    recorder_.CloseFile();
    archive_.WaitForWrites();
    // A retention run reads the recorder's state: it ends before the recorder goes.
    retention_.reset();
}

void CLiveSession::SetEventCommand(const std::string& command) { motion_events_->SetCommand(command); }

void CLiveSession::FinishEventCommands() { motion_events_->FinishCommands(); }

void CLiveSession::AddCamera(std::string name, std::string description) {
    capture_->AddCamera(std::move(name), std::move(description));
}

void CLiveSession::AddNetworkCamera(std::string name, NetworkCamera camera) {
    capture_->AddNetworkCamera(std::move(name), std::move(camera));
}

void CLiveSession::SetPropertyPages(ICameraPropertyPages* pages) { capture_->SetPropertyPages(pages); }

bool CLiveSession::Start() {
    camera_ = settings_.camera_name;
    is_retrying_ = false;
    has_run_ = false;
    retry_step_ = 0;
    if (camera_.empty()) {
        // Going on without a camera was the user's own choice: the capture object's words go to
        // the log and the state, not into a box. A camera plugged in later is taken.
        is_retrying_ = true;
        capture_->Init(camera_, &settings_.frame_width, &settings_.frame_height, &settings_.frame_duration_100ns);
        SetPhase(LivePhase::kNoCamera, last_message_);
        return false;
    }
    Attempt();
    return IsRunningPhase();
}

void CLiveSession::Stop() {
    retry_timer_.stop();
    watchdog_.stop();
    capture_->Stop();
    TellPreRollShortened();  // before the frames held are let go of
    pipeline_.EndEvent();
    recorder_.CloseFile();
    archive_.WaitForWrites();
    const CFrameArchive::EncodeCounts counts = archive_.GetEncodeCounts();
    if (counts.frames > 0) {
        qCInfo(lcRecording).noquote() << counts.frames << "frames encoded by" << archive_.GetEncodeWorkers()
                                      << "workers in" << counts.encodes << "encodes;" << counts.dropped << "dropped";
    }
    SetPhase(LivePhase::kStopped, lost_reason_);
}

void CLiveSession::ChooseCamera(const std::string& name) {
    if (name.empty() || name == camera_ || IsRunningPhase()) return;
    // Nothing runs now, so nothing is taken from the user by starting the new camera at once.
    camera_ = name;
    is_retrying_ = false;
    has_run_ = false;
    retry_step_ = 0;
    Attempt();
}

void CLiveSession::Attempt() {
    retry_timer_.stop();
    attempt_started_ms_ = MonotonicMs();
    last_frame_ms_.store(attempt_started_ms_);
    is_frame_seen_.store(false);
    last_message_.clear();
    SetPhase(LivePhase::kStarting, lost_reason_);  // the reason stays until pictures flow
    qCDebug(lcCapture).noquote() << "starting camera" << Text(camera_);
    if (capture_->Init(camera_, &settings_.frame_width, &settings_.frame_height, &settings_.frame_duration_100ns)) {
        watchdog_.start();
        return;
    }
    OnAttemptFailed(last_message_.empty() ? "the camera did not start" : last_message_);
}

void CLiveSession::OnAttemptFailed(const std::string& reason) {
    watchdog_.stop();
    capture_->Stop();
    if (!is_retrying_ && !options_.is_retrying_failed_start) {
        SetPhase(LivePhase::kStopped, reason);
        emit SourceEnded(true);
        return;
    }
    is_retrying_ = true;
    if (!has_run_ && watcher_ && watcher_->IsStarted() && !watcher_->HasCamera(camera_)) {
        // Not present: the watcher tells when it comes.
        SetPhase(LivePhase::kNoCamera, reason);
        return;
    }
    ScheduleRetry(reason);
}

void CLiveSession::ScheduleRetry(const std::string& reason) {
    const int delay_s =
        std::max(1, std::min(options_.max_retry_delay_s,
                             kRetryDelaysS[std::min<size_t>(retry_step_, std::size(kRetryDelaysS) - 1)]));
    ++retry_step_;
    retry_timer_.start(delay_s * 1000);
    qCInfo(lcCapture).noquote() << "camera" << Text(camera_) << "is tried again in" << delay_s << "s:" << Text(reason);
    SetPhase(LivePhase::kCameraLost, reason);
    emit RetryScheduled(Text(reason), delay_s);
}

void CLiveSession::ProcessFrame(const CameraFrame& frame) {
    const int64_t limit = options_.frame_limit;
    if (limit > 0 && frames_processed_.load() >= limit) return;
    last_frame_ms_.store(MonotonicMs());
    if (!is_frame_seen_.exchange(true)) {
        calls_->Post([this] { OnFirstFrame(); });
    }
    const int64_t processed = frames_processed_.fetch_add(1) + 1;
    // A camera's frames are dropped when the encoders are all busy; a file's wait for them.
    archive_.SetWaitsForEncoders(!capture_->IsLive());
    pipeline_.ProcessFrame(frame);
    viewer_frames_.OfferCameraFrame(frame, MonotonicMs());
    if (processed == limit) calls_->Post([this] { emit FrameLimitReached(); });
}

void CLiveSession::FrameUnusable(const std::string& cause) {
    // Handed over, so counted like any frame; it brings no picture, so the watchdog is not fed.
    const int64_t limit = options_.frame_limit;
    if (limit > 0 && frames_processed_.load() >= limit) return;
    const int64_t processed = frames_processed_.fetch_add(1) + 1;
    recorder_.FrameLost(cause, cause);
    if (processed == limit) calls_->Post([this] { emit FrameLimitReached(); });
}

void CLiveSession::ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    last_message_ = text;
    if (is_retrying_) {
        qCInfo(lcCapture).noquote() << "attempt failed:" << Text(caption) << Text(text);
        return;
    }
    qCWarning(lcCapture).noquote() << Text(caption.empty() ? std::string("Cindral") : caption) << ":" << Text(text);
    if (IsRunningPhase() && (phase_ != LivePhase::kStarting || is_frame_seen_.load())) is_loss_reported_ = true;
    messages_.ShowMessage(text, caption, icon);
}

void CLiveSession::OnFirstFrame() {
    if (phase_ != LivePhase::kStarting) return;
    const bool is_back = has_run_ && is_retrying_;
    has_run_ = true;
    is_retrying_ = false;
    is_loss_reported_ = false;
    retry_step_ = 0;
    SetPhase(LivePhase::kLive);
    if (is_back) {
        ++reconnects_;
        const double after_s = (MonotonicMs() - lost_at_ms_) / 1000.0;
        qCWarning(lcCapture).noquote() << "camera" << Text(camera_) << "back after" << after_s << "s";
        emit CameraBack(after_s);
    }
}

void CLiveSession::OnStreamEnd(const StreamEnd& end) {
    if (is_in_dialog_) {
        pending_end_ = std::make_unique<StreamEnd>(end);
        return;
    }
    std::string reason = end.is_error ? end.message : "the camera ended its stream";
    if (end.is_error && !end.debug.empty()) {
        qCWarning(lcCapture).noquote() << "stream error:" << Text(end.message) << "(" << Text(end.debug) << ")";
    }
    OnCameraLost(reason, !end.is_live, end.is_error);
}

void CLiveSession::OnCameraLost(const std::string& reason, bool is_end_of_source, bool is_failure) {
    if (!IsRunningPhase()) return;
    if (phase_ == LivePhase::kStarting && is_frame_seen_.load()) OnFirstFrame();  // its event may still be queued
    if (phase_ == LivePhase::kStarting) {
        // Never got going: the attempt failed. A file that ends before its first frame ends the run.
        if (is_end_of_source && options_.is_ending_with_file_source) {
            watchdog_.stop();
            capture_->Stop();
            recorder_.CloseFile();
            SetPhase(LivePhase::kStopped, reason);
            emit SourceEnded(is_failure);
            return;
        }
        OnAttemptFailed(reason);
        return;
    }
    watchdog_.stop();
    capture_->Stop();  // frames have stopped once this returns
    pipeline_.EndEvent();
    recorder_.CloseFile();
    lost_at_ms_ = MonotonicMs();
    const bool is_file_end = is_end_of_source && options_.is_ending_with_file_source;
    if (!is_file_end) qCWarning(lcCapture).noquote() << "camera" << Text(camera_) << "lost:" << Text(reason);
    if (is_file_end || !options_.is_retrying_lost_camera) {
        SetPhase(LivePhase::kStopped, reason);
        if (!is_file_end) emit CameraLost(Text(reason));
        emit SourceEnded(is_failure || !is_file_end);
        return;
    }
    if (!is_loss_reported_) messages_.ShowMessage(reason, "Could not access camera", MessageIcon::kError);
    is_loss_reported_ = true;
    is_retrying_ = true;
    retry_step_ = 0;
    emit CameraLost(Text(reason));
    ScheduleRetry(reason);
}

void CLiveSession::OnRecorderEvent(const RecorderEvent& event) {
    switch (event.kind) {
        case RecorderEvent::Kind::kFailed:
            qCWarning(lcRecording).noquote() << "recording failed:" << Text(event.detail);
            emit RecorderFailed(Text(event.cause), Text(event.detail));
            break;
        case RecorderEvent::Kind::kRecovered:
            qCWarning(lcRecording) << "recording works again";
            emit RecorderRecovered();
            break;
        case RecorderEvent::Kind::kFrameLost:
            qCWarning(lcCapture).noquote() << Text(event.detail);
            emit FrameLost(Text(event.detail));
            break;
        case RecorderEvent::Kind::kQualityFallback: qCInfo(lcRecording).noquote() << Text(event.detail); break;
        case RecorderEvent::Kind::kDropped:
            qCWarning(lcRecording).noquote() << Text(event.detail);
            emit FramesDropped(Text(event.detail));
            break;
        case RecorderEvent::Kind::kFileStarted:
            qCDebug(lcRecording).noquote() << "archive" << Text(event.path);
            motion_events_->OnArchiveStarted(event.path);
            break;
        case RecorderEvent::Kind::kFileFinished:
            if (!event.detail.empty()) {
                qCWarning(lcRecording).noquote() << "archive finished without trailer:" << Text(event.detail);
            } else {
                qCDebug(lcRecording).noquote() << "archive finished:" << Text(event.path);
            }
            break;
    }
    retention_->OnRecorderEvent(event);
    emit StateChanged();
}

void CLiveSession::TellPreRollShortened() {
    if (is_pre_roll_shortening_told_) return;
    const ::PreRollStatus status = pipeline_.GetPreRollStatus();
    if (!status.is_shortened) return;
    is_pre_roll_shortening_told_ = true;
    const int asked_s = detector_ != nullptr ? detector_->pre_roll_s.load() : 0;
    // The bytes held are the bound, give or take a frame.
    const QString text = QStringLiteral(
                             "the pre-roll keeps only %1 s of the %2 s asked for: frames this large fill "
                             "the %3 it may hold")
                             .arg(QString::number(status.span_ms / 1000.0, 'f', 2))
                             .arg(asked_s)
                             .arg(Text(FormatByteSize(status.bytes)));
    qCWarning(lcRecording).noquote() << text;
    emit PreRollShortened(text);
}

void CLiveSession::OnWatchdog() {
    TellPreRollShortened();
    // A failure in force means nothing once saving is off.
    const int32_t saving_mode = settings_.saving_mode.load();
    if (saving_mode != kSavingMotionDetector && saving_mode != kSavingAlways &&
        !recorder_.GetStatus().failure_cause.empty()) {
        recorder_.ClearFailure();
        emit StateChanged();
    }
    if (is_in_dialog_ || !IsRunningPhase()) return;
    const int64_t now = MonotonicMs();
    if (phase_ == LivePhase::kStarting && !is_frame_seen_.load()) {
        if (now - attempt_started_ms_ > kFirstPictureLimitMs) {
            OnCameraLost("the camera sent no picture within " + std::to_string(kFirstPictureLimitMs / 1000) + " s",
                         false);
        }
        return;
    }
    const int64_t limit_ms =
        std::max<int64_t>(options_.silence_limit_ms,
                          static_cast<int64_t>(std::ceil(kSilenceFrameIntervals * capture_->FrameIntervalMs())));
    const int64_t silent_ms = now - last_frame_ms_.load();
    if (silent_ms > limit_ms) {
        const QString seconds = QString::number(silent_ms / 1000.0, 'f', 1);
        OnCameraLost("no picture from the camera for " + seconds.toStdString() + " s", false);
    }
}

void CLiveSession::OnCameraAdded(const QString& name) {
    const std::string added = name.toStdString();
    if (phase_ != LivePhase::kNoCamera && phase_ != LivePhase::kCameraLost) return;
    if (camera_.empty()) {
        // No camera was chosen: the first one that comes is taken, and kept for the next start.
        camera_ = added;
        settings_.camera_name = added;
        is_retrying_ = false;
    } else if (added != camera_) {
        return;
    }
    qCInfo(lcCapture).noquote() << "camera" << name << "appeared; starting it";
    Attempt();
}

void CLiveSession::OnCameraRemoved(const QString& name) {
    if (name.toStdString() != camera_ || !IsRunningPhase() || is_in_dialog_) return;
    OnCameraLost("the camera was disconnected", false);
}

void CLiveSession::RunCameraDialog(void (CWebCameraDlg::*dialog)()) {
    is_in_dialog_ = true;
    (capture_.get()->*dialog)();
    is_in_dialog_ = false;
    last_frame_ms_.store(MonotonicMs());
    if (pending_end_) {
        const StreamEnd end = *pending_end_;
        pending_end_.reset();
        OnStreamEnd(end);
    } else if (IsRunningPhase() && !capture_->IsRunning()) {
        // "Camera Pin..." could not start the camera again; its message has been shown.
        OnCameraLost(last_message_.empty() ? "the camera did not restart" : last_message_, false);
    }
}

namespace {

// Local OLE date of a wall clock time, as archives stamp their records.
double LocalOleDate(int64_t wall_ms) {
    const auto local = LocalCalendar(static_cast<std::time_t>(wall_ms / 1000));
    return local ? CalendarToOleDate(*local) + static_cast<double>(wall_ms % 1000) / 86400000.0 : 0.0;
}

}  // namespace

void CLiveSession::ListEvent(const CMotionEventRelay::EndedEvent& ended) {
    const std::string storage_folder = archive_.GetStorageFolder();
    StoredEvent event;
    event.start_ole = LocalOleDate(ended.start_wall_ms);
    event.end_ole = LocalOleDate(ended.end_wall_ms);
    event.archive = ArchiveWithinStorage(storage_folder, ended.archive_path);
    event.last_frame = -1;  // not counted while recording; a rebuild from the archives gives them
    event.peak_blocks = ended.peak_blocks;
    if (event.archive.empty()) return;  // nothing was stored: nothing to list
    events_writer_->Submit(storage_folder, event);
}

void CLiveSession::SetStorageFolder(const std::string& storage_folder) {
    archive_.SetStorageFolder(storage_folder);
    retention_->ForgetStorageProblem();
    emit StateChanged();
}

void CLiveSession::SetRetentionLimits(const RetentionLimits& limits) { retention_->SetLimits(limits); }

void CLiveSession::RunRetention() { retention_->Run(); }

void CLiveSession::FinishRetention() { retention_->Finish(); }

void CLiveSession::ShowPinProperties() { RunCameraDialog(&CWebCameraDlg::ShowPinProperties); }

void CLiveSession::ShowFilterProperties() { RunCameraDialog(&CWebCameraDlg::ShowFilterProperties); }

bool CLiveSession::IsRunningPhase() const {
    return phase_ == LivePhase::kStarting || phase_ == LivePhase::kLive || phase_ == LivePhase::kRecording;
}

void CLiveSession::SetPhase(LivePhase phase, const std::string& reason) {
    const bool is_changed = phase != phase_ || reason != lost_reason_;
    phase_ = phase;
    lost_reason_ = reason;
    if (is_changed) emit StateChanged();
}

LiveState CLiveSession::State() const {
    LiveState state;
    state.phase = phase_;
    state.camera = camera_;
    state.lost_reason = lost_reason_;
    const CRecorderMonitor::Status status = recorder_.GetStatus();
    state.recorder_failure = status.failure_cause;
    state.storage_folder = archive_.GetStorageFolder();
    state.storage_problem = retention_->StorageProblem();
    state.dropped_frames = status.dropped_frames;
    if (phase_ == LivePhase::kLive || phase_ == LivePhase::kRecording) {
        state.phase = status.open_path.empty() ? LivePhase::kLive : LivePhase::kRecording;
        state.archive_path = status.open_path;
        if (!status.open_path.empty()) state.recording_ms = MonotonicMs() - status.opened_at_ms;
    }
    if (retry_timer_.isActive()) state.retry_in_s = std::max(1, (retry_timer_.remainingTime() + 999) / 1000);
    return state;
}

#include "capture/live_session.h"

#include <QCoreApplication>
#include <algorithm>
#include <climits>
#include <cmath>

#include "capture/capture_log.h"
#include "capture/device_watcher.h"
#include "capture/queued_calls.h"
#include "platform/tick_clock.h"
#include "recorder/encode_pool.h"
#include "storage/byte_size.h"

namespace {

constexpr int kRetryDelaysS[] = {1, 2, 4, 8, 16, 30};
constexpr int kWatchdogTickMs = 250;
constexpr int kSilenceFrameIntervals = 5;
// A camera that was started may take this long to send its first picture.
constexpr int64_t kFirstPictureLimitMs = 10000;
// While an archive is written, retention is checked at least this often.
constexpr int kRetentionIntervalMs = 60000;

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
    pipeline_.SetEventHandler([this](const MotionEventNote& note) { OnMotionNote(note); });
    archive_.SetRoomMaker([this] { return MakeRoom(); });
    retry_timer_.setSingleShot(true);
    connect(&retry_timer_, &QTimer::timeout, this, &CLiveSession::Attempt);
    watchdog_.setInterval(kWatchdogTickMs);
    connect(&watchdog_, &QTimer::timeout, this, &CLiveSession::OnWatchdog);
    retention_thread_.setMaxThreadCount(1);
    retention_timer_.setInterval(kRetentionIntervalMs);
    connect(&retention_timer_, &QTimer::timeout, this, [this] {
        // While recording, and while frames cannot be stored (a full disk may need room made again).
        const CRecorderMonitor::Status status = recorder_.GetStatus();
        if (!status.open_path.empty() || !status.failure_cause.empty()) RunRetention();
    });
    retention_timer_.start();
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
    // A retention run reads the recorder's state.
    retention_thread_.waitForDone();
}

void CLiveSession::SetEventCommand(const std::string& command) { event_command_ = command; }

void CLiveSession::FinishEventCommands() {
    if (command_runner_) command_runner_->WaitIdle();
}

void CLiveSession::OnMotionNote(const MotionEventNote& note) {
    if (note.kind == MotionEventNote::Kind::kLightChange) {
        const int64_t blocks = note.blocks;
        const QString time = Text(IsoLocalTime(note.wall_ms));
        calls_->Post([blocks, time] {
            qCInfo(lcRecording).noquote()
                << "light change at" << time << ":" << blocks << "blocks moved at once, not counted as motion";
        });
        return;
    }
    const bool is_start = note.kind == MotionEventNote::Kind::kStart;
    const int64_t wall_ms = note.wall_ms;
    calls_->Post([this, is_start, wall_ms] { OnMotionEvent(is_start, wall_ms); });
}

void CLiveSession::OnMotionEvent(bool is_start, int64_t wall_ms) {
    if (is_start) {
        // The archive open now is this event's unless it is the last event's, not closed yet.
        const std::string open_path = recorder_.GetStatus().open_path;
        is_event_start_pending_ = open_path.empty() || open_path == event_archive_;
        pending_start_wall_ms_ = wall_ms;
        event_archive_ = is_event_start_pending_ ? std::string() : open_path;
        if (!is_event_start_pending_) TellMotionEvent(true, event_archive_, wall_ms);
        return;
    }
    // An event whose archive never opened (a failing disk) is still told, without an archive.
    if (is_event_start_pending_) {
        is_event_start_pending_ = false;
        TellMotionEvent(true, event_archive_, pending_start_wall_ms_);
    }
    TellMotionEvent(false, event_archive_, wall_ms);
}

void CLiveSession::TellMotionEvent(bool is_start, const std::string& archive_path, int64_t wall_ms) {
    const std::string time = IsoLocalTime(wall_ms);
    qCInfo(lcRecording).noquote() << "motion event" << (is_start ? "began" : "ended") << Text(time)
                                  << Text(archive_path);
    if (!event_command_.empty()) {
        if (!command_runner_) {
            command_runner_ = std::make_unique<CEventCommandRunner>([this](const std::string& line, bool is_failure) {
                // From the runner's thread: logged and told on this one.
                const QString text = Text(line);
                calls_->Post([this, text, is_failure] {
                    if (is_failure)
                        qCWarning(lcRecording).noquote() << text;
                    else
                        qCInfo(lcRecording).noquote() << text;
                    emit EventCommandReport(text, is_failure);
                });
            });
        }
        command_runner_->Run(event_command_, {{"CINDRAL_EVENT", is_start ? "start" : "end"},
                                              {"CINDRAL_ARCHIVE", archive_path},
                                              {"CINDRAL_TIME", time},
                                              {"CINDRAL_CAMERA", camera_.empty() ? settings_.camera_name : camera_}});
    }
    emit MotionEvent(is_start, Text(archive_path), wall_ms);
}

void CLiveSession::AddCamera(std::string name, std::string description) {
    capture_->AddCamera(std::move(name), std::move(description));
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
    const int delay_s = kRetryDelaysS[std::min<size_t>(retry_step_, std::size(kRetryDelaysS) - 1)];
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
            // A full disk: room is made at once, and the next frame is stored again.
            RunRetention();
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
            if (is_event_start_pending_) {
                is_event_start_pending_ = false;
                event_archive_ = event.path;
                TellMotionEvent(true, event_archive_, pending_start_wall_ms_);
            }
            break;
        case RecorderEvent::Kind::kFileFinished:
            if (!event.detail.empty()) {
                qCWarning(lcRecording).noquote() << "archive finished without trailer:" << Text(event.detail);
            } else {
                qCDebug(lcRecording).noquote() << "archive finished:" << Text(event.path);
            }
            RunRetention();
            break;
    }
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

void CLiveSession::SetStorageFolder(const std::string& storage_folder) {
    archive_.SetStorageFolder(storage_folder);
    storage_problem_.clear();
    storage_problem_cause_.clear();
    emit StateChanged();
}

void CLiveSession::SetRetentionLimits(const RetentionLimits& limits) {
    retention_limits_ = limits;
    is_making_room_.store(limits.IsAnySet());
    if (!limits.IsAnySet() && !storage_problem_.empty()) {
        storage_problem_.clear();
        storage_problem_cause_.clear();
        emit StateChanged();
    }
}

void CLiveSession::RunRetention() {
    if (!retention_limits_.IsAnySet()) return;
    if (is_retention_running_) {
        is_retention_pending_ = true;
        return;
    }
    is_retention_running_ = true;
    RetentionRun run;
    run.limits = retention_limits_;
    const std::string folder = archive_.GetStorageFolder();
    StartHandedOver(retention_thread_, [this, folder, run]() mutable {
        // Read here: an archive begun since the request is kept too.
        const std::string open_path = recorder_.GetStatus().open_path;
        if (!open_path.empty()) run.open_paths.push_back(open_path);
        const RetentionResult result = ApplyRetention(folder, run);
        calls_->Post([this, result] { OnRetentionDone(result); });
    });
}

bool CLiveSession::MakeRoom() {
    // Deleting is the user's choice: only with retention limits set.
    if (!is_making_room_.load()) return false;
    std::vector<std::string> open_paths;
    if (archive_.IsWriteOpen()) open_paths.push_back(archive_.GetWritePath());
    std::string error;
    const std::optional<std::string> deleted = DeleteOldestArchive(archive_.GetStorageFolder(), open_paths, &error);
    if (!deleted) {
        if (!error.empty()) qCWarning(lcStorage).noquote() << Text(error);
        return false;
    }
    calls_->Post([this, path = *deleted] {
        qCWarning(lcStorage).noquote() << "deleted" << Text(path) << "to make room on the full disk";
        emit ArchiveDeletedForRoom(Text(path));
    });
    return true;
}

void CLiveSession::FinishRetention() {
    while (is_retention_running_) {
        retention_thread_.waitForDone();
        calls_->RunPosted();  // its result, and any run it asks for
    }
}

void CLiveSession::OnRetentionDone(const RetentionResult& result) {
    is_retention_running_ = false;
    for (const std::string& path : result.deleted) {
        qCInfo(lcStorage).noquote() << "deleted" << Text(path) << "to keep the storage limits";
    }
    if (!result.deleted.empty()) {
        qCInfo(lcStorage).noquote() << "retention freed" << Text(FormatByteSize(result.freed_bytes)) << ";"
                                    << Text(FormatByteSize(result.total_bytes)) << "of recordings left";
    }
    for (const std::string& error : result.errors) qCWarning(lcStorage).noquote() << Text(error);
    if (result.problem_cause != storage_problem_cause_ && !result.problem.empty()) {
        qCWarning(lcStorage).noquote() << Text(result.problem);
    }
    storage_problem_cause_ = result.problem_cause;
    if (result.problem != storage_problem_) {
        storage_problem_ = result.problem;
        emit StateChanged();
    }
    emit RetentionApplied(result);
    if (is_retention_pending_) {
        is_retention_pending_ = false;
        RunRetention();
    }
}

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
    state.storage_problem = storage_problem_;
    state.dropped_frames = status.dropped_frames;
    if (phase_ == LivePhase::kLive || phase_ == LivePhase::kRecording) {
        state.phase = status.open_path.empty() ? LivePhase::kLive : LivePhase::kRecording;
        state.archive_path = status.open_path;
        if (!status.open_path.empty()) state.recording_ms = MonotonicMs() - status.opened_at_ms;
    }
    if (retry_timer_.isActive()) state.retry_in_s = std::max(1, (retry_timer_.remainingTime() + 999) / 1000);
    return state;
}

namespace {

QString StateTextOfPhase(const LiveState& state);

}  // namespace

QString LiveStateText(const LiveState& state) {
    QString text = StateTextOfPhase(state);
    const bool is_running = state.phase == LivePhase::kLive || state.phase == LivePhase::kRecording;
    if (!is_running || state.dropped_frames == 0) return text;
    return CLiveSession::tr("%1, %n frame(s) dropped", nullptr,
                            static_cast<int>(std::min<int64_t>(state.dropped_frames, INT32_MAX)))
        .arg(text);
}

namespace {

QString StateTextOfPhase(const LiveState& state) {
    if (!state.recorder_failure.empty() && (state.phase == LivePhase::kLive || state.phase == LivePhase::kRecording)) {
        return CLiveSession::tr("Not recording: %1").arg(Text(state.recorder_failure));
    }
    const bool is_over_limit = !state.storage_problem.empty();
    switch (state.phase) {
        case LivePhase::kStarting: return CLiveSession::tr("Starting camera");
        case LivePhase::kLive:
            return is_over_limit ? CLiveSession::tr("Watching, storage over its limit") : CLiveSession::tr("Watching");
        case LivePhase::kRecording: {
            const int64_t seconds = state.recording_ms / 1000;
            const QString text = CLiveSession::tr("REC %1:%2:%3")
                                     .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                                     .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                     .arg(seconds % 60, 2, 10, QLatin1Char('0'));
            return is_over_limit ? CLiveSession::tr("%1, storage over its limit").arg(text) : text;
        }
        case LivePhase::kCameraLost:
            if (state.retry_in_s < 0) return CLiveSession::tr("Camera lost, retrying");
            return CLiveSession::tr("Camera lost, retrying in %1 s").arg(state.retry_in_s);
        case LivePhase::kNoCamera: return CLiveSession::tr("No camera");
        case LivePhase::kStopped: return CLiveSession::tr("Stopped");
    }
    return {};
}

}  // namespace
std::string LivePhaseName(LivePhase phase) {
    switch (phase) {
        case LivePhase::kStarting: return "starting";
        case LivePhase::kLive: return "live";
        case LivePhase::kRecording: return "recording";
        case LivePhase::kCameraLost: return "camera-lost";
        case LivePhase::kNoCamera: return "no-camera";
        case LivePhase::kStopped: return "stopped";
    }
    return "stopped";
}

QString LiveStateCaption(const LiveState& state) {
    switch (state.phase) {
        case LivePhase::kNoCamera: return CLiveSession::tr("No camera");
        case LivePhase::kCameraLost:
        case LivePhase::kStopped: return CLiveSession::tr("No signal");
        case LivePhase::kStarting: return state.lost_reason.empty() ? QString() : CLiveSession::tr("No signal");
        case LivePhase::kLive:
        case LivePhase::kRecording: return {};
    }
    return {};
}

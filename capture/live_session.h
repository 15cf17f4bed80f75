#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/capture_graph.h"
#include "capture/capture_messages.h"
#include "capture/motion_event_relay.h"
#include "capture/viewer_frames.h"
#include "detection/motion_events.h"
#include "recorder/frame_archive.h"
#include "recorder/frame_pipeline.h"
#include "recorder/recorder_monitor.h"
#include "settings/settings.h"
#include "storage/events_writer.h"
#include "storage/retention.h"

class CQueuedCalls;
class CRetentionSchedule;
class CVideoDeviceWatcher;

enum class LivePhase {
    kStarting,    // the camera is being started; no picture yet
    kLive,        // pictures flow, nothing is being recorded
    kRecording,   // pictures flow into an open archive
    kCameraLost,  // the camera ended, failed or went silent; it is tried again
    kNoCamera,    // no camera chosen, or the chosen one is not present; waiting for it to appear
    kStopped,     // not running and not trying again (the source ended, or the session was stopped)
};

// The session's state as the user-interface thread sees it.
struct LiveState {
    LivePhase phase = LivePhase::kStopped;
    std::string camera;
    std::string archive_path;      // kRecording: the archive being written
    int64_t recording_ms = 0;      // kRecording: how long it has been written
    std::string lost_reason;       // kCameraLost, kNoCamera, kStopped: why there is no picture
    int retry_in_s = -1;           // kCameraLost: seconds to the next attempt; -1 when none is timed
    std::string recorder_failure;  // frames that should be recorded are not, and this is why
    std::string storage_folder;    // where archives go
    std::string storage_problem;   // the retention limits cannot be met, and this is why
    int64_t dropped_frames = 0;    // frames not recorded because every encoder was busy
};

struct LiveSessionOptions {
    bool is_clock_synced = true;              // false: a file source runs as fast as the graph allows
    bool is_retrying_failed_start = true;     // a camera that does not start is tried again (else: stopped)
    bool is_retrying_lost_camera = true;      // a camera lost while running is tried again (else: stopped)
    bool is_ending_with_file_source = false;  // a source that is not live (a file) ends the session at its end
    int64_t frame_limit = 0;                  // frames to process before FrameLimitReached; 0 = no limit
    // A running camera without a picture for this long, or for five frame intervals if that is
    // longer, is lost.
    int64_t silence_limit_ms = 2000;
    bool is_listing_archives = false;  // keeps the path of every archive (a bounded run's summary)
    // The longest wait between attempts: a network camera that restarts is back within seconds.
    int max_retry_delay_s = 30;
};

// One live session: the camera, the frame pipeline and the recorder, wired together for the
// desktop program and the command-line recorder alike. It keeps the session's state, notices a
// camera that ends, fails or goes silent (the watchdog), finishes the open archive then, and
// tries the camera again: at once when the device watcher reports it, else after 1, 2, 4, 8
// and 16 s, then every 30 s (or the shorter wait of the options). Frames arrive on the streaming thread; every change
// reaches the thread that owns the session (the user-interface thread) as a queued event and a signal, so the streaming
// thread never waits for it. No widgets.
class CLiveSession : public QObject, private IFrameReceiver, private ICaptureMessages {
    Q_OBJECT
public:
    // Archives go below storage_folder (ending with '/'). The capture object's messages reach
    // `messages`: every one of the first start, then one per loss. watcher (may be null) tells
    // when cameras come and go.
    CLiveSession(CindralSettings& settings, std::string storage_folder, ICaptureMessages& messages,
                 IFramePresenter* presenter, CVideoDeviceWatcher* watcher, LiveSessionOptions options,
                 QObject* parent = nullptr);
    // Frames stop first, then the open archive gets its trailer.
    ~CLiveSession() override;

    // Before Start: extra cameras (the command line's --source) and the camera's own dialogs.
    void AddCamera(std::string name, std::string description);
    void AddNetworkCamera(std::string name, NetworkCamera camera);
    void SetPropertyPages(ICameraPropertyPages* pages);

    // Starts the camera named in the settings. False when it did not start; the session may
    // still be waiting for it (see State()).
    bool Start();
    // Stops frames and finishes the open archive (written when this returns); nothing is tried again.
    void Stop();
    // A camera chosen in the Properties dialog: used at once when no camera runs now.
    void ChooseCamera(const std::string& name);

    // Where the next archive goes; the open one is finished where it is.
    void SetStorageFolder(const std::string& storage_folder);
    // Retention keeps these limits: checked when an archive is finished, once a minute while one
    // is written, and at once when recording fails. No limit set: nothing is ever deleted.
    void SetRetentionLimits(const RetentionLimits& limits);
    // Runs retention now (or once more after the run in progress).
    void RunRetention();
    // Waits for the retention runs asked for so far and delivers their results (a run ending).
    void FinishRetention();

    // "Camera Pin..." and "Camera Filter...": the session holds its watchdog while they run.
    void ShowPinProperties();
    void ShowFilterProperties();

    // Motion events: the detector's own settings (kept by the caller; null: the defaults), the
    // blocks that never count as motion (any thread) and the command run at each event's start
    // and end (empty: none).
    void SetDetectorSettings(const DetectorSettings* detector) {
        detector_ = detector;
        pipeline_.SetDetectorSettings(detector);
    }
    void SetIgnoredBlocks(std::shared_ptr<const BlockMask> mask) { pipeline_.SetIgnoredBlocks(std::move(mask)); }
    void SetEventCommand(const std::string& command);
    int64_t EventsBegun() const { return pipeline_.EventsBegun(); }
    CFramePipeline::PreRollStatus PreRollStatus() const { return pipeline_.GetPreRollStatus(); }
    // Waits until the event commands started so far have ended (a bounded run's end).
    void FinishEventCommands();

    LiveState State() const;
    CWebCameraDlg* Capture() const { return capture_.get(); }
    CFrameArchive& Archive() { return archive_; }
    const CFramePipeline& Pipeline() const { return pipeline_; }
    // The live picture for remote viewers: the JPEGs the recorder stores, else the camera's.
    CViewerFrames& ViewerFrames() { return viewer_frames_; }
    CRecorderMonitor::Status RecorderStatus() const { return recorder_.GetStatus(); }
    std::vector<std::string> Archives() const { return recorder_.GetArchives(); }
    int64_t FramesProcessed() const { return frames_processed_.load(); }
    int Reconnects() const { return reconnects_; }

signals:
    void StateChanged();
    // A recording failure not yet reported in this episode (cause without file names).
    void RecorderFailed(const QString& cause, const QString& detail);
    void RecorderRecovered();
    // The first frame of an archive that every encoder was too busy to take.
    void FramesDropped(const QString& detail);
    // The memory bound of the frames held before an event keeps less than the pre-roll asked
    // for: said once a session, with the span kept.
    void PreRollShortened(const QString& detail);
    // Camera frames that cannot be used, said once per cause; they count as failed.
    void FrameLost(const QString& detail);
    // The camera was lost while it ran.
    void CameraLost(const QString& reason);
    // The next attempt is timed: in_s seconds from now.
    void RetryScheduled(const QString& reason, int in_s);
    // Pictures flow again after a loss, after_s seconds after it.
    void CameraBack(double after_s);
    // The session ended by itself: its file source ended (is_failure: with an error), or the
    // camera failed to start or was lost and is not tried again (is_failure true).
    void SourceEnded(bool is_failure);
    void FrameLimitReached();
    // A retention run has ended (deleted may be empty); its deletions have been logged.
    void RetentionApplied(const RetentionResult& result);
    // A motion event began (is_start) or ended, recorded in archive_path; wall_ms: when.
    void MotionEvent(bool is_start, const QString& archive_path, qint64 wall_ms);
    // What the event command did (is_failure: it failed, was killed or not run).
    void EventCommandReport(const QString& line, bool is_failure);
    // The disk was full: this archive, the oldest retention may delete, went so that frames are
    // stored again. Logged.
    void ArchiveDeletedForRoom(const QString& path);

private:
    // IFrameReceiver, streaming thread.
    void ProcessFrame(const CameraFrame& frame) override;
    void FrameUnusable(const std::string& cause) override;
    // ICaptureMessages: the capture object's messages, shown or only logged.
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;

    void Attempt();
    void OnAttemptFailed(const std::string& reason);
    void OnFirstFrame();
    void OnStreamEnd(const StreamEnd& end);
    // is_end_of_source: the source is a file, whose end (or failure) is the end of a file run.
    void OnCameraLost(const std::string& reason, bool is_end_of_source, bool is_failure = true);
    void OnRecorderEvent(const RecorderEvent& event);
    // Lists an event that ended in the storage folder's events database.
    void ListEvent(const CMotionEventRelay::EndedEvent& ended);
    void OnWatchdog();
    // Says once that the pre-roll is shorter than asked, when it is.
    void TellPreRollShortened();
    void OnCameraAdded(const QString& name);
    void OnCameraRemoved(const QString& name);
    void ScheduleRetry(const std::string& reason);
    void SetPhase(LivePhase phase, const std::string& reason = {});
    bool IsRunningPhase() const;
    // Runs a camera dialog with the watchdog held and any end of stream handled afterwards.
    void RunCameraDialog(void (CWebCameraDlg::*dialog)());

    CindralSettings& settings_;
    ICaptureMessages& messages_;
    CVideoDeviceWatcher* watcher_;
    const LiveSessionOptions options_;

    // A child: what the streaming, writer, retention and event command threads hand to this
    // thread, in one queue so that each arrives in the order it came.
    CQueuedCalls* calls_;
    // Declaration order: the capture object goes first, the recorder last.
    CViewerFrames viewer_frames_;  // before the archive, whose records it is handed
    CFrameArchive archive_;
    CRecorderMonitor recorder_;
    CFramePipeline pipeline_;
    // After the recorder, whose state a retention run reads until the schedule is gone.
    std::unique_ptr<CRetentionSchedule> retention_;
    // Before the relay, whose ended events it writes.
    std::unique_ptr<CEventsWriter> events_writer_;
    std::unique_ptr<CMotionEventRelay> motion_events_;
    std::unique_ptr<CWebCameraDlg> capture_;

    std::string camera_;
    LivePhase phase_ = LivePhase::kStopped;
    std::string lost_reason_;
    std::string last_message_;  // the capture object's last message, the reason of a failed start
    bool is_retrying_ = false;  // messages of further attempts are only logged
    bool has_run_ = false;      // the current camera has delivered pictures in this session
    bool is_loss_reported_ = false;
    bool is_in_dialog_ = false;
    std::unique_ptr<StreamEnd> pending_end_;  // arrived while a camera dialog ran
    int retry_step_ = 0;
    int reconnects_ = 0;
    int64_t attempt_started_ms_ = 0;
    int64_t lost_at_ms_ = 0;
    QTimer retry_timer_;
    QTimer watchdog_;
    const DetectorSettings* detector_ = nullptr;
    bool is_pre_roll_shortening_told_ = false;

    // Shared with the streaming thread.
    std::atomic<int64_t> last_frame_ms_{0};
    std::atomic<bool> is_frame_seen_{false};
    std::atomic<int64_t> frames_processed_{0};
};

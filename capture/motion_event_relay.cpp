#include "capture/motion_event_relay.h"

#include "capture/capture_log.h"
#include "capture/queued_calls.h"

namespace {

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CMotionEventRelay::CMotionEventRelay(const CRecorderMonitor& recorder, CQueuedCalls& calls,
                                     std::function<std::string()> camera_name)
    : recorder_(recorder), calls_(calls), camera_name_(std::move(camera_name)) {}

CMotionEventRelay::~CMotionEventRelay() = default;

void CMotionEventRelay::FinishCommands() {
    if (runner_) runner_->WaitIdle();
}

void CMotionEventRelay::OnNote(const MotionEventNote& note) {
    if (note.kind == MotionEventNote::Kind::kLightChange) {
        const int64_t blocks = note.blocks;
        const QString time = Text(IsoLocalTime(note.wall_ms));
        calls_.Post([blocks, time] {
            qCInfo(lcRecording).noquote()
                << "light change at" << time << ":" << blocks << "blocks moved at once, not counted as motion";
        });
        return;
    }
    const bool is_start = note.kind == MotionEventNote::Kind::kStart;
    const int64_t wall_ms = note.wall_ms;
    calls_.Post([this, is_start, wall_ms] { OnEvent(is_start, wall_ms); });
}

void CMotionEventRelay::OnEvent(bool is_start, int64_t wall_ms) {
    if (is_start) {
        // The archive open now is this event's unless it is the last event's, not closed yet.
        const std::string open_path = recorder_.GetStatus().open_path;
        is_start_pending_ = open_path.empty() || open_path == event_archive_;
        pending_start_wall_ms_ = wall_ms;
        event_archive_ = is_start_pending_ ? std::string() : open_path;
        if (!is_start_pending_) Tell(true, event_archive_, wall_ms);
        return;
    }
    // An event whose archive never opened (a failing disk) is still told, without an archive.
    if (is_start_pending_) {
        is_start_pending_ = false;
        Tell(true, event_archive_, pending_start_wall_ms_);
    }
    Tell(false, event_archive_, wall_ms);
}

void CMotionEventRelay::OnArchiveStarted(const std::string& path) {
    if (!is_start_pending_) return;
    is_start_pending_ = false;
    event_archive_ = path;
    Tell(true, event_archive_, pending_start_wall_ms_);
}

void CMotionEventRelay::Tell(bool is_start, const std::string& archive_path, int64_t wall_ms) {
    const std::string time = IsoLocalTime(wall_ms);
    qCInfo(lcRecording).noquote() << "motion event" << (is_start ? "began" : "ended") << Text(time)
                                  << Text(archive_path);
    if (!command_.empty()) {
        if (!runner_) {
            runner_ = std::make_unique<CEventCommandRunner>([this](const std::string& line, bool is_failure) {
                // From the runner's thread: logged and told on this one.
                const QString text = Text(line);
                calls_.Post([this, text, is_failure] {
                    if (is_failure)
                        qCWarning(lcRecording).noquote() << text;
                    else
                        qCInfo(lcRecording).noquote() << text;
                    emit CommandReport(text, is_failure);
                });
            });
        }
        runner_->Run(command_, {{"CINDRAL_EVENT", is_start ? "start" : "end"},
                                {"CINDRAL_ARCHIVE", archive_path},
                                {"CINDRAL_TIME", time},
                                {"CINDRAL_CAMERA", camera_name_()}});
    }
    emit MotionEvent(is_start, Text(archive_path), wall_ms);
}

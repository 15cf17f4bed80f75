#include "capture/motion_event_relay.h"

#include <QDateTime>

#include "capture/capture_log.h"
#include "capture/queued_calls.h"

namespace {

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CMotionEventRelay::CMotionEventRelay(CQueuedCalls& calls, std::function<std::string()> camera_name)
    : calls_(calls), camera_name_(std::move(camera_name)) {}

CMotionEventRelay::~CMotionEventRelay() = default;

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
    const int64_t peak_blocks = is_start ? 0 : note.blocks;
    calls_.Post([this, is_start, wall_ms, peak_blocks] { OnEvent(is_start, wall_ms, peak_blocks); });
}

void CMotionEventRelay::OnEvent(bool is_start, int64_t wall_ms, int64_t peak_blocks) {
    if (!is_start) {
        // Events never overlap: the one ending is the newest.
        if (!waiting_.empty()) {
            WaitingEvent& newest = waiting_.back();
            newest.is_ended = true;
            newest.end_wall_ms = wall_ms;
            newest.peak_blocks = peak_blocks;
            return;
        }
        TellEnd(event_archive_, told_start_wall_ms_, wall_ms, peak_blocks);
        return;
    }
    // An event that ended long ago without an archive (a failing disk) is told as it is.
    while (!waiting_.empty() && waiting_.front().is_ended &&
           wall_ms - waiting_.front().end_wall_ms > kLongestArchiveWaitMs) {
        TellWaiting(std::string());
    }
    // The writer may name the archive of this event's first frame before this start is seen
    // here: the streaming and writing threads' calls arrive in the order they were made.
    if (waiting_.empty() && !unclaimed_archive_.empty() &&
        QDateTime::currentMSecsSinceEpoch() - unclaimed_at_ms_ <= kLongestEarlyNameMs) {
        event_archive_ = unclaimed_archive_;
        unclaimed_archive_.clear();
        told_start_wall_ms_ = wall_ms;
        Tell(true, event_archive_, wall_ms);
        return;
    }
    unclaimed_archive_.clear();
    // Or a moment after, which may be after a short event ended, or after the next began:
    // events wait for their archives in order.
    waiting_.push_back(WaitingEvent{wall_ms});
}

void CMotionEventRelay::TellWaiting(const std::string& archive_path) {
    const WaitingEvent event = waiting_.front();
    waiting_.pop_front();
    if (!archive_path.empty()) event_archive_ = archive_path;
    told_start_wall_ms_ = event.start_wall_ms;
    Tell(true, archive_path, event.start_wall_ms);
    if (event.is_ended) TellEnd(archive_path, event.start_wall_ms, event.end_wall_ms, event.peak_blocks);
}

void CMotionEventRelay::TellEnd(const std::string& archive_path, int64_t start_wall_ms, int64_t end_wall_ms,
                                int64_t peak_blocks) {
    unclaimed_archive_.clear();  // an archive named during the event continues it (a new day's)
    Tell(false, archive_path, end_wall_ms);
    if (on_ended_) on_ended_(EndedEvent{archive_path, start_wall_ms, end_wall_ms, peak_blocks});
}

void CMotionEventRelay::FinishCommands() {
    // No archive is named after the recording stopped.
    while (!waiting_.empty()) TellWaiting(std::string());
    if (runner_) runner_->WaitIdle();
}

void CMotionEventRelay::OnArchiveStarted(const std::string& path) {
    if (waiting_.empty()) {
        // The next event's, named before its start is seen; or one that continues an event (a
        // new day's), or "Always"'s, which no event claims in time.
        unclaimed_archive_ = path;
        unclaimed_at_ms_ = QDateTime::currentMSecsSinceEpoch();
        return;
    }
    TellWaiting(path);
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

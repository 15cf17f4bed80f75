#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "capture/event_command.h"
#include "recorder/frame_pipeline.h"
#include "recorder/recorder_monitor.h"

class CQueuedCalls;

// Passes the frame pipeline's word of motion events on to the owner's thread with the archive
// each event is recorded in, as a signal, and runs the event command at each start and end.
// Each event begins an archive of its own, named by the encoders' writer a moment before or after
// the event's start is seen here: events and names are paired in order, and a start is told
// once its archive is named (or as it is, when none was within a while, or at the end).
class CMotionEventRelay : public QObject {
    Q_OBJECT
public:
    // calls is the session's queue to the owner's thread, the one the recorder's events travel
    // by, so that notes and archives arrive in the order they came.
    // camera_name: the camera an event command is told about, read when it runs.
    CMotionEventRelay(CQueuedCalls& calls, std::function<std::string()> camera_name);
    // The commands still running are stopped (see CEventCommandRunner).
    ~CMotionEventRelay() override;

    // Streaming thread: the pipeline's note of an event.
    void OnNote(const MotionEventNote& note);
    // Owner's thread: the recorder opened an archive.
    void OnArchiveStarted(const std::string& path);

    // An event that ended, as the events database lists it; times in milliseconds since 1970.
    struct EndedEvent {
        std::string archive_path;  // empty when no archive opened for it
        int64_t start_wall_ms = 0;
        int64_t end_wall_ms = 0;
        int64_t peak_blocks = 0;
    };
    // Owner's thread: called at each event's end, after the signal.
    void SetEventEndedHandler(std::function<void(const EndedEvent&)> handler) { on_ended_ = std::move(handler); }

    // The command run at each event's start and end; empty: none.
    void SetCommand(const std::string& command) { command_ = command; }
    // Tells an event still waiting for its archive's name as it is, then waits until the
    // commands started so far have ended (a bounded run's end).
    void FinishCommands();

signals:
    // A motion event began (is_start) or ended, recorded in archive_path; wall_ms: when.
    void MotionEvent(bool is_start, const QString& archive_path, qint64 wall_ms);
    // What the event command did (is_failure: it failed, was killed or not run).
    void CommandReport(const QString& line, bool is_failure);

private:
    struct WaitingEvent {
        int64_t start_wall_ms = 0;
        bool is_ended = false;
        int64_t end_wall_ms = 0;
        int64_t peak_blocks = 0;
    };
    // An ended event whose archive was not named within this long had none.
    static constexpr int64_t kLongestArchiveWaitMs = 10000;
    // An archive named longer than this before an event's start was seen is not that event's.
    static constexpr int64_t kLongestEarlyNameMs = 2000;

    void OnEvent(bool is_start, int64_t wall_ms, int64_t peak_blocks);
    // Tells the oldest waiting event, with archive_path as its archive (empty: none).
    void TellWaiting(const std::string& archive_path);
    void TellEnd(const std::string& archive_path, int64_t start_wall_ms, int64_t end_wall_ms, int64_t peak_blocks);
    void Tell(bool is_start, const std::string& archive_path, int64_t wall_ms);

    CQueuedCalls& calls_;
    const std::function<std::string()> camera_name_;
    std::string command_;
    std::unique_ptr<CEventCommandRunner> runner_;  // made for the first command
    // Events whose archives are not named yet, oldest first.
    std::deque<WaitingEvent> waiting_;
    // The archive of the event told last, and when that event began.
    std::string event_archive_;
    int64_t told_start_wall_ms_ = 0;
    // An archive named while no event waited for one, and when (milliseconds since 1970).
    std::string unclaimed_archive_;
    int64_t unclaimed_at_ms_ = 0;
    std::function<void(const EndedEvent&)> on_ended_;
};

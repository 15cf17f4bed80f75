#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/event_command.h"
#include "recorder/frame_pipeline.h"
#include "recorder/recorder_monitor.h"

class CQueuedCalls;

// Passes the frame pipeline's word of motion events on to the owner's thread with the archive
// each event is recorded in, as a signal, and runs the event command at each start and end.
// The encoders' writer opens an event's archive a moment after the event begins, so a start is
// told once the recorder names its archive (or at the event's end, when none opened).
class CMotionEventRelay : public QObject {
    Q_OBJECT
public:
    // recorder outlives this object; calls is the session's queue to the owner's thread, the one
    // the recorder's events travel by, so that notes and archives arrive in the order they came.
    // camera_name: the camera an event command is told about, read when it runs.
    CMotionEventRelay(const CRecorderMonitor& recorder, CQueuedCalls& calls, std::function<std::string()> camera_name);
    // The commands still running are stopped (see CEventCommandRunner).
    ~CMotionEventRelay() override;

    // Streaming thread: the pipeline's note of an event.
    void OnNote(const MotionEventNote& note);
    // Owner's thread: the recorder opened an archive.
    void OnArchiveStarted(const std::string& path);

    // The command run at each event's start and end; empty: none.
    void SetCommand(const std::string& command) { command_ = command; }
    // Waits until the commands started so far have ended (a bounded run's end).
    void FinishCommands();

signals:
    // A motion event began (is_start) or ended, recorded in archive_path; wall_ms: when.
    void MotionEvent(bool is_start, const QString& archive_path, qint64 wall_ms);
    // What the event command did (is_failure: it failed, was killed or not run).
    void CommandReport(const QString& line, bool is_failure);

private:
    void OnEvent(bool is_start, int64_t wall_ms);
    void Tell(bool is_start, const std::string& archive_path, int64_t wall_ms);

    const CRecorderMonitor& recorder_;
    CQueuedCalls& calls_;
    const std::function<std::string()> camera_name_;
    std::string command_;
    std::unique_ptr<CEventCommandRunner> runner_;  // made for the first command
    // The event in progress and its archive.
    std::string event_archive_;
    bool is_start_pending_ = false;
    int64_t pending_start_wall_ms_ = 0;
};

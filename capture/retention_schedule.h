#pragma once

#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <string>

#include "recorder/recorder_monitor.h"
#include "storage/retention.h"

class CFrameArchive;
class CQueuedCalls;

// When the live session's archives are checked against the retention limits: once an archive is
// finished, at once when recording fails (a full disk), and once a minute while one is written or
// frames cannot be stored. A run goes off the owner's thread, one at a time; a run asked for
// during one follows it. Its result comes back through calls, in order with the session's other
// queued calls. No limit set: nothing is ever deleted.
class CRetentionSchedule : public QObject {
    Q_OBJECT
public:
    // archive and recorder outlive this object; calls is the session's queue to the owner's thread.
    CRetentionSchedule(CFrameArchive& archive, const CRecorderMonitor& recorder, CQueuedCalls& calls);
    // Waits for the run in progress: it reads the recorder's state.
    ~CRetentionSchedule() override;

    void SetLimits(const RetentionLimits& limits);
    // Runs retention now (or once more after the run in progress).
    void Run();
    // Waits for the runs asked for so far and delivers their results.
    void Finish();
    // The recorder's word: a finished archive or a failure may have passed a limit.
    void OnRecorderEvent(const RecorderEvent& event);
    // The storage folder changed: a problem found in the old one is not this one's.
    void ForgetStorageProblem();
    // Why the limits cannot be met; empty when they are.
    const std::string& StorageProblem() const { return storage_problem_; }

    // Recording thread: the disk is full; deletes the oldest archive retention may delete.
    bool MakeRoom();

signals:
    // The storage problem changed.
    void StorageProblemChanged();
    // A run has ended (deleted may be empty); its deletions have been logged.
    void Applied(const RetentionResult& result);
    // The disk was full and this archive went to make room. Logged.
    void ArchiveDeletedForRoom(const QString& path);

private:
    void OnRunDone(const RetentionResult& result);

    CFrameArchive& archive_;
    const CRecorderMonitor& recorder_;
    CQueuedCalls& calls_;
    RetentionLimits limits_;
    QTimer timer_;
    bool is_running_ = false;
    bool is_pending_ = false;
    std::string storage_problem_;
    std::string storage_problem_cause_;        // said once while it lasts
    std::atomic<bool> is_making_room_{false};  // limits are set: a full disk deletes
    QThreadPool thread_;                       // one run at a time, off the owner's thread
};

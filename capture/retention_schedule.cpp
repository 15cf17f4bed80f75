#include "capture/retention_schedule.h"

#include "capture/capture_log.h"
#include "capture/queued_calls.h"
#include "recorder/frame_archive.h"
#include "storage/byte_size.h"

namespace {

// While an archive is written, retention is checked at least this often.
constexpr int kRetentionIntervalMs = 60000;

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CRetentionSchedule::CRetentionSchedule(CFrameArchive& archive, const CRecorderMonitor& recorder, CQueuedCalls& calls)
    : archive_(archive), recorder_(recorder), calls_(calls) {
    thread_.setMaxThreadCount(1);
    timer_.setInterval(kRetentionIntervalMs);
    connect(&timer_, &QTimer::timeout, this, [this] {
        // While recording, and while frames cannot be stored (a full disk may need room made again).
        const CRecorderMonitor::Status status = recorder_.GetStatus();
        if (!status.open_path.empty() || !status.failure_cause.empty()) Run();
    });
    timer_.start();
}

CRetentionSchedule::~CRetentionSchedule() { thread_.waitForDone(); }

void CRetentionSchedule::SetLimits(const RetentionLimits& limits) {
    limits_ = limits;
    is_making_room_.store(limits.IsAnySet());
    if (!limits.IsAnySet() && !storage_problem_.empty()) {
        ForgetStorageProblem();
        emit StorageProblemChanged();
    }
}

void CRetentionSchedule::ForgetStorageProblem() {
    storage_problem_.clear();
    storage_problem_cause_.clear();
}

void CRetentionSchedule::OnRecorderEvent(const RecorderEvent& event) {
    // A full disk: room is made at once, and the next frame is stored again.
    if (event.kind == RecorderEvent::Kind::kFailed || event.kind == RecorderEvent::Kind::kFileFinished) Run();
}

void CRetentionSchedule::Run() {
    if (!limits_.IsAnySet()) return;
    if (is_running_) {
        is_pending_ = true;
        return;
    }
    is_running_ = true;
    RetentionRun run;
    run.limits = limits_;
    const std::string folder = archive_.GetStorageFolder();
    StartHandedOver(thread_, [this, folder, run]() mutable {
        // Read here: an archive begun since the request is kept too.
        const std::string open_path = recorder_.GetStatus().open_path;
        if (!open_path.empty()) run.open_paths.push_back(open_path);
        const RetentionResult result = ApplyRetention(folder, run);
        calls_.Post([this, result] { OnRunDone(result); });
    });
}

bool CRetentionSchedule::MakeRoom() {
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
    calls_.Post([this, path = *deleted] {
        qCWarning(lcStorage).noquote() << "deleted" << Text(path) << "to make room on the full disk";
        emit ArchiveDeletedForRoom(Text(path));
    });
    return true;
}

void CRetentionSchedule::Finish() {
    while (is_running_) {
        thread_.waitForDone();
        calls_.RunPosted();  // its result, and any run it asks for
    }
}

void CRetentionSchedule::OnRunDone(const RetentionResult& result) {
    is_running_ = false;
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
        emit StorageProblemChanged();
    }
    emit Applied(result);
    if (is_pending_) {
        is_pending_ = false;
        Run();
    }
}

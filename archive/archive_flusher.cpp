#include "archive/archive_flusher.h"

#include <fcntl.h>

CArchiveFlusher::CArchiveFlusher(FileSync sync) : sync_(std::move(sync)) {}

CArchiveFlusher::~CArchiveFlusher() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        is_stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void CArchiveFlusher::Started(uint32_t now_ms) { last_flush_ms_ = now_ms; }

void CArchiveFlusher::Appended(int fd, uint32_t now_ms) {
    if (static_cast<uint32_t>(now_ms - last_flush_ms_) < kIntervalMs) return;
    last_flush_ms_ = now_ms;
    {
        // One flush waiting is enough: it takes whatever was written before it runs.
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const Job& job : jobs_) {
            if (!job.is_final) return;
        }
    }
    // A descriptor of its own: the recorder may close its one while the flush runs.
    UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!own.IsOpen()) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (failure_.empty()) failure_ = ErrnoMessage("cannot flush the archive");
        return;
    }
    Enqueue(Job{std::move(own), false, {}});
}

void CArchiveFlusher::Finished(UniqueFd fd, std::vector<std::string> folders) {
    Enqueue(Job{std::move(fd), true, std::move(folders)});
}

void CArchiveFlusher::Enqueue(Job job) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        if (!worker_.joinable()) worker_ = std::thread(&CArchiveFlusher::Run, this);
    }
    changed_.notify_all();
}

void CArchiveFlusher::WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !is_busy_; });
}

std::string CArchiveFlusher::TakeFailure() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(failure_, std::string());
}

void CArchiveFlusher::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return is_stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and nothing is left to do
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        is_busy_ = true;
        lock.unlock();
        Do(job);
        lock.lock();
        is_busy_ = false;
        changed_.notify_all();
    }
}

void CArchiveFlusher::Do(Job& job) {
    std::string failure;
    if (!sync_.data_sync(job.fd.Get())) failure = ErrnoMessage("cannot flush the archive");
    if (job.is_final) {
        if (!job.fd.Close() && failure.empty()) failure = ErrnoMessage("cannot close the archive");
        for (const std::string& folder : job.folders) {
            if (!sync_.sync_folder(folder) && failure.empty())
                failure = ErrnoMessage("cannot flush the folder " + folder);
        }
    }
    if (failure.empty()) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = failure;
}

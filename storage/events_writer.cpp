#include "storage/events_writer.h"

CEventsWriter::CEventsWriter(std::function<void(const std::string&)> on_failure)
    : on_failure_(std::move(on_failure)), thread_([this] { Run(); }) {}

CEventsWriter::~CEventsWriter() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        is_stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void CEventsWriter::Submit(const std::string& storage_folder, const StoredEvent& event) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_.size() >= kMaxQueued) jobs_.pop_front();
        jobs_.push_back(Job{storage_folder, event});
    }
    wake_.notify_all();
}

void CEventsWriter::WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return jobs_.empty() && !is_writing_; });
}

void CEventsWriter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return is_stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) break;  // stopping, and everything is written
        const Job job = std::move(jobs_.front());
        jobs_.pop_front();
        is_writing_ = true;
        lock.unlock();
        Write(job);
        lock.lock();
        is_writing_ = false;
        if (jobs_.empty()) idle_.notify_all();
    }
    idle_.notify_all();
}

void CEventsWriter::Write(const Job& job) {
    std::string error;
    StoredEvent event = job.event;
    bool is_written = false;
    if (open_folder_ != job.storage_folder || !database_.IsOpen()) {
        std::string set_aside;
        open_folder_ = job.storage_folder;
        if (database_.Open(job.storage_folder, error, &set_aside) && !set_aside.empty() && on_failure_) {
            on_failure_("the damaged events database was set aside as " + set_aside +
                        "; cindral-cli detect --index lists the older events again");
        }
    }
    if (database_.IsOpen()) is_written = database_.Add(event, error);
    if (is_written) {
        is_failure_told_ = false;
        return;
    }
    if (!database_.IsOpen()) open_folder_.clear();  // tried again with the next event
    if (!is_failure_told_ && on_failure_) on_failure_("events are recorded but not listed: " + error);
    is_failure_told_ = true;
}

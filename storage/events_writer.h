#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "storage/events_database.h"

// Writes events into the events database of their storage folder on a thread of its own, so that
// neither the streaming thread nor the window waits for the disk. At most kMaxQueued events wait;
// beyond that the oldest waiting one is let go (the archives still hold it, and a rebuild lists
// it). The first failure is told once through on_failure (from the writer's thread); later ones
// only after a write has worked again.
class CEventsWriter {
public:
    static constexpr size_t kMaxQueued = 256;

    explicit CEventsWriter(std::function<void(const std::string&)> on_failure = {});
    // Writes what is waiting, then stops.
    ~CEventsWriter();
    CEventsWriter(const CEventsWriter&) = delete;
    CEventsWriter& operator=(const CEventsWriter&) = delete;

    // Any thread.
    void Submit(const std::string& storage_folder, const StoredEvent& event);
    // Waits until every event submitted so far is written or failed.
    void WaitIdle();

private:
    struct Job {
        std::string storage_folder;
        StoredEvent event;
    };
    void Run();
    void Write(const Job& job);

    std::function<void(const std::string&)> on_failure_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool is_writing_ = false;
    bool is_stopping_ = false;
    // The writer thread's own.
    CEventsDatabase database_;
    std::string open_folder_;
    bool is_failure_told_ = false;
    std::thread thread_;
};

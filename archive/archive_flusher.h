#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_file.h"

// Takes the disk flushes of the archive being recorded off the recording thread: about once a
// second the file's data is flushed, so a power cut loses at most about the last second, and a
// finished file is flushed, closed and its folders flushed, all on a thread of its own, so the
// thread that records never waits for the disk. Flushes come in the order they were asked for.
class CArchiveFlusher {
public:
    static constexpr uint32_t kIntervalMs = 1000;

    explicit CArchiveFlusher(FileSync sync = FileSync::System());
    // Does everything handed over first.
    ~CArchiveFlusher();
    CArchiveFlusher(const CArchiveFlusher&) = delete;
    CArchiveFlusher& operator=(const CArchiveFlusher&) = delete;

    // A new file began at now_ms (milliseconds of a clock that wraps at 2^32).
    void Started(uint32_t now_ms);
    // A record was appended to fd at now_ms: a flush is asked for once the last is kIntervalMs old.
    void Appended(int fd, uint32_t now_ms);
    // The file is complete: flushed, closed, then the folders (its own first) flushed.
    void Finished(UniqueFd fd, std::vector<std::string> folders);
    // Waits until everything asked for so far has been done.
    void WaitIdle();
    // The first flush failure since the last call ("cannot flush ...: Input/output error"); empty when none.
    std::string TakeFailure();

private:
    struct Job {
        UniqueFd fd;
        bool is_final = false;
        std::vector<std::string> folders;
    };
    void Enqueue(Job job);
    void Run();
    void Do(Job& job);

    FileSync sync_;
    uint32_t last_flush_ms_ = 0;  // recording thread only

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool is_busy_ = false;
    bool is_stopping_ = false;
    std::string failure_;
    std::thread worker_;  // started with the first job
};

#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Runs the user's command at an event's start and end: through /bin/sh -c, with variables added
// to its environment, one after the other on a thread of its own, so that neither the streaming
// thread nor the user-interface thread ever waits for it. A command that runs too long is killed
// with its process group; how each one ended is told to the log handler.
class CEventCommandRunner {
public:
    using Variables = std::vector<std::pair<std::string, std::string>>;
    // line: what happened, naming the command; is_failure: it failed, was killed or was dropped.
    using LogHandler = std::function<void(const std::string& line, bool is_failure)>;

    static constexpr int64_t kTimeLimitMs = 60000;
    static constexpr size_t kMaxWaiting = 16;

    explicit CEventCommandRunner(LogHandler log, int64_t time_limit_ms = kTimeLimitMs);
    // Kills the command still running and forgets those waiting.
    ~CEventCommandRunner();
    CEventCommandRunner(const CEventCommandRunner&) = delete;
    CEventCommandRunner& operator=(const CEventCommandRunner&) = delete;

    // Queues a run; false (and logged) when kMaxWaiting runs are already waiting.
    bool Run(std::string command, Variables variables);
    // Waits until every queued run has ended.
    void WaitIdle();

private:
    struct Request {
        std::string command;
        Variables variables;
    };
    void Work();
    void Execute(const Request& request);

    const LogHandler log_;
    const int64_t time_limit_ms_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> waiting_;
    bool is_running_ = false;
    bool is_stopping_ = false;
    std::thread worker_;
};

// ISO 8601 local time with its offset from UTC: 2026-12-07T18:04:05+01:00.
std::string IsoLocalTime(int64_t wall_ms);

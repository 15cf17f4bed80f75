#pragma once

#include <sys/types.h>

#include <chrono>
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
// to its environment, each run on its own and in a process group of its own, started and
// watched by a thread of the runner, so that neither the streaming thread nor the user-interface
// thread ever waits for one, and a command that hangs holds up no other. A command that runs too
// long is killed with its process group; how each one ended is told to the log handler. At most
// max_running run at once: a run asked for beyond that is not started (and said), never queued.
class CEventCommandRunner {
public:
    using Variables = std::vector<std::pair<std::string, std::string>>;
    // line: what happened, naming the command; is_failure: it failed, was killed or was not run.
    using LogHandler = std::function<void(const std::string& line, bool is_failure)>;

    static constexpr int64_t kTimeLimitMs = 60000;
    static constexpr size_t kMaxRunning = 8;

    explicit CEventCommandRunner(LogHandler log, int64_t time_limit_ms = kTimeLimitMs,
                                 size_t max_running = kMaxRunning);
    // Kills the commands still running (with their groups) and waits for them.
    ~CEventCommandRunner();
    CEventCommandRunner(const CEventCommandRunner&) = delete;
    CEventCommandRunner& operator=(const CEventCommandRunner&) = delete;

    // Starts a run at once; false (and logged) when max_running runs have not ended yet.
    bool Run(std::string command, Variables variables);
    // Waits until every run asked for so far has ended.
    void WaitIdle();

private:
    struct Request {
        std::string command;
        Variables variables;
    };
    struct Child {
        pid_t pid = 0;
        std::string command;
        std::chrono::steady_clock::time_point deadline;
        bool is_killed = false;
    };
    void Work();
    // Spawns the command; false (and logged) when it cannot be started.
    bool Start(const Request& request, Child& child);
    // Reaps the children that ended and kills those past their time; is_stopping kills them all
    // and waits for each.
    void Watch(std::vector<Child>& children, bool is_stopping);
    void Say(const std::string& what, const std::string& command, bool is_failure);

    const LogHandler log_;
    const int64_t time_limit_ms_;
    const size_t max_running_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> starting_;  // asked for, taken by the worker at once
    size_t unfinished_ = 0;         // asked for and not yet ended
    bool is_stopping_ = false;
    std::thread worker_;
};

// ISO 8601 local time with its offset from UTC: 2026-12-07T18:04:05+01:00.
std::string IsoLocalTime(int64_t wall_ms);

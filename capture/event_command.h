#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix_file.h"

// Runs the user's command at an event's start and end: through /bin/sh -c, with variables added
// to its environment, each run on its own and in a process group of its own, started and
// watched by a thread of the runner, so that neither the streaming thread nor the user-interface
// thread ever waits for one, and a command that hangs holds up no other. A command that runs too
// long is killed with its process group; how each one ended is told to the log handler. At most
// max_running run at once: a run asked for beyond that is not started (and said), never queued.
//
// A command reads /dev/null and writes into a pipe of the runner, never into the caller's
// standard output or error: each line it writes is told to the log handler with one prefix, up
// to kMaxOutputBytes a run, and a command that leaves a process behind holds none of the
// caller's files open. It inherits no other descriptor of the caller.
class CEventCommandRunner {
public:
    using Variables = std::vector<std::pair<std::string, std::string>>;
    // line: what happened, naming the command, or a line the command wrote; is_failure: it
    // failed, was killed or was not run.
    using LogHandler = std::function<void(const std::string& line, bool is_failure)>;

    static constexpr int64_t kTimeLimitMs = 60000;
    static constexpr size_t kMaxRunning = 8;
    // At the end: a command just started (the last event's end) gets this long to finish by
    // itself, then SIGTERM, then SIGKILL kStopGraceMs later.
    static constexpr int64_t kFinishWaitMs = 1000;
    static constexpr int64_t kStopGraceMs = 5000;
    static constexpr size_t kMaxOutputBytes = 4096;
    static constexpr size_t kMaxOutputLineBytes = 400;
    static constexpr const char* kOutputPrefix = "event command output: ";

    explicit CEventCommandRunner(LogHandler log, int64_t time_limit_ms = kTimeLimitMs, size_t max_running = kMaxRunning,
                                 int64_t finish_wait_ms = kFinishWaitMs, int64_t stop_grace_ms = kStopGraceMs);
    // The commands still running get SIGTERM with their groups at once, SIGKILL stop_grace_ms
    // later; returns when they have ended.
    ~CEventCommandRunner();
    CEventCommandRunner(const CEventCommandRunner&) = delete;
    CEventCommandRunner& operator=(const CEventCommandRunner&) = delete;

    // Starts a run at once; false (and logged) when max_running runs have not ended yet.
    bool Run(std::string command, Variables variables);
    // The end of the caller's run: waits until every run asked for so far has ended. One still
    // running after finish_wait_ms gets SIGTERM with its group, and SIGKILL stop_grace_ms after
    // that, so the wait is bounded by the two.
    void WaitIdle();

private:
    struct Request {
        std::string command;
        Variables variables;
    };
    using Clock = std::chrono::steady_clock;
    struct Child {
        pid_t pid = 0;
        std::string command;
        Clock::time_point deadline;
        bool is_killed = false;                      // SIGKILL sent
        std::optional<Clock::time_point> stop_sent;  // SIGTERM sent at the end
        UniqueFd output;                             // read end of the command's standard output and error
        std::string line;                            // the output line being gathered
        size_t output_bytes = 0;                     // of its output, told or not
    };
    void Work();
    // Spawns the command; false (and logged) when it cannot be started.
    bool Start(const Request& request, Child& child);
    // Reads what the children wrote, waiting up to wait_ms for some.
    void ReadOutput(std::vector<Child>& children, int wait_ms);
    void ReadOutputOf(Child& child);
    void TellOutputLine(Child& child);
    // Reaps the children that ended, kills those past their time and, from stop_at on, stops the
    // rest: SIGTERM, then SIGKILL stop_grace_ms later.
    void Watch(std::vector<Child>& children, std::optional<Clock::time_point> stop_at);
    void Say(const std::string& what, const std::string& command, bool is_failure);

    const LogHandler log_;
    const int64_t time_limit_ms_;
    const size_t max_running_;
    const int64_t finish_wait_ms_;
    const int64_t stop_grace_ms_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> starting_;              // asked for, taken by the worker at once
    size_t unfinished_ = 0;                     // asked for and not yet ended
    std::optional<Clock::time_point> stop_at_;  // from then on the running commands are stopped
    bool is_stopping_ = false;                  // the runner ends
    std::thread worker_;
};

// ISO 8601 local time with its offset from UTC: 2026-12-07T18:04:05+01:00.
std::string IsoLocalTime(int64_t wall_ms);

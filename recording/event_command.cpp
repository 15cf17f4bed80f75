#include "recording/event_command.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>

#include "platform/posix_file.h"

extern char** environ;

namespace {

constexpr int64_t kPollMs = 20;

// The environment of the command: ours, with the variables replaced or added.
std::vector<std::string> EnvironmentWith(const CEventCommandRunner::Variables& variables) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool is_replaced = false;
        for (const auto& [name, value] : variables) {
            if (text.compare(0, name.size() + 1, name + "=") == 0) is_replaced = true;
        }
        if (!is_replaced) entries.push_back(text);
    }
    for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
    return entries;
}

std::string Quoted(const std::string& command) { return "'" + command + "'"; }

}  // namespace

CEventCommandRunner::CEventCommandRunner(LogHandler log, int64_t time_limit_ms)
    : log_(std::move(log)), time_limit_ms_(time_limit_ms), worker_([this] { Work(); }) {}

CEventCommandRunner::~CEventCommandRunner() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        is_stopping_ = true;
        waiting_.clear();
    }
    wake_.notify_all();
    worker_.join();
}

bool CEventCommandRunner::Run(std::string command, Variables variables) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() < kMaxWaiting) {
            waiting_.push_back(Request{std::move(command), std::move(variables)});
            wake_.notify_all();
            return true;
        }
    }
    if (log_)
        log_("event command not run: " + std::to_string(kMaxWaiting) + " runs are waiting already: " + Quoted(command),
             true);
    return false;
}

void CEventCommandRunner::WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return (waiting_.empty() && !is_running_) || is_stopping_; });
}

void CEventCommandRunner::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return is_stopping_ || !waiting_.empty(); });
        if (is_stopping_) return;
        Request request = std::move(waiting_.front());
        waiting_.pop_front();
        is_running_ = true;
        lock.unlock();
        Execute(request);
        lock.lock();
        is_running_ = false;
        wake_.notify_all();
    }
}

void CEventCommandRunner::Execute(const Request& request) {
    const auto say = [this, &request](const std::string& what, bool is_failure) {
        if (log_) log_("event command " + what + ": " + Quoted(request.command), is_failure);
    };
    std::vector<std::string> environment = EnvironmentWith(request.variables);
    std::vector<char*> env_pointers;
    for (std::string& entry : environment) env_pointers.push_back(entry.data());
    env_pointers.push_back(nullptr);
    std::string shell = "/bin/sh";
    std::string dash_c = "-c";
    std::string command = request.command;
    char* argv[] = {shell.data(), dash_c.data(), command.data(), nullptr};

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return say("cannot be prepared", true);
    // A group of its own, so that a command that runs too long is killed with its children.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, shell.c_str(), nullptr, &attributes, argv, env_pointers.data());
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return say("cannot be started: " + ErrnoText(spawned), true);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(time_limit_ms_);
    int status = 0;
    bool is_killed = false;
    bool is_stopped = false;
    while (true) {
        const pid_t waited = ::waitpid(pid, &status, WNOHANG);
        if (waited == pid) break;
        if (waited < 0 && errno != EINTR) return say("cannot be waited for: " + ErrnoText(errno), true);
        if (!is_killed) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(kPollMs), [this] { return is_stopping_; });
            is_stopped = is_stopping_;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        if (!is_killed && (is_stopped || std::chrono::steady_clock::now() >= deadline)) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            is_killed = true;
        }
    }
    if (is_killed) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", time_limit_ms_ / 1000.0);
        say(is_stopped ? std::string("killed: the program ends") : std::string("killed after ") + limit + " s", true);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        say("exited with status " + std::to_string(WEXITSTATUS(status)), true);
    } else if (WIFSIGNALED(status)) {
        say(std::string("ended by signal ") + strsignal(WTERMSIG(status)), true);
    } else {
        say("done", false);
    }
}

std::string IsoLocalTime(int64_t wall_ms) {
    const std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return {};
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset_minutes = local.tm_gmtoff / 60;
    char offset[40];
    std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", offset_minutes < 0 ? '-' : '+',
                  std::labs(offset_minutes) / 60, std::labs(offset_minutes) % 60);
    return std::string(text) + offset;
}

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
    for (const auto& [name, value] : variables) entries.push_back(std::string(name).append("=").append(value));
    return entries;
}

std::string Quoted(const std::string& command) { return "'" + command + "'"; }

}  // namespace

CEventCommandRunner::CEventCommandRunner(LogHandler log, int64_t time_limit_ms, size_t max_running)
    : log_(std::move(log)), time_limit_ms_(time_limit_ms), max_running_(max_running), worker_([this] { Work(); }) {}

CEventCommandRunner::~CEventCommandRunner() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        is_stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

bool CEventCommandRunner::Run(std::string command, Variables variables) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (unfinished_ < max_running_ && !is_stopping_) {
            ++unfinished_;
            starting_.push_back(Request{std::move(command), std::move(variables)});
            wake_.notify_all();
            return true;
        }
    }
    Say("not run: " + std::to_string(max_running_) + " are running already", command, true);
    return false;
}

void CEventCommandRunner::WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return unfinished_ == 0 || is_stopping_; });
}

void CEventCommandRunner::Work() {
    std::vector<Child> children;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!is_stopping_) {
        while (!starting_.empty()) {
            const Request request = std::move(starting_.front());
            starting_.pop_front();
            lock.unlock();
            Child child;
            const bool is_started = Start(request, child);
            if (is_started) children.push_back(std::move(child));
            lock.lock();
            if (!is_started) --unfinished_;
        }
        // Nothing to watch: sleep until asked; else look at the children every kPollMs.
        const auto is_woken = [this] { return is_stopping_ || !starting_.empty(); };
        if (children.empty()) {
            wake_.notify_all();
            wake_.wait(lock, is_woken);
            continue;
        }
        wake_.wait_for(lock, std::chrono::milliseconds(kPollMs), is_woken);
        const size_t before = children.size();
        lock.unlock();
        Watch(children, false);
        lock.lock();
        unfinished_ -= before - children.size();
        if (children.size() < before) wake_.notify_all();
    }
    // Stopping: what was asked and not started is forgotten, what runs is killed.
    unfinished_ -= starting_.size();
    starting_.clear();
    lock.unlock();
    Watch(children, true);
    lock.lock();
    unfinished_ = 0;
    wake_.notify_all();
}

bool CEventCommandRunner::Start(const Request& request, Child& child) {
    std::vector<std::string> environment = EnvironmentWith(request.variables);
    std::vector<char*> env_pointers;
    env_pointers.reserve(environment.size() + 1);
    for (std::string& entry : environment) env_pointers.push_back(entry.data());
    env_pointers.push_back(nullptr);
    std::string shell = "/bin/sh";
    std::string dash_c = "-c";
    std::string command = request.command;
    char* argv[] = {shell.data(), dash_c.data(), command.data(), nullptr};

    posix_spawnattr_t attributes;
    const int prepared = posix_spawnattr_init(&attributes);
    if (prepared != 0) {
        Say("cannot be prepared: " + ErrnoText(prepared), request.command, true);
        return false;
    }
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
    if (spawned != 0) {
        Say("cannot be started: " + ErrnoText(spawned), request.command, true);
        return false;
    }
    child.pid = pid;
    child.command = request.command;
    child.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(time_limit_ms_);
    return true;
}

void CEventCommandRunner::Watch(std::vector<Child>& children, bool is_stopping) {
    const auto now = std::chrono::steady_clock::now();
    for (auto child = children.begin(); child != children.end();) {
        // The group is killed while its leader is not yet reaped, so its id cannot have been reused.
        if (!child->is_killed && (is_stopping || now >= child->deadline)) {
            ::kill(-child->pid, SIGKILL);
            ::kill(child->pid, SIGKILL);
            child->is_killed = true;
        }
        int status = 0;
        pid_t waited = 0;
        do {
            waited = ::waitpid(child->pid, &status, is_stopping ? 0 : WNOHANG);
        } while (waited < 0 && errno == EINTR);
        if (waited == 0) {
            ++child;
            continue;
        }
        if (waited < 0) {
            Say("cannot be waited for: " + ErrnoText(errno), child->command, true);
        } else if (child->is_killed) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", time_limit_ms_ / 1000.0);
            Say(is_stopping ? std::string("killed: the program ends") : std::string("killed after ") + limit + " s",
                child->command, true);
        } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
            Say("exited with status " + std::to_string(WEXITSTATUS(status)), child->command, true);
        } else if (WIFSIGNALED(status)) {
            Say(std::string("ended by signal ") + strsignal(WTERMSIG(status)), child->command, true);
        } else {
            Say("done", child->command, false);
        }
        child = children.erase(child);
    }
}

void CEventCommandRunner::Say(const std::string& what, const std::string& command, bool is_failure) {
    if (log_) log_("event command " + what + ": " + Quoted(command), is_failure);
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

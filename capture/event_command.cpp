#include "capture/event_command.h"

#include <fcntl.h>
#include <poll.h>
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

// Owners of posix_spawn's file actions and attributes.
class SpawnFileActions {
public:
    SpawnFileActions() : error_(posix_spawn_file_actions_init(&actions_)) {}
    ~SpawnFileActions() {
        if (error_ == 0) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    bool IsReady() const { return error_ == 0; }
    int Error() const { return error_; }
    posix_spawn_file_actions_t* Get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    int error_;
};

class SpawnAttributes {
public:
    SpawnAttributes() : error_(posix_spawnattr_init(&attributes_)) {}
    ~SpawnAttributes() {
        if (error_ == 0) posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool IsReady() const { return error_ == 0; }
    int Error() const { return error_; }
    posix_spawnattr_t* Get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    int error_;
};

}  // namespace

CEventCommandRunner::CEventCommandRunner(LogHandler log, int64_t time_limit_ms, size_t max_running,
                                         int64_t finish_wait_ms, int64_t stop_grace_ms)
    : log_(std::move(log)),
      time_limit_ms_(time_limit_ms),
      max_running_(max_running),
      finish_wait_ms_(finish_wait_ms),
      stop_grace_ms_(stop_grace_ms),
      worker_([this] { Work(); }) {}

CEventCommandRunner::~CEventCommandRunner() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        is_stopping_ = true;
        stop_at_ = Clock::now();
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
    if (!stop_at_) stop_at_ = Clock::now() + std::chrono::milliseconds(finish_wait_ms_);
    wake_.notify_all();
    wake_.wait(lock, [this] { return unfinished_ == 0 || is_stopping_; });
    if (!is_stopping_) stop_at_.reset();
}

void CEventCommandRunner::Work() {
    std::vector<Child> children;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        if (is_stopping_) {
            // What was asked and not started is forgotten, what runs is stopped.
            unfinished_ -= starting_.size();
            starting_.clear();
        }
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
        if (children.empty()) {
            wake_.notify_all();
            if (is_stopping_) break;
            // Nothing to watch: sleep until asked.
            wake_.wait(lock, [this] { return is_stopping_ || !starting_.empty(); });
            continue;
        }
        const std::optional<Clock::time_point> stop_at = stop_at_;
        const size_t before = children.size();
        lock.unlock();
        ReadOutput(children, static_cast<int>(kPollMs));
        Watch(children, stop_at);
        lock.lock();
        unfinished_ -= before - children.size();
        if (children.size() < before) wake_.notify_all();
    }
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

    // The command's output comes to us; the write end is the command's alone.
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        Say("cannot be started: " + ErrnoMessage("no pipe for its output"), request.command, true);
        return false;
    }
    UniqueFd output(pipe_ends[0]);
    UniqueFd output_write(pipe_ends[1]);
    if (::fcntl(output.Get(), F_SETFL, O_NONBLOCK) != 0) {
        Say("cannot be started: " + ErrnoMessage("cannot set up its output"), request.command, true);
        return false;
    }
    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!actions.IsReady() || !attributes.IsReady()) {
        Say("cannot be prepared: " + ErrnoText(actions.IsReady() ? attributes.Error() : actions.Error()),
            request.command, true);
        return false;
    }
    // Standard input from /dev/null, output and errors into the pipe, nothing else of ours.
    int prepared = posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (prepared == 0) prepared = posix_spawn_file_actions_adddup2(actions.Get(), output_write.Get(), STDOUT_FILENO);
    if (prepared == 0) prepared = posix_spawn_file_actions_adddup2(actions.Get(), output_write.Get(), STDERR_FILENO);
    if (prepared == 0) prepared = posix_spawn_file_actions_addclosefrom_np(actions.Get(), STDERR_FILENO + 1);
    // A group of its own, so that a command that runs too long is stopped with its children.
    if (prepared == 0)
        prepared = posix_spawnattr_setflags(attributes.Get(),
                                            POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (prepared == 0) prepared = posix_spawnattr_setpgroup(attributes.Get(), 0);
    sigset_t none;
    sigemptyset(&none);
    if (prepared == 0) prepared = posix_spawnattr_setsigmask(attributes.Get(), &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    if (prepared == 0) prepared = posix_spawnattr_setsigdefault(attributes.Get(), &defaults);
    if (prepared != 0) {
        Say("cannot be prepared: " + ErrnoText(prepared), request.command, true);
        return false;
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, shell.c_str(), actions.Get(), attributes.Get(), argv, env_pointers.data());
    if (spawned != 0) {
        Say("cannot be started: " + ErrnoText(spawned), request.command, true);
        return false;
    }
    child.pid = pid;
    child.command = request.command;
    child.deadline = Clock::now() + std::chrono::milliseconds(time_limit_ms_);
    child.output = std::move(output);
    return true;
}

void CEventCommandRunner::ReadOutput(std::vector<Child>& children, int wait_ms) {
    std::vector<pollfd> watched;
    std::vector<Child*> owners;
    for (Child& child : children) {
        if (!child.output.IsOpen()) continue;
        watched.push_back(pollfd{child.output.Get(), POLLIN, 0});
        owners.push_back(&child);
    }
    int ready = 0;
    do {
        ready = ::poll(watched.data(), watched.size(), wait_ms);
    } while (ready < 0 && errno == EINTR);
    for (size_t i = 0; ready > 0 && i < watched.size(); ++i) {
        if (watched[i].revents != 0) ReadOutputOf(*owners[i]);
    }
}

void CEventCommandRunner::ReadOutputOf(Child& child) {
    // Bounded in one go, so that a command writing without end holds up no other.
    char buffer[16384];
    for (int round = 0; round < 64 && child.output.IsOpen(); ++round) {
        const ssize_t got = ::read(child.output.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got <= 0) {  // the end, or an error: nothing more to read
            if (!child.line.empty()) TellOutputLine(child);
            child.output.Close();
            return;
        }
        for (ssize_t i = 0; i < got; ++i) {
            const size_t told_before = child.output_bytes;
            ++child.output_bytes;
            if (told_before >= kMaxOutputBytes) continue;  // past the cap: counted only
            const char c = buffer[i];
            if (c == '\n') {
                TellOutputLine(child);
                continue;
            }
            // Nothing the command writes can steer the terminal the log goes to.
            const bool is_control = (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
            if (child.line.size() < kMaxOutputLineBytes) child.line += is_control ? '?' : c;
            if (child.output_bytes == kMaxOutputBytes) TellOutputLine(child);
        }
    }
}

void CEventCommandRunner::TellOutputLine(Child& child) {
    if (log_) log_(kOutputPrefix + child.line, false);
    child.line.clear();
}

void CEventCommandRunner::Watch(std::vector<Child>& children, std::optional<Clock::time_point> stop_at) {
    const auto now = Clock::now();
    for (auto child = children.begin(); child != children.end();) {
        // The group is signalled while its leader is not yet reaped, so its id cannot have been reused.
        const bool is_past_limit = now >= child->deadline && !child->stop_sent;
        const bool is_past_grace =
            child->stop_sent && now >= *child->stop_sent + std::chrono::milliseconds(stop_grace_ms_);
        if (!child->is_killed && (is_past_limit || is_past_grace)) {
            ::kill(-child->pid, SIGKILL);
            ::kill(child->pid, SIGKILL);
            child->is_killed = true;
        } else if (!child->is_killed && !child->stop_sent && stop_at && now >= *stop_at) {
            ::kill(-child->pid, SIGTERM);
            ::kill(child->pid, SIGTERM);
            child->stop_sent = now;
        }
        int status = 0;
        pid_t waited = 0;
        do {
            waited = ::waitpid(child->pid, &status, WNOHANG);
        } while (waited < 0 && errno == EINTR);
        if (waited == 0) {
            ++child;
            continue;
        }
        // What it wrote before it ended; whatever it left running keeps the pipe's other end, and
        // is not waited for.
        if (child->output.IsOpen()) ReadOutputOf(*child);
        if (!child->line.empty()) TellOutputLine(*child);
        child->output.Close();
        if (child->output_bytes > kMaxOutputBytes) {
            if (log_)
                log_(kOutputPrefix + std::string("... ") + std::to_string(child->output_bytes - kMaxOutputBytes) +
                         " more bytes not shown",
                     false);
        }
        const bool is_ended_by_us = child->stop_sent && (child->is_killed || WIFSIGNALED(status));
        if (waited < 0) {
            Say("cannot be waited for: " + ErrnoText(errno), child->command, true);
        } else if (is_ended_by_us) {
            Say("killed: the program ends", child->command, true);
        } else if (child->is_killed) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", time_limit_ms_ / 1000.0);
            Say(std::string("killed after ") + limit + " s", child->command, true);
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

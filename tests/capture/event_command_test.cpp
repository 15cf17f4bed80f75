#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/event_command.h"
#include "support/files.h"
#include "support/temp_folder.h"
#include "support/wait.h"

namespace {

struct LogLines {
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> lines;
    CEventCommandRunner::LogHandler Handler() {
        return [this](const std::string& line, bool is_failure) {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.emplace_back(line, is_failure);
        };
    }
};

// Reaped by init soon after its death.
bool IsGone(pid_t pid) {
    return WaitUntil([&] { return ::kill(pid, 0) != 0; }, 10000);
}

TEST(EventCommandTest, CommandSeesTheEventInItsEnvironmentAndItsExitStatusIsLogged) {
    TempFolder folder;
    LogLines log;
    CEventCommandRunner runner(log.Handler());
    const std::string out = folder.File("seen");
    // A variable of ours inherited from whoever started the program is replaced, not doubled:
    // the shell would hide a second entry, the environment it was given does not.
    const char* inherited = std::getenv("CINDRAL_EVENT");
    const std::string previous = inherited != nullptr ? inherited : "";
    ::setenv("CINDRAL_EVENT", "stale", 1);
    ASSERT_TRUE(
        runner.Run("printf '%s|%s|%s|%s\\n' \"$CINDRAL_EVENT\" \"$CINDRAL_ARCHIVE\" \"$CINDRAL_TIME\" "
                   "\"$CINDRAL_CAMERA\" >> '" +
                       out + "'; tr '\\0' '\\n' < /proc/$$/environ | grep -c '^CINDRAL_EVENT=' >> '" + out + "'",
                   {{"CINDRAL_EVENT", "start"},
                    {"CINDRAL_ARCHIVE", "/rec/20261207/42.CNA"},
                    {"CINDRAL_TIME", "2026-12-07T18:04:05+01:00"},
                    {"CINDRAL_CAMERA", "Front door"}}));
    ASSERT_TRUE(runner.Run("exit 3", {}));
    runner.WaitIdle();
    if (inherited != nullptr)
        ::setenv("CINDRAL_EVENT", previous.c_str(), 1);
    else
        ::unsetenv("CINDRAL_EVENT");
    EXPECT_EQ("start|/rec/20261207/42.CNA|2026-12-07T18:04:05+01:00|Front door\n1\n", ReadWholeFile(out));
    // The two ran side by side: either may have ended first.
    ASSERT_EQ(2u, log.lines.size());
    std::sort(log.lines.begin(), log.lines.end());
    EXPECT_EQ("event command exited with status 3: 'exit 3'", log.lines[1].first);
    EXPECT_TRUE(log.lines[1].second);
    EXPECT_EQ(0u, log.lines[0].first.find("event command done: 'printf")) << log.lines[0].first;
    EXPECT_FALSE(log.lines[0].second);
}

TEST(EventCommandTest, CommandOverItsTimeLimitIsKilledWithItsChildren) {
    TempFolder folder;
    LogLines log;
    CEventCommandRunner runner(log.Handler(), 300);
    const std::string pid_file = folder.File("pid");
    const auto started = std::chrono::steady_clock::now();
    // The shell's child would outlive a kill of the shell alone.
    ASSERT_TRUE(runner.Run("sleep 30 & echo $! > '" + pid_file + "'; wait", {}));
    runner.WaitIdle();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    ASSERT_EQ(1u, log.lines.size());
    EXPECT_EQ("event command killed after 0.3 s: 'sleep 30 & echo $! > '" + pid_file + "'; wait'", log.lines[0].first);
    EXPECT_TRUE(IsGone(std::stoi(ReadWholeFile(pid_file))));
}

TEST(EventCommandTest, AHungCommandHoldsUpNoOtherAndTheExcessIsSaidNotQueued) {
    TempFolder folder;
    LogLines log;
    const std::string hung_pid = folder.File("hung.pid");
    const std::string other_pid = folder.File("other.pid");
    const std::string done = folder.File("done");
    {
        CEventCommandRunner runner(log.Handler(), 120000, 2);
        ASSERT_TRUE(runner.Run("sleep 120 & echo $! > '" + hung_pid + "'; wait", {{"CINDRAL_EVENT", "start"}}));
        ASSERT_TRUE(runner.Run("touch '" + done + "'", {{"CINDRAL_EVENT", "end"}}));
        // The end command is done while the start command still hangs.
        ASSERT_TRUE(WaitUntil(
            [&] {
                const std::lock_guard<std::mutex> lock(log.mutex);
                return log.lines.size() == 1;
            },
            20000));
        EXPECT_EQ("event command done: 'touch '" + done + "''", log.lines[0].first);
        EXPECT_TRUE(std::ifstream(done).good());

        // Two run (the hung one and this one): a third is not started, and said.
        ASSERT_TRUE(runner.Run("sleep 120 & echo $! > '" + other_pid + "'; wait", {}));
        EXPECT_FALSE(runner.Run("touch '" + folder.File("never") + "'", {}));
        {
            const std::lock_guard<std::mutex> lock(log.mutex);
            ASSERT_EQ(2u, log.lines.size());
            EXPECT_EQ("event command not run: 2 are running already: 'touch '" + folder.File("never") + "''",
                      log.lines[1].first);
            EXPECT_TRUE(log.lines[1].second);
        }
        WaitUntil([&] { return !ReadWholeFile(hung_pid).empty() && !ReadWholeFile(other_pid).empty(); }, 10000);
    }
    // The runner's end killed both groups and waited for them.
    ASSERT_EQ(4u, log.lines.size());
    EXPECT_EQ(0u, log.lines[2].first.find("event command killed: the program ends: 'sleep 120")) << log.lines[2].first;
    EXPECT_EQ(0u, log.lines[3].first.find("event command killed: the program ends: 'sleep 120")) << log.lines[3].first;
    EXPECT_FALSE(std::ifstream(folder.File("never")).good());
    EXPECT_TRUE(IsGone(std::stoi(ReadWholeFile(hung_pid))));
    EXPECT_TRUE(IsGone(std::stoi(ReadWholeFile(other_pid))));
}

bool WaitForReadWholeFile(const std::string& path) {
    return WaitUntil([&] { return !ReadWholeFile(path).empty(); }, 10000);
}

std::string LinkTarget(const std::string& path) {
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

TEST(EventCommandTest, OutputGoesToTheLogCappedAndTheCallersFilesStayOurs) {
    TempFolder folder;
    LogLines log;
    CEventCommandRunner runner(log.Handler());
    const std::string pid_file = folder.File("daemon.pid");
    // Standard input, a line on each output, a terminal escape, a long line past the cap, and a
    // process left behind in a session of its own that keeps whatever it was given open.
    const std::string command =
        "readlink /proc/$$/fd/0; echo one; printf 'two\\033[31m\\n' >&2; "
        "head -c 100000 /dev/zero | tr '\\0' x; setsid sleep 30 & echo $! > '" +
        pid_file + "'";
    // Our standard input a pipe while it starts, whatever the test was given.
    int input_pipe[2];
    ASSERT_EQ(0, ::pipe(input_pipe));
    const int saved_input = ::dup(STDIN_FILENO);
    ::dup2(input_pipe[0], STDIN_FILENO);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(runner.Run(command, {}));
    runner.WaitIdle();
    ::dup2(saved_input, STDIN_FILENO);
    for (const int fd : {saved_input, input_pipe[0], input_pipe[1]}) ::close(fd);
    // Not held up by what the command left running.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    const std::string prefix = CEventCommandRunner::kOutputPrefix;
    const std::vector<std::pair<std::string, bool>> expected = {
        {prefix + "/dev/null", false},
        {prefix + "one", false},
        {prefix + "two?[31m", false},
        {prefix + std::string(CEventCommandRunner::kMaxOutputLineBytes, 'x'), false},
        {prefix + "... " + std::to_string(10 + 4 + 9 + 100000 - CEventCommandRunner::kMaxOutputBytes) +
             " more bytes not shown",
         false},
        {"event command done: '" + command + "'", false}};
    EXPECT_EQ(expected, log.lines);

    ASSERT_TRUE(WaitForReadWholeFile(pid_file));
    const pid_t daemon = std::stoi(ReadWholeFile(pid_file));
    const std::string fds = "/proc/" + std::to_string(daemon) + "/fd/";
    EXPECT_EQ("/dev/null", LinkTarget(fds + "0"));
    // Its output is the runner's pipe, and none of its files is our standard output or error.
    EXPECT_EQ(0u, LinkTarget(fds + "1").rfind("pipe:", 0)) << LinkTarget(fds + "1");
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
        const std::string target = LinkTarget(entry.path().string());
        EXPECT_NE(LinkTarget("/proc/self/fd/1"), target) << entry.path();
        EXPECT_NE(LinkTarget("/proc/self/fd/2"), target) << entry.path();
    }
    ::kill(daemon, SIGKILL);
}

TEST(EventCommandTest, AtTheEndCommandsGetSigtermThenSigkillAndTheWaitIsBounded) {
    TempFolder folder;
    LogLines log;
    constexpr int64_t kFinishWaitMs = 100;
    constexpr int64_t kGraceMs = 700;
    CEventCommandRunner runner(log.Handler(), 120000, 8, kFinishWaitMs, kGraceMs);
    // Its shell says nothing of the sleep it loses to the signal: "got TERM" is the one line.
    const std::string polite = "exec 2>/dev/null; trap 'echo got TERM; exit 0' TERM; echo $$ > '" +
                               folder.File("polite") + "'; while :; do sleep 0.05; done";
    const std::string deaf = "trap '' TERM; echo $$ > '" + folder.File("deaf") + "'; while :; do sleep 0.05; done";
    ASSERT_TRUE(runner.Run(polite, {}));
    ASSERT_TRUE(runner.Run(deaf, {}));
    ASSERT_TRUE(WaitForReadWholeFile(folder.File("polite")));
    ASSERT_TRUE(WaitForReadWholeFile(folder.File("deaf")));
    const auto started = std::chrono::steady_clock::now();
    runner.WaitIdle();
    const auto waited = std::chrono::steady_clock::now() - started;
    // The one that ignores SIGTERM is killed once the grace has passed, not before, not much after.
    EXPECT_GE(waited, std::chrono::milliseconds(kFinishWaitMs + kGraceMs));
    EXPECT_LT(waited, std::chrono::milliseconds(kFinishWaitMs + kGraceMs + 3000));
    std::sort(log.lines.begin(), log.lines.end());
    const std::vector<std::pair<std::string, bool>> expected = {
        {"event command done: '" + polite + "'", false},
        {"event command killed: the program ends: '" + deaf + "'", true},
        {"event command output: got TERM", false}};
    EXPECT_EQ(expected, log.lines);
    EXPECT_TRUE(IsGone(std::stoi(ReadWholeFile(folder.File("polite")))));
    EXPECT_TRUE(IsGone(std::stoi(ReadWholeFile(folder.File("deaf")))));
}

TEST(EventCommandTest, TimeIsLocalIso8601WithOffset) {
    const char* zone = std::getenv("TZ");
    const std::string previous = zone != nullptr ? zone : "";
    ::setenv("TZ", "XYZ-5:30", 1);  // five and a half hours east of UTC
    ::tzset();
    EXPECT_EQ("2026-05-29T01:56:40+05:30", IsoLocalTime(1780000000123));
    ::setenv("TZ", "XYZ3", 1);
    ::tzset();
    EXPECT_EQ("2026-05-28T17:26:40-03:00", IsoLocalTime(1780000000123));
    if (zone != nullptr)
        ::setenv("TZ", previous.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

}  // namespace

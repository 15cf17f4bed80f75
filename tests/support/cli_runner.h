#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// What a child program left behind: its exit status (-1 when it did not exit by itself) and the
// bytes it wrote.
struct CommandResult {
    int exit_code = -1;
    std::string out;
    std::string err;  // empty when standard error went to the test log
};

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs argv[0] with exactly these argument bytes and waits for it. Its outputs go to unnamed
// files, so a chatty child never blocks on a full pipe; standard error goes to the test log unless
// captured.
inline CommandResult RunProgram(const std::vector<std::string>& arguments, bool capture_errors = true) {
    CommandResult result;
    using FileHandle = std::unique_ptr<FILE, int (*)(FILE*)>;
    const FileHandle out(std::tmpfile(), &std::fclose);
    const FileHandle err(std::tmpfile(), &std::fclose);
    if (arguments.empty() || !out || !err) return result;
    std::vector<std::string> argv_text = arguments;
    std::vector<char*> argv;
    for (std::string& argument : argv_text) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(::fileno(out.get()), STDOUT_FILENO);
        if (capture_errors) ::dup2(::fileno(err.get()), STDERR_FILENO);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (const auto& [file, text] : {std::make_pair(out.get(), &result.out), std::make_pair(err.get(), &result.err)}) {
        std::rewind(file);
        char buffer[1 << 16];
        while (const size_t count = std::fread(buffer, 1, sizeof buffer, file)) text->append(buffer, count);
    }
    return result;
}

// A shell command line (ffmpeg, ffprobe, openssl as judges); standard error goes to the test log.
inline CommandResult RunShell(const std::string& command) { return RunProgram({"/bin/sh", "-c", command}, false); }

#ifdef CINDRAL_CLI_PATH
// cindral-cli with exactly these argument bytes. shell_prefix, when given, runs in the same shell
// first (limits, signal dispositions).
inline CommandResult RunCli(const std::vector<std::string>& arguments, const std::string& shell_prefix = {}) {
    if (shell_prefix.empty()) {
        std::vector<std::string> argv{CINDRAL_CLI_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunProgram(argv);
    }
    std::string command = shell_prefix + ShellQuote(CINDRAL_CLI_PATH);
    for (const std::string& argument : arguments) command += " " + ShellQuote(argument);
    return RunProgram({"/bin/sh", "-c", command});
}
#endif

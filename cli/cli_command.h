#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Exit statuses of cindral-cli.
enum CliExit : int {
    kCliSuccess = 0,
    kCliFailure = 1,  // the work failed: a file missing, unreadable or damaged, a device failing
    kCliUsage = 2,    // the command line cannot be run
};

// A command line that cannot be run. The runner says it in one line with a pointer to the
// command's --help, and exits with kCliUsage. Thrown by the parser and the value helpers
// (cli/cli_values.h), and by commands for rules between arguments.
class CliUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// --NAME, or --NAME VALUE (also --NAME=VALUE) when value_name is given.
struct CliOption {
    std::string name;          // without the dashes
    std::string value_name{};  // empty for a flag
    std::string help{};
};

// A positional argument. Every one is required, but for leading ones marked optional, which
// are left out first; the last one may be repeated (one or more).
struct CliArgument {
    std::string name;
    std::string help{};
    bool is_repeated = false;
    bool is_optional = false;
};

// A command line as parsed for one command. Arguments are kept as the bytes given.
class CliArguments {
public:
    CliArguments() = default;
    explicit CliArguments(std::string command) : command_(std::move(command)) {}

    const std::string& Command() const { return command_; }
    bool IsHelpRequested() const { return is_help_requested_; }
    // Every declared positional argument is there once parsing succeeded.
    const std::string& Positional(size_t index) const { return positional_.at(index); }
    const std::vector<std::string>& AllPositional() const { return positional_; }
    bool Has(std::string_view option) const;
    // The value given last to option, or fallback when it was not given.
    const std::string& Value(std::string_view option, const std::string& fallback = kNone) const;

    void AddPositional(std::string value) { positional_.push_back(std::move(value)); }
    void AddOption(std::string name, std::string value) { options_.emplace_back(std::move(name), std::move(value)); }
    void RequestHelp() { is_help_requested_ = true; }

private:
    static const std::string kNone;
    std::string command_;
    bool is_help_requested_ = false;
    std::vector<std::string> positional_;
    std::vector<std::pair<std::string, std::string>> options_;  // in the order given
};

// One sub-command of cindral-cli. Each lives in its own file and registers itself:
//   const CliCommandRegistration kInfo{{
//       .name = "info", .summary = "...",
//       .arguments = {{"FILE", "an archive file"}},
//       .options = {{"json", "", "print JSON"}},
//       .run = &RunInfo}};
// --help and -h are every command's; the parser checks names and counts, run checks values.
struct CliCommand {
    std::string name;
    std::string synopsis{};  // what follows "cindral-cli NAME"; made from arguments and options when empty
    std::string summary;     // one line
    std::vector<CliArgument> arguments{};
    std::vector<CliOption> options{};
    // kCliSuccess, or kCliFailure after saying why on standard error; CliUsageError for a usage error.
    int (*run)(const CliArguments& arguments) = nullptr;
};

std::vector<CliCommand>& CliCommands();

struct CliCommandRegistration {
    explicit CliCommandRegistration(CliCommand command) { CliCommands().push_back(std::move(command)); }
};

// The command's arguments (argv[0] is the command's name); CliUsageError when they do not fit
// its declaration. Stops at --help, which wins over anything after it.
CliArguments ParseCliArguments(const CliCommand& command, int argc, char** argv);

// "cindral-cli NAME SYNOPSIS".
std::string CommandUsageLine(const CliCommand& command);
// The help texts, for standard output.
std::string CommandHelp(const CliCommand& command);
std::string ProgramHelp(const std::vector<CliCommand>& commands);
std::string ProgramVersion();

// The whole program: argv as main received it; the exit status.
int RunCli(int argc, char** argv, const std::vector<CliCommand>& commands);

#pragma once

#include <string>
#include <vector>

// One sub-command of cindral-cli. Each lives in its own file and registers itself:
//   static const CliCommandRegistration kInfo{{"info", "info FILE [--json]", "...", &RunInfo}};
struct CliCommand {
    std::string name;
    std::string usage;        // arguments after the program name
    std::string description;  // one line
    // Arguments after the command name; returns the process exit code.
    int (*run)(const std::vector<std::string>& arguments);
};

std::vector<CliCommand>& CliCommands();

struct CliCommandRegistration {
    explicit CliCommandRegistration(CliCommand command) { CliCommands().push_back(std::move(command)); }
};

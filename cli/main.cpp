// cindral-cli: archive and recording tool on the same core as the program.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_command.h"

std::vector<CliCommand>& CliCommands() {
    static std::vector<CliCommand> commands;
    return commands;
}

namespace {

void PrintUsage(std::FILE* stream) {
    auto commands = CliCommands();
    std::sort(commands.begin(), commands.end(), [](const CliCommand& a, const CliCommand& b) { return a.name < b.name; });
    std::fprintf(stream, "usage: cindral-cli COMMAND [ARGUMENTS]\n\n");
    for (const CliCommand& command : commands) {
        std::fprintf(stream, "  cindral-cli %s\n      %s\n", command.usage.c_str(), command.description.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string name = argv[1];
    for (const CliCommand& command : CliCommands()) {
        if (command.name == name) return command.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "cindral-cli: unknown command '%s' (see cindral-cli --help)\n", name.c_str());
    return 2;
}

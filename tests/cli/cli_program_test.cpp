// cindral-cli as a shell meets it: help, version, exit statuses and one-line messages.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cindral_version.h"
#include "support/cli_runner.h"
#include "support/temp_folder.h"

namespace {

bool IsOneLine(const std::string& text) {
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

}  // namespace

TEST(CliProgram, HelpAndVersionForTheProgramAndEveryCommand) {
    const CommandResult help = RunCli({"--help"});
    ASSERT_EQ(help.exit_code, 0) << help.err;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: cindral-cli COMMAND", 0), 0u) << help.out;

    // Every command the list names answers its own --help.
    std::vector<std::string> commands;
    std::istringstream lines(help.out.substr(help.out.find("Commands:\n") + 10));
    for (std::string line; std::getline(lines, line) && !line.empty();)
        commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_GE(commands.size(), 6u) << help.out;
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        const CommandResult run = RunCli({command, "--help"});
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.rfind("Usage: cindral-cli " + command + " ", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("  -h, --help"), std::string::npos) << run.out;
    }

    const CommandResult version = RunCli({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "cindral-cli " CINDRAL_VERSION "\n");
}

TEST(CliProgram, BadInvocationsGiveOneLineAndTheirExitStatus) {
    TempFolder folder;
    const std::string missing = folder.File("missing");
    const std::string archive = folder.File("empty.CNA");
    std::ofstream(archive, std::ios::binary).write("\0\0\0\0\0\0\0\0", 8);  // a valid archive of no frames
    const std::string source = "videotestsrc";
    struct Case {
        std::vector<std::string> arguments;
        int exit_code;
    };
    const Case cases[] = {
        // The command line cannot be run: 2, and where help is.
        {{}, 2},
        {{"--bogus"}, 2},
        {{"nope"}, 2},
        {{"info"}, 2},
        {{"info", archive, "extra"}, 2},
        {{"info", "--yaml", archive}, 2},
        {{"info", "--json=yes", archive}, 2},
        {{"frame", archive, "x", folder.File("o.jpg")}, 2},
        {{"frame", archive, "-1", folder.File("o.jpg")}, 2},
        {{"decode", archive, "99999999999", folder.File("o.ppm")}, 2},
        {{"avi", archive}, 2},
        {{"list", folder.Folder(), "2009-3-1", "2009-03-31"}, 2},
        {{"list", folder.Folder(), "2009-02-29", "2009-03-31"}, 2},
        {{"list", folder.Folder(), "2009-03-31", "2009-03-01"}, 2},
        {{"record", "--program-folder", folder.Folder(), "--mode", "always"}, 2},
        {{"record", "--program-folder", folder.Folder(), "--source", source, "--camera", "A", "--mode", "always"}, 2},
        {{"record", "--program-folder", folder.Folder(), "--source", source, "--mode", "sometimes"}, 2},
        {{"record", "--program-folder", folder.Folder(), "--source", source, "--mode", "always", "--frames", "0"}, 2},
        {{"record", "--program-folder", folder.Folder(), "--source", source, "--mode", "always", "--width", "64"}, 2},
        {{"record", "--program-folder", folder.Folder(), "--source", source, "--mode", "always", "--threshold"}, 2},
        // The work fails: 1.
        {{"info", missing}, 1},
        {{"frame", archive, "0", folder.File("o.jpg")}, 1},
        {{"list", missing, "2009-03-01", "2009-03-31"}, 1},
        {{"list", folder.Folder(), "2009-03-01", "2009-03-31"}, 1},  // no Storage in it
        {{"record", "--program-folder", missing, "--source", source, "--mode", "always"}, 1},
    };
    for (const Case& test : cases) {
        std::string trace;
        for (const std::string& argument : test.arguments) trace += argument + " ";
        SCOPED_TRACE(trace);
        const CommandResult run = RunCli(test.arguments);
        EXPECT_EQ(run.exit_code, test.exit_code);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(IsOneLine(run.err)) << run.err;
        EXPECT_EQ(run.err.rfind("cindral-cli", 0), 0u) << run.err;
        EXPECT_EQ(run.err.find(" --help'.") != std::string::npos, test.exit_code == 2) << run.err;
    }
}

TEST(CliProgram, NamesReachTheCommandsByteForByte) {
    TempFolder folder;
    // A byte no character holds, a line break and quotes in the name of a valid, empty archive.
    const std::string archive = folder.File("odd\xFF\n\"name\".CNA");
    std::ofstream(archive, std::ios::binary).write("\0\0\0\0\0\0\0\0", 8);
    const CommandResult run = RunCli({"info", archive});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find("\ncount:")), "file: " + folder.File("odd\\xFF\\n\"name\".CNA"));
}

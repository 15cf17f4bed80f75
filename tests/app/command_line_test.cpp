// The desktop program's command line, read before any window exists.
#include <gtest/gtest.h>

#include "app/command_line.h"

namespace {

using Action = CommandLineRequest::Action;

struct CommandLineCase {
    QStringList arguments;
    Action action;
    const char* error_names;  // what a usage error must quote
};

}  // namespace

TEST(CommandLine, HelpVersionQtOptionsAndUsageErrors) {
    const CommandLineCase cases[] = {
        {{}, Action::kRun, ""},
        {{"-platform", "offscreen", "-style", "fusion", "-reverse"}, Action::kRun, ""},
        {{"--platform=offscreen", "--stylesheet=look.qss"}, Action::kRun, ""},
        {{"--help"}, Action::kShowHelp, ""},
        {{"-h"}, Action::kShowHelp, ""},
        {{"-platform", "offscreen", "--help"}, Action::kShowHelp, ""},
        {{"--version"}, Action::kShowVersion, ""},
        {{"-v"}, Action::kShowVersion, ""},
        {{"--bogus"}, Action::kUsageError, "'--bogus'"},
        {{"--bogus=1", "--help"}, Action::kUsageError, "'--bogus'"},
        {{"-x"}, Action::kUsageError, "'-x'"},
        {{"-platform"}, Action::kUsageError, "'-platform'"},
        {{"archive.CNA"}, Action::kUsageError, "'archive.CNA'"},
    };
    for (const CommandLineCase& test : cases) {
        SCOPED_TRACE(test.arguments.join(' ').toStdString());
        const CommandLineRequest request = ParseCommandLine(test.arguments);
        EXPECT_EQ(request.action, test.action);
        if (test.action == Action::kUsageError) {
            EXPECT_TRUE(request.error.contains(QString::fromLatin1(test.error_names))) << request.error.toStdString();
            EXPECT_FALSE(request.error.contains(QLatin1Char('\n')));
        }
    }
}

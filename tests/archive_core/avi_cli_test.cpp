#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_core/export_test_support.h"
#include "recorder/frame_archive.h"

using namespace export_test;

namespace {

CommandResult Cli(const std::string& arguments) {
    return RunCommand(std::string(CINDRAL_CLI_PATH) + " " + arguments + " 2>&1");
}

size_t LineCount(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

}  // namespace

TEST(AviCommand, ConvertsAnArchiveLikeThePanel) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 34, 18, 9);
    const std::string avi = folder.File("out.avi");
    const CommandResult run = Cli("avi '" + archive + "' '" + avi + "'");
    EXPECT_EQ(0, run.exit_code) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("9 frames of 34x18")) << run.output;

    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(avi, stream));
    EXPECT_EQ(9, stream.frame_count);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    EXPECT_EQ(DecodeArchive(reader), DecodeWithFfmpeg(avi));
}

TEST(AviCommand, FailuresGiveOneLineAndANonZeroExit) {
    TempFolder folder;
    const CommandResult usage = Cli("avi only-one-argument");
    EXPECT_EQ(2, usage.exit_code);
    EXPECT_EQ(1u, LineCount(usage.output)) << usage.output;

    const CommandResult missing = Cli("avi '" + folder.File("missing.cna") + "' '" + folder.File("out.avi") + "'");
    EXPECT_EQ(1, missing.exit_code);
    EXPECT_EQ(1u, LineCount(missing.output)) << missing.output;
    EXPECT_NE(std::string::npos, missing.output.find("No such file or directory")) << missing.output;
    // The path is said once.
    EXPECT_EQ(missing.output.find("missing.cna"), missing.output.rfind("missing.cna")) << missing.output;

    WriteFileBytes(folder.File("empty.cna"), std::vector<uint8_t>(8, 0));
    const CommandResult empty = Cli("avi '" + folder.File("empty.cna") + "' '" + folder.File("out.avi") + "'");
    EXPECT_EQ(1, empty.exit_code);
    EXPECT_NE(std::string::npos, empty.output.find("the archive holds no frames")) << empty.output;

    const std::string archive = RecordScenes(folder.Path(), 16, 16, 2);
    const CommandResult unwritable = Cli("avi '" + archive + "' '" + folder.File("gone/out.avi") + "'");
    EXPECT_EQ(1, unwritable.exit_code);
    EXPECT_EQ(1u, LineCount(unwritable.output)) << unwritable.output;
    EXPECT_EQ((std::vector<std::string>{"Storage", "empty.cna"}), folder.Entries());
}

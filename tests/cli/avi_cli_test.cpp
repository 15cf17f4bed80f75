#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_core/export_test_support.h"
#include "recorder/frame_archive.h"

using namespace export_test;

namespace {

CommandResult Cli(const std::string& arguments) {
    return RunShell(std::string(CINDRAL_CLI_PATH) + " " + arguments + " 2>&1");
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
    EXPECT_EQ(0, run.exit_code) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("9 frames of 34x18")) << run.out;

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
    EXPECT_EQ(1u, LineCount(usage.out)) << usage.out;

    const CommandResult missing = Cli("avi '" + folder.File("missing.cna") + "' '" + folder.File("out.avi") + "'");
    EXPECT_EQ(1, missing.exit_code);
    EXPECT_EQ(1u, LineCount(missing.out)) << missing.out;
    EXPECT_NE(std::string::npos, missing.out.find("No such file or directory")) << missing.out;
    // The path is said once.
    EXPECT_EQ(missing.out.find("missing.cna"), missing.out.rfind("missing.cna")) << missing.out;

    WriteBytes(folder.File("empty.cna"), std::vector<uint8_t>(8, 0));
    const CommandResult empty = Cli("avi '" + folder.File("empty.cna") + "' '" + folder.File("out.avi") + "'");
    EXPECT_EQ(1, empty.exit_code);
    EXPECT_NE(std::string::npos, empty.out.find("the archive holds no frames")) << empty.out;

    const std::string archive = RecordScenes(folder.Path(), 16, 16, 2);
    const CommandResult unwritable = Cli("avi '" + archive + "' '" + folder.File("gone/out.avi") + "'");
    EXPECT_EQ(1, unwritable.exit_code);
    EXPECT_EQ(1u, LineCount(unwritable.out)) << unwritable.out;
    EXPECT_EQ((std::vector<std::string>{"Storage", "empty.cna"}), folder.Entries());
}

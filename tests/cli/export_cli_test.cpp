#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive_core/export_test_support.h"

using namespace export_test;

namespace {

CommandResult Cli(const std::string& arguments) {
    return RunShell(std::string(CINDRAL_CLI_PATH) + " " + arguments + " 2>&1");
}

}  // namespace

TEST(ExportCommand, JoinsArchivesInTimeOrderInTheContainerOfTheName) {
    TempFolder folder;
    const double start = OleDay(2026, 5, 2, 8, 30, 0.0);
    const auto early = WriteStampedArchive(folder.File("1.CNA"), {start, start + 0.5 / 86400}, 48, 32, 1);
    const auto late = WriteStampedArchive(folder.File("2.CNA"), {start + 60 / 86400.0}, 48, 32, 9);

    const CommandResult copy =
        Cli("export '" + folder.File("out.mkv") + "' '" + folder.File("2.CNA") + "' '" + folder.File("1.CNA") + "'");
    EXPECT_EQ(0, copy.exit_code) << copy.out;
    EXPECT_NE(std::string::npos, copy.out.find("3 frames of 48x32, Motion JPEG in Matroska, 60.000 s")) << copy.out;
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{early[0], early[1], late[0]}),
              CopiedJpegPackets(folder.File("out.mkv"), folder.File("packets")));

    const CommandResult h264 =
        Cli("export --codec h264 '" + folder.File("out.avi") + "' '" + folder.File("1.CNA") + "'");
    EXPECT_EQ(0, h264.exit_code) << h264.out;
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(folder.File("out.avi"), stream));
    EXPECT_EQ("h264", stream.codec_name);
    EXPECT_EQ(2, stream.frame_count);
}

TEST(ExportCommand, RefusesWhatItCannotWriteWithoutLeavingAFile) {
    TempFolder folder;
    const double start = OleDay(2026, 5, 2, 8, 30, 0.0);
    WriteStampedArchive(folder.File("1.CNA"), {start}, 48, 32, 1);
    const std::vector<uint8_t> archive = ReadBytes(folder.File("1.CNA"));
    const std::string in = " '" + folder.File("1.CNA") + "'";
    // A video name that leads to the archive itself.
    std::filesystem::create_symlink(folder.File("1.CNA"), folder.File("link.mkv"));
    for (const auto& [arguments, exit_code] : std::vector<std::pair<std::string, int>>{
             {"export '" + folder.File("out.mov") + "'" + in, 2},
             {"export '" + folder.File("out.mp4") + "'" + in + " --codec copy", 2},
             {"export '" + folder.File("out.mkv") + "'" + in + " --codec vp9", 2},
             {"export '" + folder.File("out.mkv") + "'", 2},
             {"export '" + folder.File("out.mkv") + "'" + in + " --fast", 2},
             {"export '" + folder.File("1.CNA") + "'" + in, 2},
             {"export '" + folder.File("link.mkv") + "'" + in, 1},
             {"export '" + folder.File("missing.mkv") + "' '" + folder.File("missing.CNA") + "'", 1}}) {
        const CommandResult run = Cli(arguments);
        EXPECT_EQ(exit_code, run.exit_code) << arguments << "\n" << run.out;
        EXPECT_NE(std::string::npos, run.out.find("cindral-cli export: ")) << run.out;
    }
    EXPECT_EQ((std::vector<std::string>{"1.CNA", "link.mkv"}), folder.Entries());
    EXPECT_EQ(archive, ReadBytes(folder.File("1.CNA")));
}

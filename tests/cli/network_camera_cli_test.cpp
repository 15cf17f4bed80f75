// End to end: cindral-cli records cameras of an RTSP server on loopback in this process.
#include <gtest/gtest.h>

// GLib's headers before Qt's, whose keywords they use as names.
#include "support/rtsp_camera_server.h"

#include <QProcess>
#include <QRegularExpression>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_reader.h"
#include "recorder/frame_archive.h"
#include "support/cli_runner.h"
#include "support/files.h"
#include "support/temp_folder.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;

// '@', ':', '%' and a space: each breaks an address that carries it unencoded.
const std::string kPassword = "p@ss: 100%";
const std::string kEncodedPassword = "p%40ss%3A%20100%25";

std::vector<std::string> SummaryArchives(const std::string& out) {
    std::vector<std::string> paths;
    std::smatch match;
    if (!std::regex_search(out, match, std::regex("\"archives\":\\[([^\\]]*)\\]"))) return paths;
    const std::string list = match[1];
    const std::regex quoted("\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), quoted); it != std::sregex_iterator(); ++it)
        paths.push_back((*it)[1]);
    return paths;
}

// Every record of the archive decodes to a picture of the camera's size; the count of them.
int DecodedRecords(const std::string& path) {
    CFrameArchive archive;
    if (!archive.OpenFile(path)) return -1;
    for (int32_t frame = 0; frame < archive.GetFrameCount(); ++frame) {
        archive.SeekFrame(frame);
        if (!archive.IsFrameDecoded() || archive.GetFrameImage().GetWidth() != 160 ||
            archive.GetFrameImage().GetHeight() != 120)
            return -1;
    }
    return archive.GetFrameCount();
}

std::set<std::string> StoredJpegs(const std::vector<std::string>& archives) {
    std::set<std::string> jpegs;
    for (const std::string& path : archives) {
        CArchiveReader reader;
        if (!reader.OpenFile(path)) continue;
        for (int32_t i = 0; i < reader.GetFrameCount(); ++i) {
            std::vector<uint8_t> jpeg;
            if (reader.ReadFrameJpeg(i, jpeg)) jpegs.insert(std::string(jpeg.begin(), jpeg.end()));
        }
    }
    return jpegs;
}

class NetworkCameraCli : public ::testing::Test {
protected:
    void SetUp() override {
        gst_init(nullptr, nullptr);
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(private_server_.Start());
    }
    // The password appears nowhere in what the program wrote.
    static void ExpectNoPassword(const std::string& text) {
        EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
        EXPECT_EQ(text.find(kEncodedPassword), std::string::npos) << text;
        EXPECT_EQ(text.find("p@ss"), std::string::npos) << text;
    }

    RtspCameraServer server_;
    RtspCameraServer private_server_{kPassword};
    const TempFolder temp_;
};

TEST_F(NetworkCameraCli, EachCodecAndEachWayOfGivingThePasswordIsRecordedAndEveryRecordDecodes) {
    WriteWholeFile(temp_.File("camera-password"), std::string(RtspCameraServer::kUser) + ":" + kPassword + "\n");
    const std::string in_url = "rtsp://" + std::string(RtspCameraServer::kUser) + ":" + kEncodedPassword +
                               "@127.0.0.1:" + std::to_string(private_server_.Port()) + "/mjpeg";
    const std::vector<std::vector<std::string>> cameras = {
        {"--url", server_.Url("/h264")},
        {"--url", server_.Url("/mjpeg"), "--transport", "udp"},
        {"--url", private_server_.Url("/h264"), "--password-file", temp_.File("camera-password"), "--transport", "tcp"},
        {"--url", in_url},
    };
    for (const std::vector<std::string>& camera : cameras) {
        SCOPED_TRACE(camera[1] + (camera.size() > 2 ? " " + camera[2] : ""));
        const std::string storage = temp_.File("S" + std::to_string(&camera - cameras.data())) + "/";
        std::vector<std::string> arguments = {"record", "--storage", storage, "--mode", "always", "--frames", "12"};
        arguments.insert(arguments.end(), camera.begin(), camera.end());
        const CommandResult result = RunCli(arguments);
        ExpectNoPassword(result.out + result.err);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        const std::vector<std::string> archives = SummaryArchives(result.out);
        ASSERT_EQ(archives.size(), 1u) << result.out;
        EXPECT_EQ(DecodedRecords(archives[0]), 12);
    }
}

TEST_F(NetworkCameraCli, RefusalsAndAbsencesAreEachSaidInTheirOwnWordsWithoutThePassword) {
    const std::string port = std::to_string(private_server_.Port());
    // A port nothing listens on: one the server had, given up.
    RtspCameraServer closed{kPassword};
    ASSERT_TRUE(closed.Start());
    const std::string closed_port = std::to_string(closed.Port());
    closed.Stop();
    const struct {
        std::string url;
        std::string words;
    } cases[] = {
        {"rtsp://viewer:wrong%40" + kEncodedPassword + "@127.0.0.1:" + port + "/h264",
         "the camera refused the user name or password"},
        {"rtsp://viewer:" + kEncodedPassword + "@127.0.0.1:" + closed_port + "/h264",
         "nothing answers at 127.0.0.1:" + closed_port},
        {"rtsp://viewer:" + kEncodedPassword + "@127.0.0.1:" + port + "/no-such-path", "no such stream on the camera"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.words);
        const CommandResult result = RunCli(
            {"record", "--storage", temp_.File("S") + "/", "--mode", "always", "--frames", "5", "--url", test.url});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_NE(result.err.find(test.words), std::string::npos) << result.err;
        ExpectNoPassword(result.out + result.err);
    }
}

TEST_F(NetworkCameraCli, ACameraAwayForFiveSecondsGivesAFinishedArchiveAndANewOneOnItsReturn) {
    const std::string storage = temp_.File("S") + "/";
    QProcess cli;
    cli.setProgram(QStringLiteral(CINDRAL_CLI_PATH));
    cli.setArguments({QStringLiteral("record"), QStringLiteral("--storage"), QString::fromStdString(storage),
                      QStringLiteral("--mode"), QStringLiteral("always"), QStringLiteral("--url"),
                      QString::fromStdString(server_.Url("/h264"))});
    cli.start();
    std::string errors;
    const auto read_errors = [&] {
        cli.waitForReadyRead(50);
        errors += cli.readAllStandardError().toStdString();
    };
    const auto archives_with_records = [&] {
        int count = 0;
        std::error_code error;
        for (auto entry = fs::recursive_directory_iterator(storage, error); !error && entry != fs::end(entry);
             entry.increment(error)) {
            if (entry->is_regular_file(error) && entry->file_size(error) > 2000) ++count;
        }
        return count;
    };
    ASSERT_TRUE(WaitUntil([&] { return archives_with_records() == 1; }, 60000));
    server_.Stop();
    ASSERT_TRUE(WaitUntil([&] {
        read_errors();
        return errors.find("camera lost") != std::string::npos;
    })) << errors;
    // The camera stays away for a while: the span is the scenario, not a wait for a condition.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    ASSERT_TRUE(server_.Start());
    const auto returned = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil(
        [&] {
            read_errors();
            return archives_with_records() == 2;
        },
        60000))
        << errors;
    const double back_after_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - returned).count();
    cli.terminate();
    ASSERT_TRUE(cli.waitForFinished(60000));
    errors += cli.readAllStandardError().toStdString();
    const std::string out = cli.readAllStandardOutput().toStdString();
    EXPECT_EQ(cli.exitCode(), 0) << errors;
    ExpectNoPassword(out + errors);
    const std::vector<std::string> archives = SummaryArchives(out);
    ASSERT_EQ(archives.size(), 2u) << out;
    for (const std::string& archive : archives) EXPECT_GT(DecodedRecords(archive), 0) << archive;
    EXPECT_NE(out.find("\"reconnects\":1"), std::string::npos) << out;
    // The attempts after a loss come at most 10 s apart.
    EXPECT_LT(back_after_s, 12.0) << errors;
}

TEST_F(NetworkCameraCli, AnHttpMjpegCameraIsStoredAsItSendsEachPicture) {
    // Another cindral-cli as the camera: it records what it serves on /live.mjpeg.
    const std::string camera_storage = temp_.File("Camera") + "/";
    QProcess camera;
    camera.setProgram(QStringLiteral(CINDRAL_CLI_PATH));
    camera.setArguments({QStringLiteral("record"), QStringLiteral("--storage"), QString::fromStdString(camera_storage),
                         QStringLiteral("--mode"), QStringLiteral("always"), QStringLiteral("--source"),
                         QStringLiteral("videotestsrc is-live=true pattern=ball ! "
                                        "video/x-raw,width=160,height=120,framerate=15/1"),
                         QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    camera.start();
    std::string camera_errors;
    std::string port;
    const QRegularExpression serving(QStringLiteral("serving http://127\\.0\\.0\\.1:(\\d+)/"));
    ASSERT_TRUE(WaitUntil(
        [&] {
            camera.waitForReadyRead(50);
            camera_errors += camera.readAllStandardError().toStdString();
            const auto match = serving.match(QString::fromStdString(camera_errors));
            if (match.hasMatch()) port = match.captured(1).toStdString();
            return !port.empty();
        },
        60000))
        << camera_errors;
    const std::string address = "http://127.0.0.1:" + port;
    const CommandResult result = RunCli({"record", "--storage", temp_.File("S") + "/", "--mode", "always", "--frames",
                                         "10", "--url", address + "/live.mjpeg"});
    const CommandResult wrong_path = RunCli({"record", "--storage", temp_.File("S") + "/", "--mode", "always",
                                             "--frames", "10", "--url", address + "/no-such.mjpeg"});
    camera.terminate();
    ASSERT_TRUE(camera.waitForFinished(60000));
    const std::vector<std::string> camera_archives = SummaryArchives(camera.readAllStandardOutput().toStdString());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::vector<std::string> archives = SummaryArchives(result.out);
    ASSERT_EQ(archives.size(), 1u) << result.out;
    EXPECT_EQ(DecodedRecords(archives[0]), 10);
    // Byte for byte the pictures the camera stored and sent: none decoded and encoded again.
    const std::set<std::string> sent = StoredJpegs(camera_archives);
    const std::set<std::string> stored = StoredJpegs(archives);
    ASSERT_FALSE(stored.empty());
    for (const std::string& jpeg : stored) EXPECT_EQ(sent.count(jpeg), 1u);
    EXPECT_EQ(wrong_path.exit_code, 1);
    EXPECT_NE(wrong_path.err.find("no such stream on the camera"), std::string::npos) << wrong_path.err;
}

}  // namespace

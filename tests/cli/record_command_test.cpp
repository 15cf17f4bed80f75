#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "jpeg/jpeg_codec.h"
#include "jpeg/jpeg_stream.h"
#include "recorder/frame_archive.h"
#include "support/cli_runner.h"
#include "support/files.h"
#include "support/temp_folder.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;

std::string LastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
    const size_t newline = trimmed.rfind('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

long long JsonInteger(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\":(-?[0-9]+)"))) return -1;
    return std::stoll(match[1]);
}

std::vector<std::string> JsonArchives(const std::string& json, const std::string& key = "archives") {
    std::vector<std::string> paths;
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\":\\[([^\\]]*)\\]"))) return paths;
    const std::string list = match[1];
    std::regex quoted("\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), quoted); it != std::sregex_iterator(); ++it) {
        paths.push_back((*it)[1]);
    }
    return paths;
}

int32_t RecordCount(const std::string& path) {
    CFrameArchive archive;
    if (!archive.OpenFile(path)) return -1;
    return archive.GetFrameCount();
}

// A plain grey 64 x 48 picture as a camera's JPEG.
std::vector<uint8_t> GreyJpeg() {
    BMP_File grey;
    grey.Create(64, 48);
    std::vector<uint8_t> jpeg(65536);
    JpegCodec codec;
    jpeg.resize(codec.EncodeJpeg(grey, jpeg.data(), static_cast<uint32_t>(jpeg.size())));
    if (jpeg.empty()) throw std::runtime_error("encode failed: " + codec.LastError());
    return jpeg;
}

// Records the buffers, one file each in frames_folder, as a JPEG camera hands them over at ten a
// second; caps without a size, so nothing says it until a good frame does.
CommandResult RecordJpegBuffers(const std::string& frames_folder, const std::string& storage,
                                const std::vector<std::vector<uint8_t>>& buffers) {
    fs::create_directories(frames_folder);
    for (size_t i = 0; i < buffers.size(); ++i)
        WriteBytes(frames_folder + "/" + std::to_string(i) + ".jpg", buffers[i]);
    return RunCli({"record", "--storage", storage, "--mode", "always", "--source",
                   "multifilesrc location=" + frames_folder + "/%d.jpg caps=image/jpeg,framerate=10/1"});
}

// 12 frames of 64 x 48 BGRx, black with one white 8 x 8 square that moves only into
// frames 3, 4, 5 and 9 (counting from 1).
std::string WriteMovingSquareFile(const std::string& folder) {
    constexpr int kWidth = 64, kHeight = 48;
    const int square_x[12] = {0, 0, 16, 32, 48, 48, 48, 48, 8, 8, 8, 8};
    const int square_y[12] = {0, 0, 0, 0, 0, 0, 0, 0, 32, 32, 32, 32};
    const std::string path = folder + "/moving.raw";
    std::ofstream file(path, std::ios::binary);
    for (int frame = 0; frame < 12; ++frame) {
        std::vector<char> pixels(kWidth * kHeight * 4, 0);
        for (int y = square_y[frame]; y < square_y[frame] + 8; ++y) {
            for (int x = square_x[frame]; x < square_x[frame] + 8; ++x) {
                for (int channel = 0; channel < 3; ++channel) pixels[(y * kWidth + x) * 4 + channel] = char(255);
            }
        }
        file.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    }
    return path;
}

TEST(RecordCommand, MotionModeMakesOneArchivePerEpisode) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    const std::string raw = WriteMovingSquareFile(folder);
    const CommandResult result =
        RunCli({"record", "--program-folder", folder, "--source",
                "filesrc location=" + raw + " ! rawvideoparse format=bgrx width=64 height=48 framerate=25/1", "--mode",
                "motion"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::string summary = LastLine(result.out);
    EXPECT_EQ(JsonInteger(summary, "frames"), 12) << summary;
    EXPECT_EQ(JsonInteger(summary, "recorded"), 4) << summary;
    const std::vector<std::string> archives = JsonArchives(summary);
    ASSERT_EQ(archives.size(), 2u) << summary;
    EXPECT_EQ(RecordCount(archives[0]), 3);
    EXPECT_EQ(RecordCount(archives[1]), 1);
    // Exactly those two archives under Storage, beside the events database that lists them.
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder + "/Storage"))
        files += entry.is_regular_file() && entry.path().parent_path() != fs::path(folder + "/Storage");
    EXPECT_EQ(files, 2);
    EXPECT_TRUE(fs::exists(folder + "/Storage/Cindral Events.sqlite"));
}

TEST(RecordCommand, RecordsIntoTheStorageFolderGivenAndKeepsItUnderItsLimit) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    const std::string raw = WriteMovingSquareFile(folder);
    // An old archive of a megabyte: over the limit once the first new archive is finished.
    const std::string storage = folder + "/cameras";
    fs::create_directories(storage + "/20000101");
    std::ofstream(storage + "/20000101/1.CNA", std::ios::binary) << std::string(1 << 20, '\0');
    fs::last_write_time(storage + "/20000101/1.CNA", fs::file_time_type::clock::now() - std::chrono::hours(24));
    const CommandResult result =
        RunCli({"record", "--storage", storage, "--source",
                "filesrc location=" + raw + " ! rawvideoparse format=bgrx width=64 height=48 framerate=25/1", "--mode",
                "motion", "--max-size", "512K"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("deleted " + storage + "/20000101/1.CNA")) << result.err;
    EXPECT_FALSE(fs::exists(storage + "/20000101"));
    // An earlier run's archive deleted is in the summary too.
    EXPECT_EQ(JsonArchives(LastLine(result.out), "deleted"), std::vector<std::string>{storage + "/20000101/1.CNA"});
    const std::vector<std::string> archives = JsonArchives(LastLine(result.out));
    ASSERT_EQ(archives.size(), 2u) << result.out;
    for (const std::string& archive : archives) {
        EXPECT_EQ(fs::path(storage), fs::path(archive).parent_path().parent_path());
        EXPECT_GT(RecordCount(archive), 0) << archive;
    }
}

TEST(RecordCommand, RetentionNeverDeletesTheNewestArchiveAndTheSummaryNamesTheDeleted) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // One archive of several megabytes under a 1 MB limit: only deleting it could meet the limit,
    // so nothing is deleted, and the run says why.
    const std::string storage = folder + "/cameras";
    fs::create_directories(storage + "/20000101");
    std::ofstream(storage + "/20000101/1.CNA", std::ios::binary) << std::string(1 << 19, '\0');
    fs::last_write_time(storage + "/20000101/1.CNA", fs::file_time_type::clock::now() - std::chrono::hours(24));
    CommandResult result =
        RunCli({"record", "--storage", storage, "--source",
                "videotestsrc num-buffers=30 pattern=snow ! capsfilter caps=video/x-raw,width=640,height=480", "--mode",
                "always", "--max-size", "1M"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.err.find("cannot keep recordings under 1.0 MB: the newest"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("deleted"), std::string::npos) << result.err;
    std::vector<std::string> archives = JsonArchives(LastLine(result.out));
    ASSERT_EQ(archives.size(), 1u) << result.out;
    EXPECT_EQ(RecordCount(archives[0]), 30);
    EXPECT_TRUE(fs::exists(storage + "/20000101/1.CNA"));

    // Two archives of one run under a limit that the second alone keeps: the first goes, and the
    // summary lists it as deleted, not as kept.
    const std::string raw = WriteMovingSquareFile(folder);
    const std::vector<std::string> arguments = {
        "--source", "filesrc location=" + raw + " ! rawvideoparse format=bgrx width=64 height=48 framerate=25/1",
        "--mode", "motion"};
    std::vector<std::string> run = {"record", "--storage", folder + "/sizes"};
    run.insert(run.end(), arguments.begin(), arguments.end());
    result = RunCli(run);
    archives = JsonArchives(LastLine(result.out));
    ASSERT_EQ(archives.size(), 2u) << result.out;
    const std::string limit = std::to_string(fs::file_size(archives[1]) + 1);
    fs::remove_all(storage);
    run = {"record", "--storage", storage, "--max-size", limit};
    run.insert(run.end(), arguments.begin(), arguments.end());
    result = RunCli(run);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::string summary = LastLine(result.out);
    archives = JsonArchives(summary);
    const std::vector<std::string> deleted = JsonArchives(summary, "deleted");
    ASSERT_EQ(archives.size(), 1u) << summary;
    ASSERT_EQ(deleted.size(), 1u) << summary;
    EXPECT_EQ(RecordCount(archives[0]), 1);
    EXPECT_FALSE(fs::exists(deleted[0]));
    EXPECT_NE(result.err.find("deleted " + deleted[0] + " to keep the storage limits"), std::string::npos)
        << result.err;
}

TEST(RecordCommand, AFullDiskTakesTheOldestArchivesOneAtATimeButNeverTheNewest) {
    if (RunShell("unshare -Urm true 2>/dev/null").exit_code != 0) GTEST_SKIP() << "no private mount namespace here";
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // A file system of its own, 2 MB, in a private mount namespace: four old archives of 300 KB
    // and a file that leaves 40 KB free. The run's 20 frames take several times that. The old
    // archives left are listed on standard error after the run.
    const std::string disk = folder + "/disk";
    fs::create_directories(disk);
    const std::string prepare =
        "set -e; mount -t tmpfs -o size=2m tmpfs " + disk + "; cd " + disk +
        "; mkdir -p S/20000101; for n in 1 2 3 4; do head -c 300000 /dev/zero > S/20000101/$n.CNA;"
        " touch -d \"2000-01-01 00:0$n\" S/20000101/$n.CNA; done;"
        " dd if=/dev/zero of=fill bs=4k 2>/dev/null || true; truncate -s -40K fill; set +e;"
        " \"$0\" \"$@\"; status=$?; ls S/20000101 >&2; exit $status";
    const CommandResult result = RunCli({"record", "--storage", "S", "--max-size", "1T", "--mode", "always", "--source",
                                         "videotestsrc num-buffers=20 pattern=snow ! "
                                         "capsfilter caps=video/x-raw,width=320,height=240"},
                                        "unshare -Urm sh -c " + ShellQuote(prepare) + " ");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(JsonInteger(LastLine(result.out), "recorded"), 20) << result.out;
    // Oldest first, as many as were needed, never the newest finished one.
    EXPECT_NE(result.err.find("deleted S/20000101/1.CNA to make room on the full disk"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("1.CNA\n"), std::string::npos) << result.err;
    const std::vector<std::string> deleted = JsonArchives(LastLine(result.out), "deleted");
    EXPECT_NE(std::find(deleted.begin(), deleted.end(), "S/20000101/1.CNA"), deleted.end()) << result.out;
    EXPECT_NE(result.err.find("4.CNA\n"), std::string::npos) << result.err;
}

TEST(RecordCommand, CameraFramesThatCannotBeDecodedAreCountedAndSaid) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // Good, garbage, good, garbage of other bytes, good: a camera's JPEG stream with damage in it.
    const std::vector<uint8_t> good = GreyJpeg();
    const CommandResult result = RecordJpegBuffers(
        folder, folder + "/S", {good, std::vector<uint8_t>(900, 0x5A), good, std::vector<uint8_t>(700, 0x21), good});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    const std::string summary = LastLine(result.out);
    EXPECT_EQ(JsonInteger(summary, "recorded"), 3) << summary;
    EXPECT_EQ(JsonInteger(summary, "failed"), 2) << summary;
    // Said once for the one fault, and summed up at the end.
    const std::string said = "a camera frame could not be decoded: ";
    const size_t first = result.err.find(said);
    ASSERT_NE(first, std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("record: " + said, first + 1), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("2 frame(s) could not be recorded"), std::string::npos) << result.err;
}

TEST(RecordCommand, PicturesLargerThanAnArchiveHoldsAreRefusedAtStart) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    CommandResult result = RunCli({"record", "--storage", folder + "/S", "--mode", "always", "--source",
                                   "videotestsrc num-buffers=5 ! capsfilter caps=video/x-raw,width=9000,height=200"});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find("cannot record frames of 9000x200 pixels: an archive holds pictures of up to 8192"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(JsonInteger(LastLine(result.out), "recorded"), 0) << result.out;
    EXPECT_FALSE(fs::exists(folder + "/S"));
    result = RunCli({"record", "--storage", folder + "/S", "--mode", "always", "--source", "videotestsrc", "--width",
                     "8193", "--height", "100"});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.err.find("--width takes a whole number from 1 to 8192"), std::string::npos) << result.err;
}

TEST(RecordCommand, AFileSizeLimitIsReportedLikeAFullDisk) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // SIGXFSZ as the shell leaves it: it would end the run. 12 s of frames, so that the count
    // line of the lost ones comes once too.
    const CommandResult result = RunCli({"record", "--storage", folder + "/S", "--source",
                                         "videotestsrc is-live=true pattern=snow ! "
                                         "capsfilter caps=video/x-raw,width=64,height=48,framerate=30/1",
                                         "--mode", "always", "--frames", "360"},
                                        "ulimit -f 40; ");
    EXPECT_EQ(result.exit_code, 1) << result.err;
    const std::string summary = LastLine(result.out);
    // A live source on a busy machine may outrun the encoders: such frames are dropped and counted.
    EXPECT_EQ(JsonInteger(summary, "recorded") + JsonInteger(summary, "failed") + JsonInteger(summary, "dropped"), 360)
        << summary;
    const std::vector<std::string> archives = JsonArchives(summary);
    ASSERT_EQ(archives.size(), 1u) << summary;
    // Every frame counted as stored reads back, and nothing of a frame cut short is left.
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(archives[0]));
    EXPECT_EQ(reader.GetFrameCount(), JsonInteger(summary, "recorded"));
    const std::optional<ArchiveRecord> last = reader.GetRecord(reader.GetFrameCount() - 1);
    ASSERT_TRUE(last.has_value());
    // The trailer follows when it fits under the limit.
    const auto trailer = archive_format::ReadTrailer(archives[0]);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(archives[0])), last->next + (trailer ? 16 : 0));
    if (trailer) {
        EXPECT_EQ(trailer->record_count, JsonInteger(summary, "recorded"));
    }
    EXPECT_NE(result.err.find(" s: cannot append a frame to " + archives[0] + ": File too large"), std::string::npos)
        << result.err;
}

TEST(RecordCommand, AFileSourceThatSyncsToTheClockStillEndsTheRun) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // Taken for a camera, it would be played again from its start, on and on: the time limit ends that.
    const CommandResult result =
        RunCli({"record", "--storage", folder + "/S", "--mode", "always", "--source",
                "videotestsrc num-buffers=10 ! capsfilter caps=video/x-raw,width=64,height=48,framerate=100/1 ! "
                "identity sync=true"},
               "timeout 60 ");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(JsonInteger(LastLine(result.out), "frames"), 10) << result.out;
    EXPECT_EQ(JsonInteger(LastLine(result.out), "reconnects"), 0) << result.out;
}

TEST(RecordCommand, FrameLimitAndModes) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    const std::string source =
        "videotestsrc is-live=true pattern=ball ! capsfilter caps=video/x-raw,width=96,height=64";
    CommandResult result =
        RunCli({"record", "--program-folder", folder, "--source", source, "--mode", "always", "--frames", "5"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    std::string summary = LastLine(result.out);
    EXPECT_EQ(JsonInteger(summary, "frames"), 5) << summary;
    EXPECT_EQ(JsonInteger(summary, "recorded"), 5) << summary;
    std::vector<std::string> archives = JsonArchives(summary);
    ASSERT_EQ(archives.size(), 1u);
    EXPECT_EQ(RecordCount(archives[0]), 5);

    result = RunCli({"record", "--program-folder", folder, "--source", source, "--mode", "off", "--frames", "3"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    summary = LastLine(result.out);
    EXPECT_EQ(JsonInteger(summary, "frames"), 3) << summary;
    EXPECT_EQ(JsonInteger(summary, "recorded"), 0) << summary;
    EXPECT_TRUE(JsonArchives(summary).empty());

    // The requested size is what the frames come in.
    result = RunCli({"record", "--program-folder", folder, "--source", "videotestsrc", "--mode", "always", "--frames",
                     "2", "--width", "80", "--height", "60"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    archives = JsonArchives(LastLine(result.out));
    ASSERT_EQ(archives.size(), 1u);
    CFrameArchive archive;
    ASSERT_TRUE(archive.OpenFile(archives[0]));
    archive.SeekFrame(0);
    EXPECT_EQ(archive.GetFrameImage().GetWidth(), 80);
    EXPECT_EQ(archive.GetFrameImage().GetHeight(), 60);
}

// Mean absolute difference per byte of two pictures of the same size.
double MeanDifference(const BMP_File& a, const BMP_File& b) {
    double sum = 0;
    for (int32_t i = 0; i < a.GetBitsSize(); ++i) sum += std::abs(a.GetBits()[i] - b.GetBits()[i]);
    return sum / std::max(1, a.GetBitsSize());
}

TEST(RecordCommand, EveryCameraFormatIsRecordedAsDecodableJfifPictures) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // Sizes that are no multiple of 4, 8 or 16; the same bars in every YUV layout.
    const std::string bars = "videotestsrc num-buffers=6 ! capsfilter caps=video/x-raw,width=77,height=45";
    const std::string sources[] = {bars + ",format=I420",
                                   bars + ",format=YUY2",
                                   bars + ",format=NV12",
                                   bars + ",format=UYVY",
                                   bars + " ! jpegenc ! capsfilter caps=image/jpeg",
                                   bars + ",format=Y42B ! jpegenc ! capsfilter caps=image/jpeg"};
    BMP_File first_bars;
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        const CommandResult result =
            RunCli({"record", "--program-folder", folder, "--source", source, "--mode", "always"});
        ASSERT_EQ(result.exit_code, 0) << result.err;
        const std::vector<std::string> archives = JsonArchives(LastLine(result.out));
        ASSERT_EQ(archives.size(), 1u) << result.out;
        CFrameArchive archive;
        ASSERT_TRUE(archive.OpenFile(archives[0]));
        ASSERT_EQ(archive.GetFrameCount(), 6);
        for (int32_t frame = 0; frame < 6; ++frame) {
            std::vector<uint8_t> jpeg;
            ASSERT_TRUE(archive.ReadFrameJpeg(frame, jpeg));
            EXPECT_TRUE(HasJfifHeader(jpeg.data(), static_cast<uint32_t>(jpeg.size()))) << frame;
            archive.SeekFrame(frame);
            ASSERT_TRUE(archive.IsFrameDecoded()) << frame;
            EXPECT_EQ(archive.GetFrameImage().GetWidth(), 77);
            EXPECT_EQ(archive.GetFrameImage().GetHeight(), 45);
        }
        if (first_bars.GetWidth() == 0) {
            first_bars.CopyFrom(archive.GetFrameImage());
        } else if (source.find("jpegenc") == std::string::npos) {
            EXPECT_LT(MeanDifference(first_bars, archive.GetFrameImage()), 4.0);
        }
    }
}

TEST(RecordCommand, ALiveSourceIsRecordedInCaptureOrderAtItsCaptureTimesWithDropsCounted) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // A live camera at 30 frames a second: the encoders take what they can, the rest is counted.
    const CommandResult result = RunCli({"record", "--program-folder", folder, "--source",
                                         "videotestsrc is-live=true pattern=snow ! "
                                         "capsfilter caps=video/x-raw,format=I420,width=638,height=478,framerate=30/1",
                                         "--mode", "always", "--frames", "60"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::string summary = LastLine(result.out);
    const long long recorded = JsonInteger(summary, "recorded");
    EXPECT_EQ(recorded + JsonInteger(summary, "dropped"), 60) << summary;
    const std::vector<std::string> archives = JsonArchives(summary);
    ASSERT_EQ(archives.size(), 1u) << summary;
    CFrameArchive archive;
    ASSERT_TRUE(archive.OpenFile(archives[0]));
    ASSERT_EQ(archive.GetFrameCount(), recorded);
    // Stamped as they came: in order, over the two seconds the camera took.
    double first_s = 0.0;
    double previous_s = 0.0;
    for (int32_t frame = 0; frame < archive.GetFrameCount(); ++frame) {
        archive.SeekFrame(frame);
        ASSERT_TRUE(archive.IsFrameDecoded()) << frame;
        const double time_s = archive.GetFrameTime() * 86400.0;
        if (frame == 0) first_s = time_s;
        EXPECT_GE(time_s, previous_s) << frame;
        previous_s = time_s;
    }
    EXPECT_GT(previous_s - first_s, 1.0);
    EXPECT_LT(previous_s - first_s, 4.0);
}

TEST(RecordCommand, EveryBufferTheCameraHandsOverIsCountedAndEachCauseSaidOnce) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    const std::vector<uint8_t> good = GreyJpeg();
    const std::vector<uint8_t> garbage(900, 0x5A);
    const auto record = [&](const std::string& name, const std::vector<std::vector<uint8_t>>& buffers) {
        return RecordJpegBuffers(folder + "/" + name, folder + "/S", buffers);
    };
    const auto said_once = [](const std::string& errors, const std::string& text) {
        const size_t first = errors.find(text);
        return first != std::string::npos && errors.find(text, first + 1) == std::string::npos;
    };
    // Each line of a cause, not the summary that repeats the last one.
    const std::string unknown_size =
        "record: a camera frame could not be used: its JPEG header cannot be read and its size is not known";

    CommandResult result = record("bad", std::vector<std::vector<uint8_t>>(5, garbage));
    EXPECT_EQ(result.exit_code, 1) << result.err;
    std::string summary = LastLine(result.out);
    EXPECT_EQ(JsonInteger(summary, "frames"), 5) << summary;
    EXPECT_EQ(JsonInteger(summary, "failed"), 5) << summary;
    EXPECT_TRUE(said_once(result.err, unknown_size)) << result.err;
    EXPECT_NE(result.err.find("5 frame(s) could not be recorded"), std::string::npos) << result.err;

    // Bad frames before the first good one, an empty buffer, and a bad one after.
    result = record("mixed", {garbage, garbage, good, {}, good, good, garbage});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    summary = LastLine(result.out);
    EXPECT_EQ(JsonInteger(summary, "frames"), 7) << summary;
    EXPECT_EQ(JsonInteger(summary, "recorded"), 3) << summary;
    EXPECT_EQ(JsonInteger(summary, "failed"), 4) << summary;
    EXPECT_EQ(JsonInteger(summary, "dropped"), 0) << summary;
    EXPECT_TRUE(said_once(result.err, unknown_size)) << result.err;
    EXPECT_TRUE(said_once(result.err, "record: a camera frame could not be used: it is empty")) << result.err;
    EXPECT_TRUE(said_once(result.err, "record: a camera frame could not be decoded")) << result.err;
}

TEST(RecordCommand, SourcesEndingInCapsOrInPadsThatAppearLaterAreRecorded) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    // Ten 64 x 48 JPEG frames in an AVI file.
    const std::string avi = folder + "/ten.avi";
    const std::string make =
        "gst-launch-1.0 -q videotestsrc num-buffers=10 ! "
        "video/x-raw,width=64,height=48,framerate=10/1 ! jpegenc ! avimux ! filesink location=" +
        ShellQuote(avi);
    ASSERT_EQ(RunShell(make).exit_code, 0) << make;
    struct Case {
        std::string source;
        int frames;
        int width;
    };
    const Case cases[] = {
        {"videotestsrc num-buffers=6 ! video/x-raw,width=96,height=64", 6, 96},
        {"videotestsrc num-buffers=4 ! video/x-raw,format=YUY2,width=80,height=32 ! videoconvert ! "
         "video/x-raw,format=BGRx",
         4, 80},
        {"uridecodebin uri=file://" + avi, 10, 64},
        {"filesrc location=" + avi + " ! decodebin", 10, 64},
        {"filesrc location=" + avi + " ! avidemux ! queue ! jpegdec", 10, 64},
        {"filesrc location=" + avi + " ! avidemux", 10, 64},
        {"filesrc location=" + avi + " ! decodebin ! video/x-raw,format=BGRx", 10, 64},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.source);
        const std::string storage = folder + "/S" + std::to_string(&test - cases) + "/";
        const CommandResult result =
            RunCli({"record", "--storage", storage, "--mode", "always", "--source", test.source});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        const std::string summary = LastLine(result.out);
        EXPECT_EQ(JsonInteger(summary, "frames"), test.frames) << summary;
        EXPECT_EQ(JsonInteger(summary, "recorded"), test.frames) << summary;
        const std::vector<std::string> archives = JsonArchives(summary);
        ASSERT_EQ(archives.size(), 1u) << summary;
        CFrameArchive archive;
        ASSERT_TRUE(archive.OpenFile(archives[0]));
        std::vector<uint8_t> jpeg;
        ASSERT_TRUE(archive.ReadFrameJpeg(0, jpeg));
        const std::optional<JpegStreamInfo> stream = ReadJpegStream(jpeg.data(), static_cast<uint32_t>(jpeg.size()));
        ASSERT_TRUE(stream.has_value());
        EXPECT_EQ(stream->width, test.width);
    }
    // Neither raw video nor JPEG at the end: said as such.
    const std::string wav = folder + "/tone.wav";
    const std::string make_wav =
        "gst-launch-1.0 -q audiotestsrc num-buffers=5 ! wavenc ! filesink location=" + ShellQuote(wav);
    ASSERT_EQ(RunShell(make_wav).exit_code, 0) << make_wav;
    const CommandResult result = RunCli(
        {"record", "--storage", folder + "/W/", "--mode", "always", "--source", "uridecodebin uri=file://" + wav});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find("neither raw video nor JPEG"), std::string::npos) << result.err;
}

TEST(RecordCommand, SourcesThatCannotStartAreReported) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    CommandResult result = RunCli(
        {"record", "--program-folder", folder, "--source", "v4l2src device=/dev/nonexistent", "--mode", "always"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err,
              "cindral-cli record: the source could not start: Cannot identify device '/dev/nonexistent'.\n");
    EXPECT_FALSE(fs::exists(folder + "/Storage"));

    // A camera that is not there: in this tool's words, with the cameras there are.
    result = RunCli({"record", "--program-folder", folder, "--camera", "No Such Camera", "--mode", "always"},
                    "CINDRAL_TEST_CAMERAS='Test Camera=videotestsrc;Second=videotestsrc' ");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "cindral-cli record: no camera named 'No Such Camera'; cameras: Test Camera, Second\n");

    result = RunCli({"record", "--program-folder", folder + "/missing", "--source", "videotestsrc", "--mode", "always",
                     "--frames", "1"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find(folder + "/missing"), std::string::npos) << result.err;

    // A description that does not parse: what is wrong, then the parser's own words.
    result =
        RunCli({"record", "--program-folder", folder, "--source", "videotestsrc ! nosuchelement", "--mode", "always"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "cindral-cli record: the source description does not work: no element \"nosuchelement\"\n");

    result = RunCli({"record", "--program-folder", folder, "--mode", "always"});
    EXPECT_EQ(result.exit_code, 2);
    result = RunCli({"record", "--program-folder", folder, "--source", "videotestsrc", "--mode", "sometimes"});
    EXPECT_EQ(result.exit_code, 2);
}

TEST(RecordCommand, LostSourcesAreRetriedAndFramesNotStoredAreSaidWhenItHappens) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    const std::string failing =
        "videotestsrc is-live=true ! capsfilter caps=video/x-raw,width=64,height=48,framerate=30/1 ! "
        "identity error-after=10";
    CommandResult result =
        RunCli({"record", "--program-folder", folder, "--source", failing, "--mode", "always", "--frames", "15"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.err.find("camera lost: Failed after iterations as requested.; retrying in 1 s\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("camera back after "), std::string::npos) << result.err;
    std::string summary = LastLine(result.out);
    EXPECT_EQ(JsonInteger(summary, "reconnects"), 1) << summary;
    EXPECT_EQ(JsonInteger(summary, "failed"), 0) << summary;
    std::vector<std::string> archives = JsonArchives(summary);
    ASSERT_EQ(archives.size(), 2u) << summary;
    EXPECT_TRUE(archive_format::ReadTrailer(archives[0]).has_value());
    EXPECT_EQ(RecordCount(archives[0]) + RecordCount(archives[1]), 15);

    result = RunCli({"record", "--program-folder", folder, "--source", failing, "--mode", "always", "--no-retry"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("camera lost: Failed after iterations as requested.\n"), std::string::npos) << result.err;
    EXPECT_EQ(JsonArchives(LastLine(result.out)).size(), 1u);

    // A file source that fails part way ends the run, said once.
    result = RunCli(
        {"record", "--program-folder", folder, "--source",
         "videotestsrc num-buffers=30 ! capsfilter caps=video/x-raw,width=64,height=48 ! identity error-after=10",
         "--mode", "always"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "cindral-cli record: the source failed: Failed after iterations as requested.\n");
    EXPECT_GT(JsonInteger(LastLine(result.out), "recorded"), 0);

    // A full disk: the first failure is said as it happens, and the run ends with status 1.
    result = RunCli({"record", "--program-folder", folder, "--source",
                     "videotestsrc pattern=snow ! capsfilter caps=video/x-raw,width=64,height=48", "--mode", "always",
                     "--frames", "40"},
                    "trap '' XFSZ; ulimit -f 40; ");
    EXPECT_EQ(result.exit_code, 1) << result.err;
    summary = LastLine(result.out);
    EXPECT_GT(JsonInteger(summary, "failed"), 0) << summary;
    EXPECT_EQ(JsonInteger(summary, "recorded") + JsonInteger(summary, "failed"), 40) << summary;
    EXPECT_NE(result.err.find(": File too large\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("frame(s) could not be recorded"), std::string::npos) << result.err;
}

TEST(RecordCommand, TerminationFinishesTheOpenArchive) {
    const TempFolder temp;
    const std::string folder = temp.Path().string();
    const std::string output_path = folder + "/summary.txt";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FILE* out = std::freopen(output_path.c_str(), "w", stdout);
        if (!out) _exit(99);
        execl(CINDRAL_CLI_PATH, CINDRAL_CLI_PATH, "record", "--program-folder", folder.c_str(), "--source",
              "videotestsrc is-live=true ! capsfilter caps=video/x-raw,width=64,height=48,framerate=30/1", "--mode",
              "always", static_cast<char*>(nullptr));
        _exit(98);
    }
    // Stopped once a frame is on its way into the open archive: past the header, a record has begun.
    const bool has_recorded = WaitUntil([&] {
        std::error_code error;
        for (auto entry = fs::recursive_directory_iterator(folder + "/Storage", error);
             !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
            if (entry->is_regular_file(error) && entry->file_size(error) > archive_format::kHeaderSize + 12 && !error)
                return true;
        }
        return false;
    });
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(has_recorded);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string summary = ReadWholeFile(output_path);
    const std::vector<std::string> archives = JsonArchives(LastLine(summary));
    ASSERT_EQ(archives.size(), 1u) << summary;
    const long long recorded = JsonInteger(summary, "recorded");
    EXPECT_GT(recorded, 0);
    EXPECT_EQ(RecordCount(archives[0]), recorded);
}

}  // namespace

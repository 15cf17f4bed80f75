#include <gtest/gtest.h>

#include <filesystem>

#include "recorder/frame_archive.h"
#include "recorder/recorder_monitor.h"
#include "support/archive_test_support.h"
#include "support/file_size_limit.h"

using namespace archive_test;

namespace {

using Kind = RecorderEvent::Kind;

}  // namespace

// Each failure is reported once per cause while it lasts, the recovery once, and the counts and
// the open archive stay in step with what reached the disk.
TEST(RecorderMonitor, ReportsEachCauseOnceAndTheRecovery) {
    TempFolder folder;
    CFrameArchive archive(folder.Folder() + "Storage/");
    CRecorderMonitor monitor(archive);
    monitor.SetKeepsArchiveList(true);
    std::vector<RecorderEvent> events;
    monitor.SetEventHandler([&](const RecorderEvent& event) { events.push_back(event); });
    BMP_File image;
    PaintScene(image, 160, 120, 0);
    auto kinds = [&] {
        std::vector<Kind> seen;
        for (const RecorderEvent& event : events) seen.push_back(event.kind);
        events.clear();
        return seen;
    };

    // The storage folder cannot be made: a plain file stands in its place.
    WriteBytes(folder.File("Storage"), {1});
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(monitor.WriteFrame(image));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(Kind::kFailed, events[0].kind);
    EXPECT_EQ(0u, events[0].cause.find("cannot create archive: ")) << events[0].cause;
    EXPECT_EQ(std::string::npos, events[0].cause.find(folder.Folder())) << "the cause names no file";
    EXPECT_NE(std::string::npos, events[0].detail.find(folder.Folder()));
    events.clear();
    CRecorderMonitor::Status status = monitor.GetStatus();
    EXPECT_EQ(5, status.failed_frames);
    EXPECT_FALSE(status.failure_cause.empty());

    // The cause is gone: the next frame is stored in a new archive.
    std::filesystem::remove(folder.File("Storage"));
    ASSERT_TRUE(monitor.WriteFrame(image));
    EXPECT_EQ((std::vector<Kind>{Kind::kFileStarted, Kind::kRecovered}), kinds());
    status = monitor.GetStatus();
    EXPECT_TRUE(status.failure_cause.empty());
    EXPECT_EQ(archive.GetWritePath(), status.open_path);
    EXPECT_EQ(1, status.stored_frames);

    // The disk fills up: appends and then the trailer fail for one cause, said once; the frames
    // stored stay readable; space comes back and a new archive begins.
    const std::string first_archive = status.open_path;
    {
        FileSizeLimit cap(static_cast<rlim_t>(std::filesystem::file_size(first_archive)) + 10);
        ASSERT_TRUE(cap.IsSet());
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(monitor.WriteFrame(image));
        EXPECT_FALSE(monitor.CloseFile());
    }
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("cannot append a frame to: File too large", events[0].cause);
    EXPECT_EQ((std::vector<Kind>{Kind::kFailed, Kind::kFileFinished}), kinds());
    EXPECT_EQ("cannot write the trailer of: File too large", monitor.GetStatus().failure_cause);
    ASSERT_TRUE(monitor.WriteFrame(image));
    EXPECT_EQ((std::vector<Kind>{Kind::kFileStarted, Kind::kRecovered}), kinds());
    EXPECT_TRUE(monitor.CloseFile());
    EXPECT_EQ(std::vector<Kind>{Kind::kFileFinished}, kinds());
    status = monitor.GetStatus();
    EXPECT_EQ(2, status.stored_frames);
    EXPECT_EQ(8, status.failed_frames);
    EXPECT_TRUE(status.open_path.empty());
    const std::vector<std::string> archives = monitor.GetArchives();
    ASSERT_EQ(2u, archives.size());
    EXPECT_EQ(first_archive, archives[0]);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(first_archive));
    EXPECT_EQ(1, reader.GetFrameCount());
    EXPECT_EQ(1, archive_format::ReadTrailer(archives[1])->record_count);

    // Frames too big for the old limit are said once per run of them.
    BMP_File noise;
    PaintNoise(noise, 1920, 1080, 7);
    ASSERT_TRUE(monitor.WriteFrame(noise));
    ASSERT_TRUE(monitor.WriteFrame(noise));
    EXPECT_EQ((std::vector<Kind>{Kind::kFileStarted, Kind::kQualityFallback}), kinds());
    ASSERT_TRUE(monitor.WriteFrame(image));
    ASSERT_TRUE(monitor.WriteFrame(noise));
    EXPECT_EQ(std::vector<Kind>{Kind::kQualityFallback}, kinds());
}

// Camera frames that cannot be used count as failed; each cause is said once, even with good
// frames stored between them, and recording is not taken for failing.
TEST(RecorderMonitor, LostCameraFramesAreCountedAndEachCauseSaidOnce) {
    TempFolder folder;
    CFrameArchive archive(folder.Folder() + "Storage/");
    CRecorderMonitor monitor(archive);
    std::vector<RecorderEvent> events;
    monitor.SetEventHandler([&](const RecorderEvent& event) { events.push_back(event); });
    BMP_File image;
    PaintScene(image, 32, 24, 0);
    for (const char* cause : {"garbage", "garbage", "too large", "garbage"}) {
        monitor.FrameLost(cause, std::string(cause) + ", in full");
        ASSERT_TRUE(monitor.WriteFrame(image));
    }
    std::vector<std::string> said;
    for (const RecorderEvent& event : events) {
        if (event.kind == Kind::kFrameLost) said.push_back(event.detail);
        EXPECT_NE(Kind::kRecovered, event.kind);
    }
    EXPECT_EQ((std::vector<std::string>{"garbage, in full", "too large, in full"}), said);
    const CRecorderMonitor::Status status = monitor.GetStatus();
    EXPECT_EQ(4, status.failed_frames);
    EXPECT_EQ(4, status.stored_frames);
    EXPECT_TRUE(status.failure_cause.empty());
}

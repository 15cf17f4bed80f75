#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

#include "archive_test_support.h"
#include "recording/recorder_monitor.h"

using namespace archive_test;

namespace {

using Kind = RecorderEvent::Kind;

// Writes beyond this many bytes fail with EFBIG while the object lives (SIGXFSZ ignored).
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        is_set_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeCap() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }
    bool IsSet() const { return is_set_; }

private:
    rlimit saved_{};
    void (*old_handler_)(int) = nullptr;
    bool is_set_ = false;
};

}  // namespace

// Each failure is reported once per cause while it lasts, the recovery once, and the counts and
// the open archive stay in step with what reached the disk.
TEST(RecorderMonitor, ReportsEachCauseOnceAndTheRecovery) {
    TempFolder folder;
    CFrameArchive archive(folder.Folder());
    CRecorderMonitor monitor(archive);
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
    ASSERT_EQ(std::vector<Kind>{Kind::kFailed}, std::vector<Kind>{events.at(0).kind});
    EXPECT_EQ(0u, events[0].cause.find("cannot create archive: ")) << events[0].cause;
    EXPECT_EQ(std::string::npos, events[0].cause.find(folder.Folder())) << "the cause names no file";
    EXPECT_NE(std::string::npos, events[0].detail.find(folder.Folder()));
    EXPECT_EQ(1u, kinds().size());
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

    // The disk fills up: appends fail with one cause, the file stays open, space comes back.
    {
        FileSizeCap cap(static_cast<rlim_t>(std::filesystem::file_size(status.open_path)) + 10);
        ASSERT_TRUE(cap.IsSet());
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(monitor.WriteFrame(image));
    }
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("cannot append a frame to: File too large", events[0].cause);
    EXPECT_EQ(std::vector<Kind>{Kind::kFailed}, kinds());
    ASSERT_TRUE(monitor.WriteFrame(image));
    EXPECT_EQ(std::vector<Kind>{Kind::kRecovered}, kinds());
    EXPECT_TRUE(monitor.CloseFile());
    EXPECT_EQ(std::vector<Kind>{Kind::kFileFinished}, kinds());
    status = monitor.GetStatus();
    EXPECT_EQ(2, status.stored_frames);
    EXPECT_EQ(8, status.failed_frames);
    EXPECT_TRUE(status.open_path.empty());
    ASSERT_EQ(1u, status.archives.size());
    EXPECT_EQ(2, archive_format::ReadTrailer(status.archives[0])->record_count);

    // Frames too big for the old limit are said once per run of them.
    BMP_File noise;
    noise.Create(1920, 1080);
    uint32_t state = 7;
    for (int32_t i = 0; i < noise.GetBitsSize(); ++i) {
        state = state * 1664525u + 1013904223u;
        noise.GetBits()[i] = static_cast<uint8_t>(state >> 24);
    }
    ASSERT_TRUE(monitor.WriteFrame(noise));
    ASSERT_TRUE(monitor.WriteFrame(noise));
    EXPECT_EQ((std::vector<Kind>{Kind::kFileStarted, Kind::kQualityFallback}), kinds());
    ASSERT_TRUE(monitor.WriteFrame(image));
    ASSERT_TRUE(monitor.WriteFrame(noise));
    EXPECT_EQ(std::vector<Kind>{Kind::kQualityFallback}, kinds());
}

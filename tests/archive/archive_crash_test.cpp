#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>

#include "recorder/frame_archive.h"
#include "support/archive_test_support.h"

using namespace archive_test;
namespace fs = std::filesystem;

namespace {

// Records frames without end in a child process, reporting each finished frame on a pipe.
[[noreturn]] void RecordForever(const std::string& program_folder, int report_fd) {
    CFrameArchive recorder(program_folder + "Storage/");
    BMP_File image;
    for (int frame = 0;; ++frame) {
        PaintScene(image, 320, 240, frame);
        const char report = recorder.WriteFrame(image) ? 'w' : 'f';
        if (::write(report_fd, &report, 1) != 1) _exit(3);
    }
}

}  // namespace

TEST(CrashSafety, KilledRecordingLeavesEveryCountedRecordReadable) {
    for (const int frames_before_kill : {1, 6, 17}) {
        SCOPED_TRACE(frames_before_kill);
        TempFolder folder;
        int pipe_fds[2];
        ASSERT_EQ(0, ::pipe(pipe_fds));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipe_fds[0]);
            RecordForever(folder.Folder(), pipe_fds[1]);
        }
        ::close(pipe_fds[1]);
        int written = 0;
        char report = 0;
        while (written < frames_before_kill && ::read(pipe_fds[0], &report, 1) == 1) {
            ASSERT_EQ('w', report);
            ++written;
        }
        // The child is in the middle of its next frames when it dies.
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(pipe_fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_EQ(written, frames_before_kill);

        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(folder.Path())) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        ASSERT_EQ(1u, files.size());
        const std::string path = files[0].string();
        EXPECT_FALSE(archive_format::ReadTrailer(path).has_value());
        CFrameArchive reader;
        ASSERT_TRUE(reader.OpenFile(path));
        EXPECT_GE(reader.GetFrameCount(), frames_before_kill);
        for (int32_t frame = 0; frame < reader.GetFrameCount(); ++frame) {
            reader.SeekFrame(frame);
            ASSERT_TRUE(reader.IsFrameDecoded()) << "frame " << frame << ": " << reader.GetLastError();
            ASSERT_EQ(320, reader.GetFrameImage().GetWidth());
        }
        // A fresh reader finds the first record by its tag as well.
        CFrameArchive jumper;
        ASSERT_TRUE(jumper.OpenFile(path));
        jumper.SeekFrame(0);
        EXPECT_TRUE(jumper.IsFrameDecoded());
    }
}

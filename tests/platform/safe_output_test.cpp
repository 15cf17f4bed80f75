// Outputs never replace what their path names: devices and FIFOs are written into, inputs and
// archives refused, regular files named only when complete, and nothing left after a kill.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/safe_output.h"
#include "support/files.h"
#include "support/temp_folder.h"
#include "support/wait.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Write(const std::string& path, const std::string& text, const SafeOutputRules& rules = {}) {
    std::string error;
    WriteOutputFile(path, text.data(), text.size(), rules, error);
    return error;
}

}  // namespace

TEST(SafeOutput, RegularFilesAreReplacedWholeAndLinksFollowed) {
    TempFolder folder;
    for (const bool is_unnamed : {true, false}) {
        SCOPED_TRACE(is_unnamed ? "unnamed file" : "visible temporary name");
        SafeOutputRules rules;
        rules.use_unnamed_file = is_unnamed;
        const std::string target = folder.File("out.jpg");
        fs::remove(target);
        EXPECT_EQ("", Write(target, "first", rules));
        // A second name of the old file keeps the old bytes: the new file replaced it, nothing was written into it.
        fs::remove(folder.File("old-name"));
        fs::create_hard_link(target, folder.File("old-name"));
        EXPECT_EQ("", Write(target, "second", rules));
        EXPECT_EQ("second", ReadWholeFile(target));
        EXPECT_EQ("first", ReadWholeFile(folder.File("old-name")));
        // Through a link: the file it points to is replaced, the link stays.
        fs::remove(folder.File("link.jpg"));
        fs::create_symlink(target, folder.File("link.jpg"));
        EXPECT_EQ("", Write(folder.File("link.jpg"), "third", rules));
        EXPECT_TRUE(fs::is_symlink(folder.File("link.jpg")));
        EXPECT_EQ("third", ReadWholeFile(target));
        EXPECT_EQ((std::vector<std::string>{"link.jpg", "old-name", "out.jpg"}), Entries(folder.Path()));
    }
}

TEST(SafeOutput, InputsArchivesArchiveNamesFoldersAndSocketsAreRefusedUntouched) {
    TempFolder folder;
    const std::string archive = folder.File("1234.CNA");
    WriteWholeFile(archive, "recorded");
    WriteWholeFile(folder.File("other.cNa"), "another archive");
    fs::create_hard_link(archive, folder.File("second-name.bin"));
    fs::create_symlink(archive, folder.File("link.jpg"));
    fs::create_directory(folder.File("folder.avi"));
    const int socket_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = folder.File("socket.jpg");
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    ASSERT_EQ(0, ::bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));

    SafeOutputRules rules;
    rules.protected_paths = {archive};
    const std::pair<std::string, std::string> refused[] = {
        {archive, "archive being read"},
        {folder.File("second-name.bin"), "archive being read"},
        {folder.File("link.jpg"), "archive being read"},
        {folder.File("other.cNa"), "is an archive"},
        {folder.File("folder.avi"), "is a folder"},
        {socket_path, "is a socket"},
        {folder.File("new.Cna"), "named like an archive"},
    };
    for (const auto& [path, reason] : refused) {
        SCOPED_TRACE(path);
        std::string error;
        EXPECT_FALSE(CheckOutputPath(path, rules, error));
        EXPECT_NE(std::string::npos, Write(path, "nothing", rules).find(reason));
    }
    ::close(socket_fd);
    EXPECT_EQ("recorded", ReadWholeFile(archive));
    EXPECT_EQ("another archive", ReadWholeFile(folder.File("other.cNa")));
    EXPECT_FALSE(fs::exists(folder.File("new.Cna")));
    EXPECT_TRUE(fs::is_symlink(folder.File("link.jpg")));
}

TEST(SafeOutput, FifosAndDevicesAreWrittenIntoNeverReplaced) {
    TempFolder folder;
    const std::string fifo = folder.File("pipe.jpg");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    EXPECT_NE(std::string::npos, Write(fifo, "lost").find("no program reads"));

    std::string received;
    std::thread reader([&] { received = ReadWholeFile(fifo); });
    // Written once the reader has the pipe open.
    std::string error = "not tried";
    WaitUntil([&] { return (error = Write(fifo, "through the pipe")).empty(); }, 5000);
    reader.join();
    EXPECT_EQ("", error);
    EXPECT_EQ("through the pipe", received);
    EXPECT_TRUE(fs::is_fifo(fifo));

    SafeOutputRules seeking;  // a device that can seek takes even a file completed at the end
    seeking.needs_seeking = true;

    // A node of the null device of our own, so that a fault could never touch /dev/null.
    const std::string device = folder.File("null.jpg");
    if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "no right to make a device node";
    EXPECT_EQ("", Write(device, "gone", seeking));
    EXPECT_TRUE(fs::is_character_file(device));
}

TEST(SafeOutput, NothingIsLeftWhenAWriterStopsOrIsKilled) {
    TempFolder folder;
    const std::string target = folder.File("video.avi");
    WriteWholeFile(target, "old");
    for (const bool is_unnamed : {true, false}) {
        SCOPED_TRACE(is_unnamed ? "unnamed file" : "visible temporary name");
        SafeOutputRules rules;
        rules.use_unnamed_file = is_unnamed;
        {
            CSafeOutput output;
            ASSERT_TRUE(output.Open(target, rules)) << output.Error();
            ASSERT_TRUE(output.Write("partial", 7));
        }  // not committed
        EXPECT_EQ(std::vector<std::string>{"video.avi"}, Entries(folder.Path()));

        // Killed while writing: only a visible temporary name can stay, and the next output removes it.
        int ready[2];
        ASSERT_EQ(0, ::pipe(ready));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CSafeOutput output;
            const bool is_open = output.Open(target, rules) && output.Write("partial", 7);
            if (::write(ready[1], is_open ? "y" : "n", 1) != 1) _exit(2);
            ::pause();
            _exit(0);
        }
        char answer = 0;
        ASSERT_EQ(1, ::read(ready[0], &answer, 1));
        ASSERT_EQ('y', answer);
        // While the writer lives, its temporary file is not taken for a leftover.
        RemoveStaleTemporaries(folder.Folder());
        EXPECT_EQ(is_unnamed ? 1u : 2u, Entries(folder.Path()).size());
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        for (const std::string& name : Entries(folder.Path())) {
            if (name != "video.avi")
                fs::last_write_time(folder.File(name), fs::file_time_type::clock::now() - std::chrono::hours(1));
        }
        EXPECT_EQ("", Write(target, "new", rules));
        EXPECT_EQ(std::vector<std::string>{"video.avi"}, Entries(folder.Path()));
        EXPECT_EQ("new", ReadWholeFile(target));
    }
}

TEST(SafeOutput, TheFileIsFlushedBeforeItTakesItsNameAndTheFolderAfter) {
    TempFolder folder;
    const std::string target = folder.File("Cindral.reg");
    for (const bool is_unnamed : {true, false}) {
        SCOPED_TRACE(is_unnamed ? "unnamed file" : "visible temporary name");
        WriteWholeFile(target, "old");
        std::vector<std::string> flushes;
        const FileSync sync{[&](int) {
                                flushes.push_back("file; target holds " + ReadWholeFile(target));
                                return true;
                            },
                            [&](const std::string& flushed) {
                                flushes.push_back("folder " + flushed + "; target holds " + ReadWholeFile(target));
                                return true;
                            }};
        CReplacingFile file(sync);
        std::string error;
        ASSERT_TRUE(file.Create(target, is_unnamed, &error)) << error;
        ASSERT_TRUE(WriteAll(file.Fd(), "new", 3));
        ASSERT_TRUE(file.Commit(&error)) << error;
        EXPECT_EQ(
            (std::vector<std::string>{"file; target holds old", "folder " + folder.Folder() + "; target holds new"}),
            flushes);
    }
}

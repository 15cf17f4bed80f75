// SIGTERM and SIGINT close the running program in order: the archive being recorded gets
// its trailer and the settings are written. The built program runs as a child process.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app_test_support.h"
#include "archive/archive_format.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"

extern char** environ;

namespace {

// Waits for the child without blocking forever; nothing when it is still running at the deadline.
std::optional<int> WaitForExit(pid_t child, std::chrono::seconds deadline) {
    int status = 0;
    const bool has_exited = WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; },
                                      static_cast<int>(std::chrono::milliseconds(deadline).count()));
    return has_exited ? std::optional<int>(status) : std::nullopt;
}

std::vector<std::filesystem::path> WaitForArchiveWithRecords(const std::filesystem::path& storage) {
    std::vector<std::filesystem::path> archives;
    const bool has_records = WaitUntil(
        [&] {
            archives = FindArchives(storage);
            std::error_code error;
            // Header plus a few records: frames have been written.
            return !archives.empty() && std::filesystem::file_size(archives[0], error) > 2000;
        },
        60000);
    return has_records ? archives : std::vector<std::filesystem::path>{};
}

class ShutdownSignalTest : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(ShutdownSignalTest, RecordingProgramFinishesItsArchiveAndWritesSettings) {
    const int signal_number = GetParam();
    const std::filesystem::path program(CINDRAL_APP_PATH);
    ASSERT_TRUE(std::filesystem::exists(program)) << program;

    // The program folder is the executable's, so the program runs from a copy in a fresh folder.
    TempFolder folder;
    const std::filesystem::path copy = folder.Path() / "cindral";
    std::filesystem::copy_file(program, copy);
    std::filesystem::create_directory(folder.Path() / "Storage");  // portable: recordings beside the program
    const std::filesystem::path config = folder.Path() / "config";
    const std::filesystem::path settings_file = config / "Tovamesh" / "Cindral.reg";
    {
        CKeyStore store(settings_file);
        CindralSettings settings;
        LoadSettings(store, settings);
        settings.camera_name = "Test Camera";
        settings.saving_mode = kSavingAlways;
        settings.threshold = 37;
        SaveSettings(store, settings);
    }

    std::vector<std::string> environment = {
        "QT_QPA_PLATFORM=offscreen",
        "XDG_CONFIG_HOME=" + config.string(),
        "CINDRAL_TEST_CAMERAS=Test Camera=videotestsrc pattern=ball is-live=true ! "
        "capsfilter caps=\"video/x-raw,width=176,height=144,framerate=15/1\"",
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (text.rfind("QT_QPA_PLATFORM=", 0) != 0 && text.rfind("XDG_CONFIG_HOME=", 0) != 0 &&
            text.rfind("CINDRAL_TEST_CAMERAS=", 0) != 0)
            environment.push_back(text);
    }
    std::vector<char*> envp;
    for (std::string& text : environment) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program_path = copy.string();
    char* argv[] = {program_path.data(), nullptr};

    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, program_path.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    const auto archives = WaitForArchiveWithRecords(folder.Path() / "Storage");
    if (archives.empty()) {
        kill(child, SIGKILL);
        WaitForExit(child, std::chrono::seconds(10));
        FAIL() << "the program recorded nothing";
    }
    ASSERT_EQ(kill(child, signal_number), 0);
    const std::optional<int> status = WaitForExit(child, std::chrono::seconds(60));
    if (!status) {
        kill(child, SIGKILL);
        WaitForExit(child, std::chrono::seconds(10));
        FAIL() << "the program did not end after the signal";
    }
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
    EXPECT_EQ(WEXITSTATUS(*status), 0);

    const auto finished = FindArchives(folder.Path() / "Storage");
    ASSERT_EQ(finished.size(), 1u);
    const auto trailer = archive_format::ReadTrailer(finished[0].string());
    ASSERT_TRUE(trailer.has_value()) << finished[0];
    EXPECT_GT(trailer->record_count, 0);

    CKeyStore store(settings_file);
    CindralSettings saved;
    LoadSettings(store, saved);
    EXPECT_EQ(saved.camera_name, "Test Camera");
    EXPECT_EQ(saved.threshold.load(), 37);
    EXPECT_EQ(saved.frame_width.load(), 176);    // written at this shutdown, as negotiated
    EXPECT_EQ(saved.frame_height.load(), -144);  // top row first
}

INSTANTIATE_TEST_SUITE_P(Signals, ShutdownSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& signal_info) { return signal_info.param == SIGTERM ? "Term" : "Int"; });

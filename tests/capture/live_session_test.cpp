// The live session on real GStreamer graphs with test cameras: losses of every kind are retried
// and recording resumes in a new finished archive; cameras plugged in and pulled out are followed.
#include <gtest/gtest.h>

#include <QComboBox>
#include <cstdlib>
#include <filesystem>

#include "archive/archive_format.h"
#include "capture/capture_test_support.h"
#include "capture/device_watcher.h"
#include "capture/live_session.h"
#include "capture/test_camera_provider.h"
#include "capture_ui/twain_sources_dlg.h"
#include "live_text/live_state_text.h"
#include "support/temp_folder.h"

namespace {

constexpr char kSmallLive[] =
    "videotestsrc is-live=true ! capsfilter caps=video/x-raw,width=64,height=48,framerate=30/1";

std::string Describe(const std::vector<RecordedMessage>& messages) {
    std::string text;
    for (const RecordedMessage& message : messages) text += "[" + message.caption + "] " + message.text + "\n";
    return text;
}

void ExpectFinishedArchives(const std::vector<std::string>& archives, size_t at_least) {
    ASSERT_GE(archives.size(), at_least);
    for (const std::string& path : archives) {
        const auto trailer = archive_format::ReadTrailer(path);
        ASSERT_TRUE(trailer.has_value()) << path << " has no trailer";
        EXPECT_GT(trailer->record_count, 0) << path;
    }
}

}  // namespace

TEST(LiveSession, LostCameraIsRetriedAndRecordingResumesInANewFinishedArchive) {
    unsetenv("CINDRAL_TEST_CAMERAS");
    struct Case {
        const char* loss;
        std::string description;
    };
    const Case cases[] = {
        {"ends", std::string(kSmallLive) + " ! identity eos-after=6"},
        {"fails", std::string(kSmallLive) + " ! identity error-after=6"},
        {"goes silent", std::string(kSmallLive) + " ! identity sleep-time=1500000"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.loss);
        TempFolder folder;
        RecordingMessages messages;
        CindralSettings settings;
        settings.camera_name = "Flaky";
        settings.saving_mode = kSavingAlways;
        LiveSessionOptions options;
        options.silence_limit_ms = 500;
        options.is_listing_archives = true;
        CLiveSession session(settings, folder.Folder() + "Storage/", messages, nullptr, nullptr, options);
        session.AddCamera("Flaky", test.description);
        std::vector<QString> lost;
        std::vector<int> retry_delays;
        QObject::connect(&session, &CLiveSession::CameraLost, [&](const QString& reason) { lost.push_back(reason); });
        QObject::connect(&session, &CLiveSession::RetryScheduled, [&](const QString&, int in_s) {
            retry_delays.push_back(in_s);
            EXPECT_EQ(LivePhase::kCameraLost, session.State().phase);
            EXPECT_EQ(QString("No signal"), LiveStateCaption(session.State()));
        });
        ASSERT_TRUE(session.Start()) << Describe(messages.shown);
        ASSERT_TRUE(WaitUntil([&] { return session.Reconnects() >= 1; }, 30000)) << Describe(messages.shown);
        EXPECT_GE(lost.size(), 1u);
        ASSERT_FALSE(retry_delays.empty());
        EXPECT_EQ(1, retry_delays[0]);
        // One message for the loss, whatever its kind; none for the attempts.
        ASSERT_GE(messages.shown.size(), 1u) << Describe(messages.shown);
        EXPECT_EQ(lost.size(), messages.shown.size()) << Describe(messages.shown);
        EXPECT_EQ("Could not access camera", messages.shown[0].caption);
        session.Stop();
        ExpectFinishedArchives(session.Archives(), 2);
    }
}

TEST(LiveSession, CamerasThatComeAndGoAreFollowedByTheSessionAndTheCameraList) {
    unsetenv("CINDRAL_TEST_CAMERAS");
    ResetTestCameras();
    CVideoDeviceWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    PlugTestCamera({"Other Camera", kSmallLive});
    TempFolder folder;
    RecordingMessages messages;
    CindralSettings settings;
    settings.camera_name = "Plug Camera";
    settings.saving_mode = kSavingAlways;
    LiveSessionOptions options;
    options.is_listing_archives = true;
    CLiveSession session(settings, folder.Folder() + "Storage/", messages, nullptr, &watcher, options);
    CTwainSourcesDlg dialog(nullptr, settings);
    dialog.SetDeviceWatcher(&watcher);
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(WaitUntil([&] { return dialog.CameraList()->findText("Other Camera") >= 0; }));
    EXPECT_EQ(-1, dialog.CameraList()->findText("Plug Camera"));

    // Missing at start: said once, then waited for.
    EXPECT_FALSE(session.Start());
    EXPECT_EQ(LivePhase::kNoCamera, session.State().phase);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Camera Direct Show Source \"Plug Camera\" was not found!", messages.shown[0].text);

    PlugTestCamera({"Plug Camera", kSmallLive});
    ASSERT_TRUE(WaitUntil([&] { return session.State().phase == LivePhase::kRecording; }));
    EXPECT_NE(-1, dialog.CameraList()->findText("Plug Camera"));

    UnplugTestCamera("Plug Camera");
    ASSERT_TRUE(WaitUntil([&] { return session.State().phase == LivePhase::kCameraLost; }));
    EXPECT_EQ(-1, dialog.CameraList()->findText("Plug Camera"));
    // Attempts while it is away fail quietly.
    WaitUntil([] { return false; }, 1500);
    EXPECT_EQ(2u, messages.shown.size()) << Describe(messages.shown);

    PlugTestCamera({"Plug Camera", kSmallLive});
    ASSERT_TRUE(WaitUntil([&] { return session.Reconnects() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return session.State().phase == LivePhase::kRecording; }));
    EXPECT_EQ(2u, messages.shown.size()) << Describe(messages.shown);
    session.Stop();
    ExpectFinishedArchives(session.Archives(), 2);
    ResetTestCameras();
}

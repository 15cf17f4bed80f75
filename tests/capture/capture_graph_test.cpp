#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include <QStringList>

#include "capture/capture_graph.h"
#include "capture/capture_test_support.h"
#include "support/temp_folder.h"

namespace {

constexpr char kLiveCamera[] = "videotestsrc is-live=true pattern=ball";

class CaptureGraphTest : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("CINDRAL_TEST_CAMERAS"); }

    std::unique_ptr<CWebCameraDlg> MakeCapture() {
        auto capture = std::make_unique<CWebCameraDlg>(messages);
        capture->SetFrameReceiver(&receiver);
        capture->SetPropertyPages(&pages);
        return capture;
    }
    bool Start(CWebCameraDlg& capture, const std::string& name) {
        return capture.Init(name, &settings.width, &settings.height, &settings.frame_duration_100ns);
    }

    RecordingMessages messages;
    CountingReceiver receiver;
    ScriptedPages pages;
    CaptureSettings settings;
};

TEST_F(CaptureGraphTest, FramesFlowAtTheRequestedSizeTopRowFirst) {
    settings.width = 320;
    settings.height = 240;
    auto capture = MakeCapture();
    capture->AddCamera("Test Camera", kLiveCamera);
    ASSERT_TRUE(Start(*capture, "Test Camera"));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(capture->IsRunning());
    ASSERT_TRUE(WaitUntil([&] { return receiver.frames.load() >= 3; }));
    EXPECT_EQ(settings.width.load(), 320);
    EXPECT_EQ(settings.height.load(), -240);
    EXPECT_EQ(receiver.last_width.load(), 320);
    EXPECT_EQ(receiver.last_height.load(), -240);
}

TEST_F(CaptureGraphTest, SizeTheCameraDoesNotOfferLeavesItsOwnFormatAndReportsThatSize) {
    settings.width = 640;
    settings.height = 480;
    settings.frame_duration_100ns = 333333;
    auto capture = MakeCapture();
    capture->AddCamera("Fixed",
                       "videotestsrc is-live=true ! capsfilter caps=video/x-raw,width=176,height=144,framerate=15/1");
    ASSERT_TRUE(Start(*capture, "Fixed")) << messages.shown.at(0).text;
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_TRUE(WaitUntil([&] { return receiver.frames.load() >= 2; }));
    EXPECT_EQ(settings.width.load(), 176);
    EXPECT_EQ(settings.height.load(), -144);
    EXPECT_EQ(receiver.last_width.load(), 176);
}

TEST_F(CaptureGraphTest, CameraOfferingOnlyJpegSendsItAtTheRequestedSize) {
    settings.width = 320;
    settings.height = 240;
    auto capture = MakeCapture();
    capture->AddCamera("Jpeg Camera", "videotestsrc is-live=true ! jpegenc");
    ASSERT_TRUE(Start(*capture, "Jpeg Camera"));
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_TRUE(WaitUntil([&] { return receiver.frames.load() >= 2; }));
    EXPECT_EQ(receiver.last_layout.load(), PixelLayout::kJpeg);
    EXPECT_EQ(receiver.last_width.load(), 320);
    EXPECT_EQ(receiver.last_height.load(), -240);
}

TEST_F(CaptureGraphTest, RowsArriveTopRowFirstInBlueGreenRedOrder) {
    // Top row pure red, the rest black: nothing turns the frame upside down on its way.
    const TempFolder folder;
    const std::string path = folder.File("frames.raw");
    constexpr int kWidth = 8, kHeight = 4;
    std::vector<uint8_t> frame(kWidth * kHeight * 4, 0);
    for (int x = 0; x < kWidth; ++x) frame[x * 4 + 2] = 255;  // top row, red in B G R x
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (int i = 0; i < 2; ++i) std::fwrite(frame.data(), 1, frame.size(), file);
    std::fclose(file);

    receiver.keep_first_row = true;
    receiver.first_row_bytes = kWidth * kHeight * 4;
    settings.width = 0;
    settings.height = 0;
    bool is_ended = false;
    auto capture = MakeCapture();
    capture->SetClockSync(false);
    capture->SetStreamEndHandler([&](const StreamEnd&) { is_ended = true; });
    capture->AddCamera("File",
                       "filesrc location=" + path + " ! rawvideoparse format=bgrx width=8 height=4 framerate=10/1");
    ASSERT_TRUE(Start(*capture, "File"));
    ASSERT_TRUE(WaitUntil([&] { return is_ended; }));
    EXPECT_EQ(receiver.frames.load(), 2);
    EXPECT_FALSE(capture->IsRunning());
    std::lock_guard<std::mutex> lock(receiver.mutex);
    ASSERT_EQ(receiver.first_row.size(), frame.size());
    EXPECT_EQ(receiver.first_row, frame);
    EXPECT_EQ(receiver.last_height.load(), -kHeight);
    std::remove(path.c_str());
}

TEST_F(CaptureGraphTest, SourceThatRefusesTheStoredSizeRunsInItsOwnFormat) {
    // rawvideoparse answers every size when asked, then delivers only its own.
    settings.width = 640;
    settings.height = 480;
    bool is_ended = false;
    auto capture = MakeCapture();
    capture->SetClockSync(false);
    capture->SetStreamEndHandler([&](const StreamEnd&) { is_ended = true; });
    capture->AddCamera("Parsed",
                       "videotestsrc num-buffers=3 ! capsfilter caps=video/x-raw,format=BGRx,width=32,"
                       "height=16 ! rawvideoparse format=bgrx width=32 height=16 framerate=5/1");
    ASSERT_TRUE(Start(*capture, "Parsed")) << messages.shown.at(0).text;
    ASSERT_TRUE(WaitUntil([&] { return is_ended; }));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(receiver.frames.load(), 3);
    EXPECT_EQ(settings.width.load(), 32);
    EXPECT_EQ(settings.height.load(), -16);
}

TEST_F(CaptureGraphTest, FileSourceDeliversEveryFrameWithoutClock) {
    bool is_ended = false;
    auto capture = MakeCapture();
    capture->SetClockSync(false);
    capture->SetStreamEndHandler([&](const StreamEnd&) { is_ended = true; });
    capture->AddCamera("Finite",
                       "videotestsrc num-buffers=40 ! capsfilter caps=video/x-raw,width=64,height=48,framerate=1/1");
    ASSERT_TRUE(Start(*capture, "Finite"));
    ASSERT_TRUE(WaitUntil([&] { return is_ended; }));
    EXPECT_EQ(receiver.frames.load(), 40);
    EXPECT_TRUE(messages.shown.empty());
}

namespace {
std::mutex g_log_mutex;
QStringList g_log;  // warnings said while a test catches them
void CatchLog(QtMsgType type, const QMessageLogContext&, const QString& message) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (type >= QtWarningMsg) g_log << message;
}
}  // namespace

TEST_F(CaptureGraphTest, FramesThePipelineFailsOnAreToldOnceAndTheStreamGoesOn) {
    receiver.is_throwing = true;
    const QtMessageHandler previous = qInstallMessageHandler(CatchLog);
    auto capture = MakeCapture();
    capture->AddCamera("Test Camera", kLiveCamera);
    ASSERT_TRUE(Start(*capture, "Test Camera"));
    ASSERT_TRUE(WaitUntil([&] { return receiver.frames.load() >= 4; }));
    EXPECT_TRUE(capture->IsRunning());
    capture.reset();
    qInstallMessageHandler(previous);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    // Told when it begins, not once a frame.
    ASSERT_EQ(1, g_log.size()) << g_log.join('\n').toStdString();
    EXPECT_TRUE(g_log[0].contains("frame failed")) << g_log[0].toStdString();
}

TEST_F(CaptureGraphTest, NameLookupIsExactAndTakesTheFirstOfEqualNames) {
    {
        auto capture = MakeCapture();
        capture->AddCamera("Test Camera", kLiveCamera);
        EXPECT_FALSE(Start(*capture, "test camera"));
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text, "Camera Direct Show Source \"test camera\" was not found!");
        EXPECT_EQ(messages.shown[0].caption, "Error");
        EXPECT_EQ(messages.shown[0].icon, MessageIcon::kError);
        EXPECT_FALSE(capture->IsRunning());
    }
    messages.shown.clear();
    {
        auto capture = MakeCapture();
        capture->AddCamera("Test Camera", kLiveCamera);
        EXPECT_FALSE(Start(*capture, "Other Camera"));
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text, "Camera Direct Show Source \"Other Camera\" was not found!");
    }
    messages.shown.clear();
    {
        // The second camera of the same name would fail as busy: the first must be the one used.
        auto capture = MakeCapture();
        setenv("CINDRAL_TEST_CAMERAS", "Twin=videotestsrc is-live=true", 1);
        capture->AddCamera("Twin", "cindralbusysrc");
        EXPECT_TRUE(Start(*capture, "Twin"));
        EXPECT_TRUE(messages.shown.empty());
        EXPECT_TRUE(WaitUntil([&] { return receiver.frames.load() >= 1; }));
    }
}

TEST_F(CaptureGraphTest, EmptyNameIsReportedAndBuildsNothing) {
    auto capture = MakeCapture();
    capture->AddCamera("", kLiveCamera);
    EXPECT_FALSE(Start(*capture, ""));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Camera Direct Show Source was not selected!");
    EXPECT_EQ(messages.shown[0].caption, "Error");
    // Nothing was created, so there is no camera for "Camera Filter..." either.
    capture->ShowFilterProperties();
    EXPECT_EQ(pages.control_calls, 0);
}

TEST_F(CaptureGraphTest, BusyCameraGivesTheInUseWarning) {
    auto capture = MakeCapture();
    capture->AddCamera("Busy", "cindralbusysrc");
    EXPECT_FALSE(Start(*capture, "Busy"));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Camera is in use by another application");
    EXPECT_EQ(messages.shown[0].caption, "Warning!");
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::kWarning);
    EXPECT_FALSE(capture->IsRunning());
    // The camera element exists, so "Camera Filter..." still opens; "Camera Pin..." does nothing.
    capture->ShowFilterProperties();
    EXPECT_EQ(pages.control_calls, 1);
    capture->ShowPinProperties();
    EXPECT_EQ(pages.format_calls, 0);
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(CaptureGraphTest, DeviceThatCannotBeOpenedGivesTheSystemText) {
    auto capture = MakeCapture();
    capture->AddCamera("Gone", "v4l2src device=/dev/nonexistent");
    EXPECT_FALSE(Start(*capture, "Gone"));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].caption, "Could not access camera");
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::kError);
    EXPECT_EQ(messages.shown[0].text.rfind("Error: 0x", 0), 0u) << messages.shown[0].text;
    EXPECT_NE(messages.shown[0].text.find("/dev/nonexistent"), std::string::npos) << messages.shown[0].text;
}

TEST_F(CaptureGraphTest, CameraThatCannotBeBoundIsReportedAsNotFound) {
    auto capture = MakeCapture();
    capture->AddCamera("Broken", "nosuchelement-cindral ! videoconvert");
    EXPECT_FALSE(Start(*capture, "Broken"));
    ASSERT_EQ(messages.shown.size(), 1u);
    // The message, then the parser's own words.
    EXPECT_EQ(messages.shown[0].text.rfind("Camera Direct Show Source \"Broken\" was not found!\n", 0), 0u);
    EXPECT_NE(messages.shown[0].text.find("nosuchelement-cindral"), std::string::npos) << messages.shown[0].text;
}

TEST_F(CaptureGraphTest, MissingConverterIsReported) {
    GstRegistry* registry = gst_registry_get();
    GstPluginFeature* feature = gst_registry_lookup_feature(registry, "videoconvert");
    ASSERT_NE(feature, nullptr);
    gst_registry_remove_feature(registry, feature);
    auto capture = MakeCapture();
    capture->AddCamera("Test Camera", kLiveCamera);
    const bool is_started = Start(*capture, "Test Camera");
    gst_registry_add_feature(registry, feature);
    EXPECT_FALSE(is_started);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Colour space convertor was not found!");
    EXPECT_EQ(messages.shown[0].caption, "Error");
}

TEST_F(CaptureGraphTest, FailureWhileRunningStopsFramesOnTheUserInterfaceThread) {
    bool is_ended = false;
    auto capture = MakeCapture();
    capture->SetStreamEndHandler([&](const StreamEnd&) { is_ended = true; });
    capture->AddCamera("Flaky", "videotestsrc is-live=true ! identity error-after=5");
    ASSERT_TRUE(Start(*capture, "Flaky"));
    ASSERT_TRUE(WaitUntil([&] { return is_ended; }));
    EXPECT_FALSE(capture->IsRunning());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].caption, "Could not access camera");
    const int frames = receiver.frames.load();
    EXPECT_LT(frames, 5);
    // A second report of the same failure never comes.
    WaitUntil([] { return false; }, 200);
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(receiver.frames.load(), frames);
}

TEST_F(CaptureGraphTest, DestructionWhileFramesFlowStopsThemAndNeverHangs) {
    receiver.delay_ms = 3;
    for (int round = 0; round < 25; ++round) {
        receiver.is_closed = false;
        const int before = receiver.frames.load();
        auto capture = MakeCapture();
        capture->AddCamera(
            "Test Camera",
            "videotestsrc is-live=true ! capsfilter caps=video/x-raw,width=160,height=120,framerate=100/1");
        ASSERT_TRUE(Start(*capture, "Test Camera"));
        ASSERT_TRUE(WaitUntil([&] { return receiver.frames.load() > before; }));
        capture.reset();
        receiver.is_closed = true;
    }
    // Kept on purpose: a late frame has a moment to show itself; when all is right nothing comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(receiver.late_frames.load(), 0);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(CaptureGraphTest, CameraPinRebuildsTheGraphWithTheChosenFormat) {
    settings.width = 320;
    settings.height = 240;
    auto capture = MakeCapture();
    capture->AddCamera("Test Camera", kLiveCamera);
    ASSERT_TRUE(Start(*capture, "Test Camera"));
    ASSERT_TRUE(WaitUntil([&] { return receiver.frames.load() >= 2; }));
    pages.pick = [](const CameraFormat& format) {
        return format.width == 160 && format.height == 120 && format.rate_numerator == 10 &&
               format.rate_denominator == 1;
    };
    capture->ShowPinProperties();
    EXPECT_EQ(pages.format_calls, 1);
    EXPECT_EQ(pages.shown_current.width, 320);
    EXPECT_EQ(pages.shown_current.height, 240);
    EXPECT_FALSE(pages.offered.empty());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(capture->IsRunning());
    EXPECT_EQ(settings.frame_duration_100ns.load(), 1000000);
    ASSERT_TRUE(WaitUntil([&] { return receiver.last_width.load() == 160; }));
    EXPECT_EQ(settings.width.load(), 160);
    EXPECT_EQ(settings.height.load(), -120);

    // Cancelling the pages keeps the format the camera runs with.
    pages.pick = nullptr;
    capture->ShowPinProperties();
    EXPECT_EQ(pages.format_calls, 2);
    EXPECT_EQ(pages.shown_current.width, 160);
    EXPECT_TRUE(capture->IsRunning());
    const int frames = receiver.frames.load();
    ASSERT_TRUE(WaitUntil([&] { return receiver.frames.load() > frames; }));
    EXPECT_EQ(receiver.last_width.load(), 160);
    EXPECT_EQ(receiver.last_height.load(), -120);
    EXPECT_EQ(settings.frame_duration_100ns.load(), 1000000);
}

TEST_F(CaptureGraphTest, CameraFilterEditsTheRunningCamera) {
    auto capture = MakeCapture();
    capture->AddCamera("Test Camera", kLiveCamera);
    ASSERT_TRUE(Start(*capture, "Test Camera"));
    int frames_during_edit = 0;
    pages.during_edit = [&] {
        const int before = receiver.frames.load();
        WaitUntil([&] { return receiver.frames.load() > before + 2; });
        frames_during_edit = receiver.frames.load() - before;
    };
    capture->ShowFilterProperties();
    ASSERT_EQ(pages.control_calls, 1);
    ASSERT_NE(pages.edited, nullptr);
    {
        gchar* name = gst_object_get_name(GST_OBJECT(pages.edited));
        EXPECT_STREQ(name, "Capturer");
        g_free(name);
    }
    EXPECT_GT(frames_during_edit, 2);
    EXPECT_TRUE(capture->IsRunning());
}

}  // namespace

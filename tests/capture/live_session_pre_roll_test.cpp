// The live session's pre-roll on a real test camera: shortened by its memory bound, it is said.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "capture/capture_test_support.h"
#include "capture/live_session.h"
#include "support/temp_folder.h"

TEST(LiveSession, APreRollShortenedByItsMemoryBoundIsSaidOnceWithTheSpanKept) {
    unsetenv("CINDRAL_TEST_CAMERAS");
    TempFolder folder;
    std::vector<std::string> told;  // outlives the session, which may say it as it stops
    RecordingMessages messages;
    CindralSettings settings;
    settings.camera_name = "Still";
    settings.saving_mode = kSavingMotionDetector;
    DetectorSettings detector;
    detector.pre_roll_s = 2;
    detector.post_roll_s = 0;  // the first frame, compared with none, is an event of its own
    CLiveSession session(settings, folder.Folder() + "Storage/", messages, nullptr, nullptr, LiveSessionOptions{});
    session.SetDetectorSettings(&detector);
    // A still picture: no event takes the frames held, so the hold fills up and is cut.
    session.AddCamera("Still",
                      "videotestsrc is-live=true pattern=black ! video/x-raw,width=64,height=48,framerate=30/1");
    session.Archive().SetHeldByteLimit(8 * 1024);
    QObject::connect(&session, &CLiveSession::PreRollShortened,
                     [&](const QString& detail) { told.push_back(detail.toStdString()); });
    ASSERT_TRUE(session.Start());
    ASSERT_TRUE(WaitUntil([&] { return !told.empty(); }));
    // Frames go on being let go of; it is not said again.
    const int64_t frames_then = session.FramesProcessed();
    ASSERT_TRUE(WaitUntil([&] { return session.FramesProcessed() >= frames_then + 30; }));
    session.Stop();
    ASSERT_EQ(told.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(told[0], match, std::regex("keeps only ([0-9.]+) s of the 2 s asked for")))
        << told[0];
    // A few frames of a thirtieth of a second each.
    const double kept_s = std::stod(match[1]);
    EXPECT_GT(kept_s, 0.0) << told[0];
    EXPECT_LT(kept_s, 1.0) << told[0];
}

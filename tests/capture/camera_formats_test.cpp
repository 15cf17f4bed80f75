#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "capture/camera_formats.h"
#include "capture/video_devices.h"

namespace {

GstCapsPtr Caps(const char* text) { return GstCapsPtr(gst_caps_from_string(text)); }

std::string CapsText(const GstCapsPtr& caps) {
    if (!caps) return "(none)";
    GCharPtr text(gst_caps_to_string(caps.get()));
    return text.get();
}

TEST(TestCameras, SplitOnSemicolonsThenOnTheFirstEquals) {
    const auto cameras = ParseTestCameras("Cam A=videotestsrc pattern=ball;;=nameless;Empty=;B=src ! caps,width=4");
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0].name, "Cam A");
    EXPECT_EQ(cameras[0].description, "videotestsrc pattern=ball");
    EXPECT_EQ(cameras[1].name, "B");
    EXPECT_EQ(cameras[1].description, "src ! caps,width=4");
}

TEST(TestCameras, AreListedAfterTheRealDevicesInTheirOwnOrder) {
    setenv("CINDRAL_TEST_CAMERAS", "Zeta=videotestsrc;Alpha=videotestsrc;Zeta=videotestsrc", 1);
    const std::vector<std::string> names = EnumVideoDevices();
    unsetenv("CINDRAL_TEST_CAMERAS");
    ASSERT_GE(names.size(), 3u);
    const size_t first_test = names.size() - 3;
    EXPECT_EQ(names[first_test], "Zeta");
    EXPECT_EQ(names[first_test + 1], "Alpha");
    EXPECT_EQ(names[first_test + 2], "Zeta");
    // The real devices (if any) come in the same order every time.
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + first_test), [] {
        auto again = EnumVideoDevices();
        return again;
    }());
}

TEST(RequestedFormat, SizeAndRateAreAskedOnlyWhereOffered) {
    auto offered = Caps(
        "video/x-raw, format=YUY2, width=640, height=480, framerate={ 30/1, 15/1 }; "
        "image/jpeg, width=1280, height=720, framerate=30/1");
    EXPECT_EQ(CapsText(RequestedCaps(offered.get(), 640, 480, 333333)),
              "video/x-raw, width=(int)640, height=(int)480, framerate=(fraction)30/1");
    EXPECT_EQ(CapsText(RequestedCaps(offered.get(), 640, 480, 666667)),
              "video/x-raw, width=(int)640, height=(int)480, framerate=(fraction)15/1");
    // No rate asked: the fastest mode of that size, JPEG or not, uncompressed first among equals.
    EXPECT_EQ(CapsText(RequestedCaps(offered.get(), 640, 480, 0)),
              "video/x-raw, width=(int)640, height=(int)480, framerate=(fraction)30/1");
    EXPECT_EQ(CapsText(RequestedCaps(offered.get(), 1280, 720, -5)),
              "image/jpeg, width=(int)1280, height=(int)720, framerate=(fraction)30/1");
    auto full_hd = Caps(
        "video/x-raw, format=YUY2, width=1920, height=1080, framerate=5/1; "
        "image/jpeg, width=1920, height=1080, framerate={ 15/1, 30/1 }; "
        "video/x-raw, format=NV12, width=1920, height=1080, framerate=15/1");
    EXPECT_EQ(CapsText(RequestedCaps(full_hd.get(), 1920, 1080, 0)),
              "image/jpeg, width=(int)1920, height=(int)1080, framerate=(fraction)30/1");
    EXPECT_EQ(CapsText(RequestedCaps(full_hd.get(), 1920, 1080, 666667)),
              "video/x-raw, width=(int)1920, height=(int)1080, framerate=(fraction)15/1");
    // Not offered at all, or a rate not offered at that size: nothing is asked.
    EXPECT_EQ(RequestedCaps(offered.get(), 800, 600, 0), nullptr);
    EXPECT_EQ(RequestedCaps(offered.get(), 640, 480, 1000000), nullptr);
    EXPECT_EQ(RequestedCaps(offered.get(), 0, 0, 0), nullptr);
}

TEST(RequestedFormat, RateRangesTakeTheExactRate) {
    auto offered = Caps("video/x-raw, width=[ 1, 4096 ], height=[ 1, 4096 ], framerate=[ 0/1, 120/1 ]");
    EXPECT_EQ(CapsText(RequestedCaps(offered.get(), 320, 240, 400000)),
              "video/x-raw, width=(int)320, height=(int)240, framerate=(fraction)25/1");
}

TEST(OfferedFormats, FixedListsAndRangesBecomeChoices) {
    auto caps = Caps(
        "video/x-raw, format=YUY2, width=640, height=480, framerate={ 30/1, 15/1 }; "
        "video/x-raw, format=YUY2, width=640, height=480, framerate=30/1; "
        "image/jpeg, width=[ 100, 400 ], height=[ 100, 300 ], framerate=[ 9/1, 16/1 ]");
    const auto formats = FormatsFromCaps(caps.get());
    ASSERT_EQ(formats.size(), 2u + 2u * 3u);
    EXPECT_EQ(formats[0].media_type, "video/x-raw, format=YUY2");
    EXPECT_EQ(formats[0].rate_numerator, 30);
    EXPECT_EQ(formats[1].rate_numerator, 15);
    // Ranges: the usual sizes and rates inside them.
    EXPECT_EQ(formats[2].media_type, "image/jpeg");
    EXPECT_EQ(formats[2].width, 160);
    EXPECT_EQ(formats[2].rate_numerator, 10);
    EXPECT_EQ(formats[3].width, 160);
    EXPECT_EQ(formats[3].rate_numerator, 15);
    EXPECT_EQ(formats[4].width, 320);
    EXPECT_EQ(formats[4].height, 240);
    EXPECT_EQ(formats[7].width, 352);
    EXPECT_TRUE(FormatsFromCaps(nullptr).empty());
}

TEST(OfferedFormats, ChosenFormatBecomesCapsAndDuration) {
    const CameraFormat format{320, 240, 30000, 1001, "video/x-raw, format=I420"};
    GstCapsPtr caps = CapsFromFormat(format);
    EXPECT_EQ(CapsText(caps),
              "video/x-raw, format=(string)I420, width=(int)320, height=(int)240, "
              "framerate=(fraction)30000/1001");
    const CameraFormat back = FormatFromCaps(caps.get());
    EXPECT_EQ(back.width, 320);
    EXPECT_EQ(back.media_type, "video/x-raw, format=I420");
    EXPECT_EQ(back.rate_numerator, 30000);
    EXPECT_EQ(FrameDurationFromRate(30000, 1001), 333667);
    EXPECT_EQ(FrameDurationFromRate(10, 1), 1000000);
    EXPECT_EQ(FrameDurationFromRate(0, 1), 0);
}

}  // namespace

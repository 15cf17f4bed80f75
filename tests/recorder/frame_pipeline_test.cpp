#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "jpeg/jpeg_codec.h"
#include "recorder/frame_pipeline.h"
#include "support/camera_scene.h"

namespace {

struct RecordedCall {
    bool is_write = false;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bytes;
};

// Keeps a copy of everything it is asked to record, in order.
class RecordingFake : public IFrameRecorder {
public:
    bool WriteFrame(const BMP_File& frame) override {
        calls.push_back({true, frame.GetWidth(), frame.GetHeight(),
                         std::vector<uint8_t>(frame.GetBits(), frame.GetBits() + frame.GetBitsSize())});
        return true;
    }
    bool CloseFile() override {
        calls.push_back({false, 0, 0, {}});
        return true;
    }
    std::vector<RecordedCall> calls;
};

// Keeps the blue, green and red of every picture presented.
class PresenterFake : public IFramePresenter {
public:
    bool IsShowingLive() const override { return !is_playing; }
    ViewPicture& LivePictureToFill() override { return picture; }
    void PresentLivePicture() override {
        std::vector<uint8_t> packed;
        const uint8_t* bits = picture.Bits();
        for (size_t i = 0; i < static_cast<size_t>(picture.BytesPerLine()) * picture.Height(); i += 4) {
            packed.insert(packed.end(), bits + i, bits + i + 3);
        }
        frames.push_back(std::move(packed));
    }
    bool is_playing = false;
    ViewPicture picture;
    std::vector<std::vector<uint8_t>> frames;
};

struct Pixel {
    uint8_t blue, green, red;
};

// A camera frame: 4 bytes per pixel, bottom row first. pixel_at is asked in upright coordinates.
std::vector<uint8_t> CameraFrame(int32_t width, int32_t height,
                                 const std::function<Pixel(int32_t, int32_t)>& pixel_at) {
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 4);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const Pixel p = pixel_at(x, y);
            uint8_t* out = &bytes[(static_cast<size_t>(height - 1 - y) * width + x) * 4];
            out[0] = p.blue;
            out[1] = p.green;
            out[2] = p.red;
            out[3] = 0xA5;  // must be ignored
        }
    }
    return bytes;
}

std::vector<uint8_t> GreyFrame(int32_t width, int32_t height, uint8_t value) {
    return CameraFrame(width, height, [value](int32_t, int32_t) { return Pixel{value, value, value}; });
}

Pixel PixelOf(const BMP_File& image, int32_t x, int32_t y) {
    const mColor_24& p = image.GetPixel(x, y);
    return {p.blue, p.green, p.red};
}

bool IsColour(const Pixel& p, uint8_t red, uint8_t green, uint8_t blue) {
    return p.red == red && p.green == green && p.blue == blue;
}

class FramePipelineTest : public ::testing::Test {
protected:
    FramePipelineTest() : pipeline(settings, recorder, &presenter) {
        settings.frame_width = 8;
        settings.frame_height = 8;
        settings.detector_colour = 0xFFFF;
        pipeline.AttachSettings(true);
    }
    void Feed(const std::vector<uint8_t>& frame) { pipeline.ProcessFrame(frame.data(), frame.size()); }
    // Feeds two uniform grey frames and says whether the second one counted as motion.
    bool IsMotionBetweenGreys(uint8_t first, uint8_t second) {
        settings.saving_mode = kSavingMotionDetector;
        Feed(GreyFrame(8, 8, first));
        Feed(GreyFrame(8, 8, second));
        return recorder.calls.back().is_write;
    }

    CindralSettings settings;
    RecordingFake recorder;
    PresenterFake presenter;
    CFramePipeline pipeline;
};

TEST_F(FramePipelineTest, VerdictIsStrictlyAboveThresholdOnTruncatedMeans) {
    settings.threshold = 20;
    EXPECT_FALSE(IsMotionBetweenGreys(100, 100));
    EXPECT_FALSE(IsMotionBetweenGreys(100, 120));  // D = 20
    EXPECT_TRUE(IsMotionBetweenGreys(100, 121));   // D = 21
    EXPECT_TRUE(IsMotionBetweenGreys(121, 100));   // absolute difference

    // Sums 1615 and 1600 both have mean 100: no motion even at threshold 0.
    settings.threshold = 0;
    settings.frame_width = 4;
    settings.frame_height = 4;
    Feed(GreyFrame(4, 4, 100));
    Feed(CameraFrame(4, 4, [](int32_t x, int32_t y) {
        return x == 2 && y == 1 ? Pixel{115, 115, 115} : Pixel{100, 100, 100};
    }));
    EXPECT_FALSE(recorder.calls.back().is_write);

    // A negative threshold makes every examined block move.
    settings.threshold = -1;
    Feed(GreyFrame(4, 4, 100));
    EXPECT_TRUE(recorder.calls.back().is_write);
}

TEST_F(FramePipelineTest, LightnessIsMeanOfLargestAndSmallestChannel) {
    settings.threshold = 20;
    settings.saving_mode = kSavingMotionDetector;
    Feed(GreyFrame(8, 8, 0));
    // (200 + 0) / 2 = 100 would move; a plain channel average (66) or green alone (0) would differ.
    Feed(CameraFrame(8, 8, [](int32_t, int32_t) { return Pixel{200, 0, 41}; }));
    EXPECT_TRUE(recorder.calls.back().is_write);
    // (41 + 0) / 2 = 20 against 100: moves; against a frame of lightness 20 it does not.
    Feed(CameraFrame(8, 8, [](int32_t, int32_t) { return Pixel{0, 41, 20}; }));
    Feed(GreyFrame(8, 8, 20));
    EXPECT_FALSE(recorder.calls.back().is_write);
}

TEST_F(FramePipelineTest, UniformChangeMarksEveryBlockCornerOnly) {
    settings.threshold = 20;
    settings.show_detector = 1;
    Feed(GreyFrame(8, 8, 128));
    Feed(GreyFrame(8, 8, 150));
    const BMP_File& live = pipeline.LiveFrame();
    for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 8; ++x) {
            const bool is_corner = x % 4 == 0 && y % 4 == 0;
            const Pixel p = PixelOf(live, x, y);
            EXPECT_TRUE(is_corner ? IsColour(p, 248, 248, 248) : IsColour(p, 150, 150, 150)) << x << "," << y;
        }
    }
    // The previous frame carries the marks too.
    EXPECT_EQ(0, std::memcmp(pipeline.PreviousFrame().GetBits(), live.GetBits(), live.GetBitsSize()));
}

TEST_F(FramePipelineTest, DetectorColourWordIsWidenedPerChannel) {
    settings.threshold = 0;
    settings.show_detector = 1;
    const struct {
        uint16_t word;
        Pixel expected;
    } cases[] = {{0xF800, {0, 0, 248}}, {0x0400, {0, 0, 0}}, {0x001F, {248, 0, 0}}, {0x03E0, {0, 248, 0}}};
    for (const auto& c : cases) {
        settings.detector_colour = c.word;
        Feed(GreyFrame(8, 8, 60));
        Feed(GreyFrame(8, 8, 90));
        const Pixel p = PixelOf(pipeline.LiveFrame(), 4, 4);
        EXPECT_TRUE(IsColour(p, c.expected.red, c.expected.green, c.expected.blue)) << std::hex << c.word;
    }
}

TEST_F(FramePipelineTest, EdgeBlocksOfNarrowFrameReadOutsidePixelsAsBlack) {
    settings.frame_width = 10;
    settings.frame_height = 6;
    settings.saving_mode = kSavingMotionDetector;
    settings.show_detector = 1;
    settings.threshold = 20;
    Feed(GreyFrame(10, 6, 0));
    // Columns 8 and 9 at 40: the edge block sums 8 x 40 = 320 over 16 places, mean 20: not moving.
    auto edge_lit = [](uint8_t value) {
        return CameraFrame(10, 6, [value](int32_t x, int32_t y) {
            return x >= 8 && y < 4 ? Pixel{value, value, value} : Pixel{0, 0, 0};
        });
    };
    Feed(edge_lit(40));
    EXPECT_FALSE(recorder.calls.back().is_write);
    Feed(GreyFrame(10, 6, 0));
    Feed(edge_lit(44));  // mean 22: moves, marked at (8, 0) and nowhere else
    EXPECT_TRUE(recorder.calls.back().is_write);
    const BMP_File& live = pipeline.LiveFrame();
    EXPECT_TRUE(IsColour(PixelOf(live, 8, 0), 248, 248, 248));
    EXPECT_TRUE(IsColour(PixelOf(live, 0, 0), 0, 0, 0));
    EXPECT_TRUE(IsColour(PixelOf(live, 4, 0), 0, 0, 0));
    EXPECT_TRUE(IsColour(PixelOf(live, 8, 4), 0, 0, 0));
    EXPECT_TRUE(IsColour(PixelOf(live, 9, 0), 44, 44, 44));
}

TEST_F(FramePipelineTest, FirstFrameAndSizeChangeNeverCountAsMotion) {
    settings.threshold = 0;
    settings.saving_mode = kSavingMotionDetector;
    Feed(GreyFrame(8, 8, 10));
    ASSERT_EQ(1u, recorder.calls.size());
    EXPECT_FALSE(recorder.calls[0].is_write);
    Feed(GreyFrame(8, 8, 200));
    EXPECT_TRUE(recorder.calls.back().is_write);
    settings.frame_width = 12;
    Feed(GreyFrame(12, 8, 10));
    EXPECT_FALSE(recorder.calls.back().is_write);
    EXPECT_EQ(12, pipeline.PreviousFrame().GetWidth());

    // With "Always" the first frame is recorded regardless.
    RecordingFake always_recorder;
    CFramePipeline always(settings, always_recorder, nullptr);
    always.AttachSettings(true);
    settings.saving_mode = kSavingAlways;
    const auto frame = GreyFrame(12, 8, 10);
    always.ProcessFrame(frame.data(), frame.size());
    ASSERT_EQ(1u, always_recorder.calls.size());
    EXPECT_TRUE(always_recorder.calls[0].is_write);
}

TEST_F(FramePipelineTest, MarksNeverFeedBackIntoNextComparison) {
    // A threshold below the marks' own lightness change: were marks compared, a still scene
    // would move in every frame and the recording would never stop.
    settings.threshold = 5;
    settings.show_detector = 1;
    settings.saving_mode = kSavingMotionDetector;
    const auto black = GreyFrame(8, 8, 0);
    const auto moved = CameraFrame(8, 8, [](int32_t x, int32_t y) {
        return x >= 4 && y < 4 ? Pixel{200, 200, 200} : Pixel{0, 0, 0};
    });
    Feed(black);
    Feed(moved);
    Feed(black);  // the block moved back: still motion, marked
    ASSERT_TRUE(recorder.calls.back().is_write);
    EXPECT_TRUE(IsColour(PixelOf(pipeline.LiveFrame(), 4, 0), 248, 248, 248));
    for (uint8_t byte : recorder.calls.back().bytes) ASSERT_EQ(0, byte);  // the recorded frame is clean
    Feed(black);
    EXPECT_FALSE(recorder.calls.back().is_write);
    EXPECT_TRUE(IsColour(PixelOf(pipeline.LiveFrame(), 4, 0), 0, 0, 0));
}

TEST_F(FramePipelineTest, SavingModesDriveRecorder) {
    settings.threshold = 20;
    const auto dark = GreyFrame(8, 8, 10);
    const auto bright = GreyFrame(8, 8, 200);
    struct Case {
        int32_t mode;
        int32_t show;
        std::vector<bool> expected_writes;  // for dark, bright, bright, dark
    };
    const Case cases[] = {
        {kSavingOff, 0, {false, false, false, false}},
        {kSavingOff, 1, {false, false, false, false}},
        {kSavingMotionDetector, 0, {false, true, false, true}},
        {kSavingAlways, 0, {true, true, true, true}},
        {3, 0, {false, false, false, false}},
        {3, 1, {false, false, false, false}},
    };
    for (const Case& c : cases) {
        RecordingFake fake;
        PresenterFake screen;
        CFramePipeline p(settings, fake, &screen);
        p.AttachSettings(true);
        settings.saving_mode = c.mode;
        settings.show_detector = c.show;
        for (const auto* frame : {&dark, &bright, &bright, &dark}) p.ProcessFrame(frame->data(), frame->size());
        ASSERT_EQ(4u, fake.calls.size());
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(c.expected_writes[i], fake.calls[i].is_write) << c.mode << " " << i;
        // The detector runs (and thus marks) only when shown; mode 3 never runs it on its own.
        const bool is_marked = IsColour(PixelOf(p.LiveFrame(), 0, 0), 248, 248, 248);
        EXPECT_EQ(c.show != 0, is_marked) << c.mode;
        // The detector replaces the previous frame only when it runs.
        const bool is_previous_current = p.PreviousFrame().GetWidth() == 8;
        EXPECT_EQ(c.show != 0 || c.mode == kSavingMotionDetector, is_previous_current) << c.mode;
        EXPECT_EQ(4u, screen.frames.size());
    }
}

TEST_F(FramePipelineTest, RecordsCleanFramePresentsMarkedOne) {
    settings.threshold = 20;
    settings.show_detector = 1;
    settings.saving_mode = kSavingAlways;
    Feed(GreyFrame(8, 8, 10));
    Feed(GreyFrame(8, 8, 90));
    ASSERT_EQ(2u, recorder.calls.size());
    ASSERT_EQ(2u, presenter.frames.size());
    const auto& recorded = recorder.calls[1].bytes;
    const auto& shown = presenter.frames[1];
    ASSERT_EQ(recorded.size(), shown.size());
    for (uint8_t byte : recorded) ASSERT_EQ(90, byte);
    size_t marked_bytes = 0;
    for (size_t i = 0; i < shown.size(); ++i) marked_bytes += shown[i] != recorded[i];
    EXPECT_EQ(4u * 3u, marked_bytes);  // the corners of the four blocks
}

// Raw camera bytes in memory order: row r, column x holds (r, x, r + x).
std::vector<uint8_t> NumberedRows(int32_t width, int32_t rows) {
    std::vector<uint8_t> bytes;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t x = 0; x < width; ++x) {
            bytes.insert(bytes.end(),
                         {static_cast<uint8_t>(r), static_cast<uint8_t>(x), static_cast<uint8_t>(r + x), 0xFF});
        }
    }
    return bytes;
}

TEST_F(FramePipelineTest, BottomUpRowsAreFlippedTopDownRowsAreNot) {
    settings.frame_width = 3;
    settings.frame_height = 5;
    const auto raw = NumberedRows(3, 5);
    // The picture shown, pixel (x, y) of the last one presented.
    auto shown = [this](int32_t x, int32_t y) {
        const uint8_t* p = &presenter.frames.back()[(static_cast<size_t>(y) * 3 + x) * 3];
        return Pixel{p[0], p[1], p[2]};
    };
    Feed(raw);
    for (int32_t y = 0; y < 5; ++y) {
        for (int32_t x = 0; x < 3; ++x) EXPECT_TRUE(IsColour(shown(x, y), 4 - y + x, x, 4 - y)) << x << "," << y;
    }
    settings.frame_height = -5;
    Feed(raw);
    for (int32_t y = 0; y < 5; ++y) {
        for (int32_t x = 0; x < 3; ++x) EXPECT_TRUE(IsColour(shown(x, y), y + x, x, y));
    }
    EXPECT_EQ(2u, presenter.frames.size());
    EXPECT_EQ(15u * 3, presenter.frames.back().size());
}

TEST_F(FramePipelineTest, FramesOfWrongSizeAreDropped) {
    settings.saving_mode = kSavingAlways;
    auto frame = GreyFrame(8, 8, 50);
    pipeline.ProcessFrame(frame.data(), frame.size() - 4);
    frame.resize(frame.size() + 4);
    pipeline.ProcessFrame(frame.data(), frame.size());
    pipeline.ProcessFrame(nullptr, 0);
    settings.frame_width = 0;
    pipeline.ProcessFrame(frame.data(), 0);
    settings.frame_width = 0x7FFFFFFF;
    settings.frame_height = 0x7FFFFFFF;
    pipeline.ProcessFrame(frame.data(), frame.size());
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_TRUE(presenter.frames.empty());
    EXPECT_EQ(0, pipeline.LiveFrame().GetWidth());
}

TEST_F(FramePipelineTest, PlaybackSuppressesOnlyPresentation) {
    settings.threshold = 20;
    settings.saving_mode = kSavingMotionDetector;
    presenter.is_playing = true;
    Feed(GreyFrame(8, 8, 0));
    Feed(GreyFrame(8, 8, 100));
    EXPECT_TRUE(presenter.frames.empty());
    ASSERT_EQ(2u, recorder.calls.size());
    EXPECT_TRUE(recorder.calls[1].is_write);
}

TEST_F(FramePipelineTest, WithoutSettingsFramesAreOnlyShownWithoutCaptureIgnored) {
    RecordingFake fake;
    PresenterFake screen;
    CFramePipeline early(settings, fake, &screen);
    settings.saving_mode = kSavingAlways;
    settings.show_detector = 1;
    settings.threshold = 0;
    for (uint8_t value : {0, 200}) {
        const auto frame = GreyFrame(8, 8, value);
        early.ProcessFrame(frame.data(), frame.size());
    }
    EXPECT_TRUE(fake.calls.empty());
    ASSERT_EQ(2u, screen.frames.size());
    EXPECT_EQ(200, screen.frames[1][0]);  // converted, not marked
    EXPECT_EQ(0, early.PreviousFrame().GetWidth());

    early.AttachSettings(true);
    early.SetCaptureAttached(false);
    const auto frame = GreyFrame(8, 8, 7);
    early.ProcessFrame(frame.data(), frame.size());
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(2u, screen.frames.size());
}

// Fails on WriteFrame as a full disk or exhausted memory would.
class FailingRecorder : public IFrameRecorder {
public:
    bool WriteFrame(const BMP_File&) override { throw std::bad_alloc(); }
    bool CloseFile() override { return true; }
};

TEST_F(FramePipelineTest, RecorderFailureEndsFrameAfterDetectorFinished) {
    FailingRecorder failing;
    CFramePipeline p(settings, failing, &presenter);
    p.AttachSettings(true);
    settings.threshold = 20;
    settings.show_detector = 1;
    settings.saving_mode = kSavingMotionDetector;
    const auto dark = GreyFrame(8, 8, 0);
    const auto bright = GreyFrame(8, 8, 200);
    p.ProcessFrame(dark.data(), dark.size());
    EXPECT_THROW(p.ProcessFrame(bright.data(), bright.size()), std::bad_alloc);
    // Not shown, but compared and marked: the marked frame is the previous picture.
    EXPECT_EQ(1u, presenter.frames.size());
    EXPECT_TRUE(IsColour(PixelOf(p.PreviousFrame(), 4, 4), 248, 248, 248));
    EXPECT_TRUE(IsColour(PixelOf(p.PreviousFrame(), 5, 4), 200, 200, 200));
    settings.saving_mode = kSavingOff;
    p.ProcessFrame(bright.data(), bright.size());
    // Compared against the unmarked sums: no motion, so no new marks.
    EXPECT_TRUE(IsColour(PixelOf(p.LiveFrame(), 4, 4), 200, 200, 200));
    EXPECT_EQ(2u, presenter.frames.size());
}

// Keeps what it is told of lost camera frames.
class LostFrameCounter : public RecordingFake {
public:
    void FrameLost(const std::string& cause, const std::string& detail) override {
        causes.push_back(cause);
        details.push_back(detail);
    }
    std::vector<std::string> causes;
    std::vector<std::string> details;
};

TEST_F(FramePipelineTest, CameraJpegsThatDoNotDecodeAreLostWithOneCausePerFault) {
    LostFrameCounter counter;
    CFramePipeline p(settings, counter, nullptr);
    p.AttachSettings(true);
    settings.saving_mode = kSavingAlways;
    BMP_File grey;
    grey.Create(8, 8);
    std::vector<uint8_t> good(4096);
    JpegCodec codec;
    good.resize(codec.EncodeJpeg(grey, good.data(), static_cast<uint32_t>(good.size())));
    ASSERT_FALSE(good.empty()) << codec.LastError();
    const std::vector<uint8_t> garbage_a(300, 0x5A);
    const std::vector<uint8_t> garbage_b(500, 0x33);
    // The same stream claiming 30000 x 30000 pixels (its frame header's height and width).
    std::vector<uint8_t> giant = good;
    for (size_t i = 0; i + 8 < giant.size(); ++i) {
        if (giant[i] == 0xFF && giant[i + 1] == 0xC0) {
            for (const size_t at : {i + 5, i + 7}) {
                giant[at] = 30000 >> 8;
                giant[at + 1] = 30000 & 0xFF;
            }
            break;
        }
    }
    const auto feed = [&](const std::vector<uint8_t>& jpeg, int32_t side) {
        settings.frame_width = side;
        settings.frame_height = -side;
        ::CameraFrame frame;
        frame.layout = PixelLayout::kJpeg;
        frame.width = side;
        frame.height = -side;
        frame.planes[0] = jpeg.data();
        frame.size_bytes = jpeg.size();
        p.ProcessFrame(frame);
    };
    feed(garbage_a, 8);
    feed(good, 8);
    feed(garbage_b, 8);
    feed(giant, 30000);
    ASSERT_EQ(3u, counter.causes.size());
    EXPECT_EQ(counter.causes[0], counter.causes[1]) << "garbage of any bytes is one cause";
    EXPECT_NE(counter.causes[0], counter.causes[2]);
    EXPECT_NE(std::string::npos, counter.details[2].find("30000x30000")) << counter.details[2];
    for (const std::string& detail : counter.details)
        EXPECT_EQ(0u, detail.find("a camera frame could not be ")) << detail;
    EXPECT_EQ(
        1, std::count_if(counter.calls.begin(), counter.calls.end(), [](const RecordedCall& c) { return c.is_write; }));
}

// A recorder as the encoding one is to the pipeline: it keeps camera frames, takes planes and
// lends room for them; it counts what each frame was handed over as.
class HandOverCounter : public IFrameRecorder {
public:
    bool WriteFrame(const BMP_File&) override {
        ++pictures;
        return true;
    }
    bool CloseFile() override { return true; }
    bool WriteCleanFrame(const CleanFrame& frame) override {
        Count(frame);
        return true;
    }
    void HoldCleanFrame(const CleanFrame& frame, int64_t, int64_t) override {
        Count(frame);
        ++held;
    }
    bool TakesPlanes() const override { return true; }
    bool TakesCameraFrames() const override { return true; }
    bool LendsPlanes() const override { return true; }
    JpegPlaneRoom* LendPlanes(int32_t width, int32_t height) override {
        planes_[0].assign(static_cast<size_t>(width) * height, 0);
        for (int plane = 1; plane < 3; ++plane) planes_[plane].assign(static_cast<size_t>((width + 1) / 2) * height, 0);
        for (int plane = 0; plane < 3; ++plane) {
            room_.planes[plane] = planes_[plane].data();
            room_.strides[plane] = plane == 0 ? width : (width + 1) / 2;
        }
        return &room_;
    }
    void Count(const CleanFrame& frame) {
        if (frame.camera != nullptr) ++camera_frames;
        if (frame.planes != nullptr) ++planes;
        if (frame.picture != nullptr) ++pictures;
    }
    int camera_frames = 0;
    int planes = 0;
    int pictures = 0;
    int held = 0;

private:
    JpegPlaneRoom room_;
    std::vector<uint8_t> planes_[3];
};

TEST_F(FramePipelineTest, MotionKeepsCameraFramesForTheEncodersUnlessAViewIsFilled) {
    constexpr int32_t kSide = 16;
    struct NoKeeper : ICameraFrameKeeper {
        void* Keep(::CameraFrame&) override { return nullptr; }
        void LetGo(void*) override {}
    } keeper;
    // Still, still, then a bright and a dark frame: two held, two stored as an event.
    std::vector<std::vector<uint8_t>> frames;
    for (const uint8_t luma : {60, 60, 200, 40}) {
        std::vector<uint8_t> bytes(kSide * kSide + 2 * (kSide / 2) * (kSide / 2), 128);
        std::fill(bytes.begin(), bytes.begin() + kSide * kSide, luma);
        frames.push_back(std::move(bytes));
    }
    DetectorSettings detector;
    detector.pre_roll_s = 2;
    for (const bool is_shown : {false, true}) {
        SCOPED_TRACE(is_shown ? "shown" : "not shown");
        settings.frame_width = kSide;
        settings.frame_height = -kSide;
        settings.saving_mode = kSavingMotionDetector;
        settings.show_detector = 0;
        settings.threshold = 20;
        HandOverCounter counter;
        PresenterFake screen;
        CFramePipeline p(settings, counter, is_shown ? &screen : nullptr);
        p.AttachSettings(true);
        p.SetDetectorSettings(&detector);
        int64_t now_ms = 0;
        p.SetFrameClock([&now_ms] { return now_ms += 33; }, [] { return int64_t{0}; });
        for (const auto& bytes : frames) {
            ::CameraFrame frame = I420Frame(kSide, kSide, bytes);
            frame.keeper = &keeper;
            p.ProcessFrame(frame);
        }
        EXPECT_EQ(1, p.EventsBegun()) << "the block means are made either way";
        EXPECT_EQ(2, counter.held);
        EXPECT_EQ(is_shown ? 0 : 4, counter.camera_frames);
        EXPECT_EQ(is_shown ? 4 : 0, counter.planes);
        // The view keeps the marked live picture; without one no picture is made at all.
        EXPECT_EQ(is_shown ? 4 : 0, counter.pictures);
    }
}

}  // namespace

// CFramePipeline is compared with a plain, step-by-step version of the same pipeline on many
// random frame sequences: every shortcut it takes must give the same verdicts, marks,
// recorded frames and previous frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "recording/frame_pipeline.h"

namespace {

struct Call {
    bool is_write = false;
    std::vector<uint8_t> bytes;
    bool operator==(const Call&) const = default;
};

class CallLog : public IFrameRecorder {
public:
    bool WriteFrame(const BMP_File& frame) override {
        calls.push_back({true, std::vector<uint8_t>(frame.GetBits(), frame.GetBits() + frame.GetBitsSize())});
        return true;
    }
    bool CloseFile() override {
        calls.push_back({false, {}});
        return true;
    }
    std::vector<Call> calls;
};

class Screen : public IFramePresenter {
public:
    bool IsPlaybackActive() const override { return is_playing; }
    void PresentLiveFrame(const BMP_File& frame) override {
        shown.emplace_back(frame.GetBits(), frame.GetBits() + frame.GetBitsSize());
    }
    bool is_playing = false;
    std::vector<std::vector<uint8_t>> shown;
};

std::vector<uint8_t> BytesOf(const BMP_File& image) {
    return std::vector<uint8_t>(image.GetBits(), image.GetBits() + image.GetBitsSize());
}

// The pipeline as the plain algorithm: convert, flip, clean copy, per-block GetPixel sums, marks,
// previous frame copied from the marked live frame, record, present.
class PlainPipeline {
public:
    PlainPipeline(const CindralSettings& settings, IFrameRecorder& recorder, IFramePresenter& presenter)
        : settings_(settings), recorder_(recorder), presenter_(presenter) {}

    void ProcessFrame(const uint8_t* pixels) {
        const int32_t width = settings_.frame_width;
        const int32_t height = std::abs(settings_.frame_height.load());
        live_.Create(width, height);
        for (int32_t k = 0; k < width * height; ++k) {
            uint8_t* out = live_.GetBits() + 3 * k;
            out[0] = pixels[4 * k];
            out[1] = pixels[4 * k + 1];
            out[2] = pixels[4 * k + 2];
        }
        if (settings_.frame_height >= 0) live_.FlipVertical();
        BMP_File clean;
        clean.Create(width, height);
        std::memcpy(clean.GetBits(), live_.GetBits(), live_.GetBitsSize());

        bool is_motion = false;
        if (settings_.show_detector != 0 || settings_.saving_mode == 1) {
            if (previous_.GetWidth() == width && previous_.GetHeight() == height) {
                for (int32_t y = 0; y < height; y += 4) {
                    for (int32_t x = 0; x < width; x += 4) {
                        int s1 = 0;
                        int s0 = 0;
                        for (int j = 0; j < 4; ++j) {
                            for (int i = 0; i < 4; ++i) {
                                s1 += Lightness(live_.GetPixel(x + i, y + j));
                                s0 += Lightness(previous_.GetPixel(x + i, y + j));
                            }
                        }
                        if (std::abs(s1 / 16 - s0 / 16) > settings_.threshold) {
                            is_motion = true;
                            if (settings_.show_detector != 0) {
                                const uint16_t word = settings_.detector_colour;
                                mColor_24& p = live_.GetPixel(x, y);
                                p.blue = static_cast<uint8_t>((word & 0x1F) << 3);
                                p.green = static_cast<uint8_t>(((word >> 5) & 0x1F) << 3);
                                p.red = static_cast<uint8_t>(((word >> 11) & 0x1F) << 3);
                            }
                        }
                    }
                }
            }
            previous_.Create(width, height);
            std::memcpy(previous_.GetBits(), live_.GetBits(), live_.GetBitsSize());
        }
        if ((settings_.saving_mode == 1 && is_motion) || settings_.saving_mode == 2) {
            recorder_.WriteFrame(clean);
        } else {
            recorder_.CloseFile();
        }
        if (!presenter_.IsPlaybackActive()) presenter_.PresentLiveFrame(live_);
    }

    const BMP_File& Live() const { return live_; }
    const BMP_File& Previous() const { return previous_; }

private:
    static int Lightness(const mColor_24& p) {
        return (std::max({p.blue, p.green, p.red}) + std::min({p.blue, p.green, p.red})) >> 1;
    }

    const CindralSettings& settings_;
    IFrameRecorder& recorder_;
    IFramePresenter& presenter_;
    BMP_File live_;
    BMP_File previous_;
};

// A scene of flat patches; each next frame moves a few patches by amounts around the threshold,
// so that verdicts land on both sides of it.
class SceneMaker {
public:
    explicit SceneMaker(uint32_t seed) : random_(seed) {}

    std::vector<uint8_t> First(int32_t width, int32_t height) {
        std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(Uniform(0, 255));
        return frame;
    }

    std::vector<uint8_t> Next(std::vector<uint8_t> frame, int32_t width, int32_t height, int32_t threshold) {
        const int patches = Uniform(0, 6);
        for (int n = 0; n < patches; ++n) {
            const int32_t x0 = Uniform(0, width - 1);
            const int32_t y0 = Uniform(0, height - 1);
            const int32_t x1 = std::min(width, x0 + Uniform(1, 9));
            const int32_t y1 = std::min(height, y0 + Uniform(1, 9));
            const int delta = Uniform(-threshold - 3, threshold + 3) * Uniform(1, 3);
            for (int32_t y = y0; y < y1; ++y) {
                for (int32_t x = x0; x < x1; ++x) {
                    uint8_t* p = &frame[(static_cast<size_t>(y) * width + x) * 4];
                    for (int c = 0; c < 4; ++c) p[c] = static_cast<uint8_t>(std::clamp(p[c] + delta, 0, 255));
                }
            }
        }
        // A little noise everywhere.
        const int noisy = Uniform(0, width * height / 4);
        for (int n = 0; n < noisy; ++n) {
            frame[static_cast<size_t>(Uniform(0, width * height * 4 - 1))] ^= static_cast<uint8_t>(Uniform(0, 7));
        }
        return frame;
    }

    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

private:
    std::mt19937 random_;
};

TEST(FramePipelineReference, MatchesPlainAlgorithmOnRandomSequences) {
    SceneMaker maker(20261207);
    int frames_with_motion = 0;
    int frames_compared = 0;
    for (int sequence = 0; sequence < 300; ++sequence) {
        CindralSettings settings;
        CallLog fast_log, plain_log;
        Screen fast_screen, plain_screen;
        CFramePipeline fast(settings, fast_log, &fast_screen);
        fast.AttachSettings(true);
        PlainPipeline plain(settings, plain_log, plain_screen);

        // Mostly small frames, where every edge case is near; now and then wide ones, whose rows
        // are long enough for every bulk path of the conversion.
        auto random_width = [&maker] { return maker.Uniform(0, 3) == 0 ? maker.Uniform(30, 140) : maker.Uniform(1, 40); };
        int32_t width = random_width();
        int32_t height = maker.Uniform(1, 30);
        std::vector<uint8_t> frame = maker.First(width, height);
        const int frame_count = maker.Uniform(2, 12);
        for (int f = 0; f < frame_count; ++f) {
            if (maker.Uniform(0, 9) == 0) {  // the camera's size changes now and then
                width = random_width();
                height = maker.Uniform(1, 30);
                frame = maker.First(width, height);
            }
            settings.frame_width = width;
            settings.frame_height = maker.Uniform(0, 7) == 0 ? -height : height;
            settings.saving_mode = maker.Uniform(0, 5) < 3 ? kSavingMotionDetector : maker.Uniform(0, 3);
            settings.show_detector = maker.Uniform(0, 3) != 0;
            settings.threshold = maker.Uniform(-1, 40);
            settings.detector_colour = static_cast<uint16_t>(maker.Uniform(0, 0xFFFF));
            fast_screen.is_playing = plain_screen.is_playing = maker.Uniform(0, 9) == 0;

            fast.ProcessFrame(frame.data(), frame.size());
            plain.ProcessFrame(frame.data());
            ++frames_compared;

            ASSERT_EQ(plain_log.calls, fast_log.calls) << "sequence " << sequence << " frame " << f;
            ASSERT_EQ(plain_screen.shown, fast_screen.shown) << "sequence " << sequence << " frame " << f;
            ASSERT_EQ(BytesOf(plain.Live()), BytesOf(fast.LiveFrame())) << "sequence " << sequence << " frame " << f;
            ASSERT_EQ(plain.Previous().GetWidth(), fast.PreviousFrame().GetWidth());
            ASSERT_EQ(plain.Previous().GetHeight(), fast.PreviousFrame().GetHeight());
            ASSERT_EQ(BytesOf(plain.Previous()), BytesOf(fast.PreviousFrame())) << "sequence " << sequence;
            if (!plain_log.calls.empty() && plain_log.calls.back().is_write && settings.saving_mode == 1) {
                ++frames_with_motion;
            }
            frame = maker.Next(std::move(frame), width, height, std::max(0, settings.threshold.load()));
        }
    }
    // The scenes must exercise both verdicts for the comparison to mean anything.
    EXPECT_GT(frames_with_motion, frames_compared / 10);
    EXPECT_LT(frames_with_motion, frames_compared / 2);
}

}  // namespace

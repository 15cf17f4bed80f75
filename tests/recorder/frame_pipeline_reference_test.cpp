// CFramePipeline is compared with a plain, step-by-step version of the same pipeline on many
// random frame sequences: every shortcut it takes must give the same verdicts, marks, recorded
// frames, shown 32-bit pictures and previous frame. YUV frames are compared after the plain
// per-pixel conversion, and the JPEG planes made for the recorder against the plain per-sample
// arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "recorder/frame_pipeline.h"

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

// Keeps every picture the view would paint.
class Screen : public IFramePresenter {
public:
    bool IsShowingLive() const override { return !is_playing; }
    ViewPicture& LivePictureToFill() override { return picture; }
    void PresentLivePicture() override {
        shown.emplace_back(picture.Bits(),
                           picture.Bits() + static_cast<size_t>(picture.BytesPerLine()) * picture.Height());
    }
    // The plain way to the view's picture: every packed pixel followed by 255.
    void ShowPlain(const BMP_File& frame) {
        std::vector<uint8_t> bytes;
        for (int32_t i = 0; i < frame.GetBitsSize(); i += 3) {
            bytes.insert(bytes.end(), {frame.GetBits()[i], frame.GetBits()[i + 1], frame.GetBits()[i + 2], 255});
        }
        shown.push_back(std::move(bytes));
    }
    bool is_playing = false;
    ViewPicture picture;
    std::vector<std::vector<uint8_t>> shown;
};

std::vector<uint8_t> BytesOf(const BMP_File& image) {
    return std::vector<uint8_t>(image.GetBits(), image.GetBits() + image.GetBitsSize());
}

// The pipeline as the plain algorithm: convert, flip, clean copy, per-block GetPixel sums against
// the previous clean frame, marks, previous frame copied from the marked live frame, record, present.
class PlainPipeline {
public:
    PlainPipeline(const CindralSettings& settings, IFrameRecorder& recorder, Screen& presenter)
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
                                s0 += Lightness(previous_clean_.GetPixel(x + i, y + j));
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
            previous_clean_.Create(width, height);
            std::memcpy(previous_clean_.GetBits(), clean.GetBits(), clean.GetBitsSize());
        }
        if ((settings_.saving_mode == 1 && is_motion) || settings_.saving_mode == 2) {
            recorder_.WriteFrame(clean);
        } else {
            recorder_.CloseFile();
        }
        if (presenter_.IsShowingLive()) presenter_.ShowPlain(live_);
    }

    const BMP_File& Live() const { return live_; }
    const BMP_File& Previous() const { return previous_; }

private:
    static int Lightness(const mColor_24& p) {
        return (std::max({p.blue, p.green, p.red}) + std::min({p.blue, p.green, p.red})) >> 1;
    }

    const CindralSettings& settings_;
    IFrameRecorder& recorder_;
    Screen& presenter_;
    BMP_File live_;
    BMP_File previous_;
    BMP_File previous_clean_;
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

// One frame as CFramePipeline is given it, and the same picture as the plain pipeline gets it
// (32-bit pixels in the row order of the height setting).
struct FramePair {
    CameraFrame frame;
    std::vector<uint8_t> bgrx;
};
// Makes the pair from a scene of 4-byte pixels; the buffer lives in the maker.
using FrameMaker = std::function<FramePair(const std::vector<uint8_t>& scene, int32_t width, int32_t height_setting)>;
// The JPEG planes (luma, Cb, Cr, unpadded) a recorder taking planes must get for a scene.
using PlanesOfScene =
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>& scene, int32_t width, int32_t height)>;

// Takes only planes: keeps them unpadded, as one block.
class PlaneLog : public IFrameRecorder {
public:
    bool WriteFrame(const BMP_File&) override {
        calls.push_back({true, {}});
        return true;
    }
    bool WriteCleanFrame(const CleanFrame& frame) override {
        if (frame.planes == nullptr) return WriteFrame(*frame.picture);
        Call call{true, {}};
        const int32_t chroma_width = (frame.width + 1) / 2;
        for (int plane = 0; plane < 3; ++plane) {
            const int32_t width = plane == 0 ? frame.width : chroma_width;
            const int32_t rows = plane == 0 ? frame.height : (frame.height + 1) / 2;
            for (int32_t y = 0; y < rows; ++y) {
                const uint8_t* row =
                    frame.planes->planes[plane] + static_cast<ptrdiff_t>(y) * frame.planes->strides[plane];
                call.bytes.insert(call.bytes.end(), row, row + width);
            }
        }
        calls.push_back(std::move(call));
        return true;
    }
    bool CloseFile() override {
        calls.push_back({false, {}});
        return true;
    }
    bool TakesPlanes() const override { return true; }
    std::vector<Call> calls;
};

// Random sequences through CFramePipeline and through the plain pipeline: the same verdicts,
// marks, recorded pictures, shown pictures and previous frame; with expected_planes, a second
// CFramePipeline whose recorder takes planes gets exactly those. Two more without a view, as the
// command line runs, compare only the block sums: they record the same.
void CompareWithPlainPipeline(uint32_t seed, int sequences, bool allows_bottom_up, const FrameMaker& make,
                              const PlanesOfScene& expected_planes = {}) {
    SceneMaker maker(seed);
    int frames_with_motion = 0;
    int frames_compared = 0;
    for (int sequence = 0; sequence < sequences; ++sequence) {
        CindralSettings settings;
        CallLog fast_log, plain_log;
        PlaneLog plane_log;
        Screen fast_screen, plain_screen, plane_screen;
        CFramePipeline fast(settings, fast_log, &fast_screen);
        CFramePipeline by_planes(settings, plane_log, &plane_screen);
        CallLog headless_log;
        PlaneLog headless_plane_log;
        CFramePipeline headless(settings, headless_log, nullptr);
        CFramePipeline headless_by_planes(settings, headless_plane_log, nullptr);
        for (CFramePipeline* pipeline : {&fast, &by_planes, &headless, &headless_by_planes})
            pipeline->AttachSettings(true);
        PlainPipeline plain(settings, plain_log, plain_screen);

        // Mostly small frames, where every edge case is near; now and then wide ones, whose rows
        // are long enough for every bulk path of the conversion.
        auto random_width = [&maker] {
            return maker.Uniform(0, 3) == 0 ? maker.Uniform(30, 140) : maker.Uniform(1, 40);
        };
        int32_t width = random_width();
        int32_t height = maker.Uniform(1, 30);
        std::vector<uint8_t> scene = maker.First(width, height);
        const int frame_count = maker.Uniform(2, 12);
        for (int f = 0; f < frame_count; ++f) {
            if (maker.Uniform(0, 9) == 0) {  // the camera's size changes now and then
                width = random_width();
                height = maker.Uniform(1, 30);
                scene = maker.First(width, height);
            }
            settings.frame_width = width;
            settings.frame_height = allows_bottom_up && maker.Uniform(0, 7) != 0 ? height : -height;
            settings.saving_mode = maker.Uniform(0, 5) < 3 ? kSavingMotionDetector : maker.Uniform(0, 3);
            settings.show_detector = maker.Uniform(0, 3) != 0;
            settings.threshold = maker.Uniform(-1, 40);
            settings.detector_colour = static_cast<uint16_t>(maker.Uniform(0, 0xFFFF));
            fast_screen.is_playing = plain_screen.is_playing = plane_screen.is_playing = maker.Uniform(0, 9) == 0;

            const FramePair pair = make(scene, width, settings.frame_height);
            fast.ProcessFrame(pair.frame);
            headless.ProcessFrame(pair.frame);
            headless_by_planes.ProcessFrame(pair.frame);
            plain.ProcessFrame(pair.bgrx.data());
            ++frames_compared;

            const std::string where = "sequence " + std::to_string(sequence) + " frame " + std::to_string(f);
            ASSERT_EQ(plain_log.calls, fast_log.calls) << where;
            ASSERT_EQ(plain_log.calls, headless_log.calls) << where;
            ASSERT_EQ(plain_log.calls.size(), headless_plane_log.calls.size()) << where;
            ASSERT_EQ(plain_log.calls.back().is_write, headless_plane_log.calls.back().is_write) << where;
            ASSERT_EQ(plain_screen.shown, fast_screen.shown) << where;
            // The live frame is made when the detector or the recorder looks at it.
            if (settings.show_detector != 0 || settings.saving_mode == kSavingMotionDetector ||
                settings.saving_mode == kSavingAlways) {
                ASSERT_EQ(BytesOf(plain.Live()), BytesOf(fast.LiveFrame())) << where;
            }
            ASSERT_EQ(plain.Previous().GetWidth(), fast.PreviousFrame().GetWidth());
            ASSERT_EQ(plain.Previous().GetHeight(), fast.PreviousFrame().GetHeight());
            ASSERT_EQ(BytesOf(plain.Previous()), BytesOf(fast.PreviousFrame())) << where;
            if (expected_planes) {
                by_planes.ProcessFrame(pair.frame);
                ASSERT_EQ(plane_log.calls.size(), plain_log.calls.size()) << where;
                ASSERT_EQ(plane_log.calls.back().is_write, plain_log.calls.back().is_write) << where;
                if (plane_log.calls.back().is_write) {
                    ASSERT_EQ(plane_log.calls.back().bytes, expected_planes(scene, width, height)) << where;
                    ASSERT_EQ(headless_plane_log.calls.back().bytes, plane_log.calls.back().bytes) << where;
                }
            }
            if (!plain_log.calls.empty() && plain_log.calls.back().is_write && settings.saving_mode == 1) {
                ++frames_with_motion;
            }
            scene = maker.Next(std::move(scene), width, height, std::max(0, settings.threshold.load()));
        }
    }
    // The scenes must exercise both verdicts for the comparison to mean anything.
    EXPECT_GT(frames_with_motion, frames_compared / 10);
    EXPECT_LT(frames_with_motion, frames_compared / 2);
}

TEST(FramePipelineReference, MatchesPlainAlgorithmOnRandomSequences) {
    CompareWithPlainPipeline(20261207, 300, true, [](const std::vector<uint8_t>& scene, int32_t width, int32_t height) {
        FramePair pair{{}, scene};
        pair.frame.width = width;
        pair.frame.height = height;
        pair.frame.planes[0] = pair.bgrx.data();
        pair.frame.strides[0] = width * 4;
        return pair;
    });
    // The same scenes from a camera of packed 24-bit pixels, rows padded.
    std::vector<uint8_t> packed;
    CompareWithPlainPipeline(20261208, 100, true,
                             [&packed](const std::vector<uint8_t>& scene, int32_t width, int32_t height) {
                                 const int32_t stride = width * 3 + 5;
                                 packed.assign(static_cast<size_t>(stride) * std::abs(height), 0x5A);
                                 for (size_t pixel = 0; pixel < scene.size() / 4; ++pixel) {
                                     const size_t row = pixel / width;
                                     std::memcpy(&packed[row * stride + (pixel % width) * 3], &scene[pixel * 4], 3);
                                 }
                                 FramePair pair{{}, scene};
                                 pair.frame.layout = PixelLayout::kBgr;
                                 pair.frame.width = width;
                                 pair.frame.height = height;
                                 pair.frame.planes[0] = packed.data();
                                 pair.frame.strides[0] = stride;
                                 return pair;
                             });
}

// A YUV camera built on the same scenes: a scene pixel's bytes 0, 1 and 2 are its Y, U and V;
// chroma is taken from the even pixel of each pair (and the even row, at 4:2:0).
class YuvCamera {
public:
    YuvCamera(PixelLayout layout, YuvColour colour)
        : layout_(layout), colour_(colour), k_(YuvCoefficients::For(colour)) {}

    FramePair Make(const std::vector<uint8_t>& scene, int32_t width, int32_t height_setting) {
        const int32_t height = std::abs(height_setting);
        const int32_t chroma_width = (width + 1) / 2;
        const int32_t chroma_rows = IsHalfHeight() ? (height + 1) / 2 : height;
        FramePair pair;
        pair.frame.layout = layout_;
        pair.frame.colour = colour_;
        pair.frame.width = width;
        pair.frame.height = height_setting;
        // Rows padded past their samples, as cameras do.
        const bool is_packed = layout_ == PixelLayout::kYuy2 || layout_ == PixelLayout::kUyvy;
        const int32_t luma_stride = is_packed ? 4 * chroma_width + 4 : width + 3;
        const int32_t chroma_stride = layout_ == PixelLayout::kNv12 ? 2 * chroma_width + 2 : chroma_width + 5;
        memory_.assign(static_cast<size_t>(luma_stride) * height + 2 * static_cast<size_t>(chroma_stride) * chroma_rows,
                       0x5A);
        uint8_t* luma = memory_.data();
        uint8_t* u_plane = luma + static_cast<size_t>(luma_stride) * height;
        uint8_t* v_plane = u_plane + static_cast<size_t>(chroma_stride) * chroma_rows;
        pair.frame.planes[0] = luma;
        pair.frame.strides[0] = luma_stride;
        pair.frame.planes[1] = u_plane;
        pair.frame.strides[1] = chroma_stride;
        pair.frame.planes[2] = v_plane;
        pair.frame.strides[2] = chroma_stride;
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                const int cx = x / 2;
                const int cy = IsHalfHeight() ? y / 2 : y;
                const uint8_t u = U(scene, width, x, y);
                const uint8_t v = V(scene, width, x, y);
                uint8_t* row = luma + static_cast<size_t>(y) * luma_stride;
                switch (layout_) {
                    case PixelLayout::kYuy2:
                        row[2 * x] = Y(scene, width, x, y);
                        row[4 * cx + 1] = u;
                        row[4 * cx + 3] = v;
                        break;
                    case PixelLayout::kUyvy:
                        row[2 * x + 1] = Y(scene, width, x, y);
                        row[4 * cx] = u;
                        row[4 * cx + 2] = v;
                        break;
                    case PixelLayout::kNv12:
                        row[x] = Y(scene, width, x, y);
                        u_plane[static_cast<size_t>(cy) * chroma_stride + 2 * cx] = u;
                        u_plane[static_cast<size_t>(cy) * chroma_stride + 2 * cx + 1] = v;
                        break;
                    default:
                        row[x] = Y(scene, width, x, y);
                        u_plane[static_cast<size_t>(cy) * chroma_stride + cx] = u;
                        v_plane[static_cast<size_t>(cy) * chroma_stride + cx] = v;
                        break;
                }
                uint8_t bgr[3];
                YuvToBgr(k_, Y(scene, width, x, y), u, v, bgr);
                pair.bgrx.insert(pair.bgrx.end(), {bgr[0], bgr[1], bgr[2], 0xA5});
            }
        }
        return pair;
    }

    std::vector<uint8_t> Planes(const std::vector<uint8_t>& scene, int32_t width, int32_t height) const {
        std::vector<uint8_t> planes;
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                planes.push_back(JpegLuma(k_, Y(scene, width, x, y), U(scene, width, x, y), V(scene, width, x, y)));
            }
        }
        std::vector<uint8_t> cr;
        for (int32_t row = 0; row < (height + 1) / 2; ++row) {
            // 4:2:2 chroma is the mean of the two rows', rounded up.
            const int32_t a = IsHalfHeight() ? 2 * row : 2 * row;
            const int32_t b = IsHalfHeight() ? 2 * row : std::min(2 * row + 1, height - 1);
            for (int32_t x = 0; x < width; x += 2) {
                uint8_t cb_sample = 0, cr_sample = 0;
                JpegChroma(k_, (U(scene, width, x, a) + U(scene, width, x, b) + 1) >> 1,
                           (V(scene, width, x, a) + V(scene, width, x, b) + 1) >> 1, &cb_sample, &cr_sample);
                planes.push_back(cb_sample);
                cr.push_back(cr_sample);
            }
        }
        planes.insert(planes.end(), cr.begin(), cr.end());
        return planes;
    }

private:
    bool IsHalfHeight() const { return layout_ == PixelLayout::kI420 || layout_ == PixelLayout::kNv12; }
    static uint8_t Y(const std::vector<uint8_t>& scene, int32_t width, int32_t x, int32_t y) {
        return scene[(static_cast<size_t>(y) * width + x) * 4];
    }
    // The chroma pixel (x, y) shares: the pair's even pixel, on the even row at 4:2:0.
    uint8_t Chroma(const std::vector<uint8_t>& scene, int32_t width, int32_t x, int32_t y, int byte) const {
        const int32_t source_y = IsHalfHeight() ? y / 2 * 2 : y;
        return scene[(static_cast<size_t>(source_y) * width + x / 2 * 2) * 4 + byte];
    }
    uint8_t U(const std::vector<uint8_t>& scene, int32_t width, int32_t x, int32_t y) const {
        return Chroma(scene, width, x, y, 1);
    }
    uint8_t V(const std::vector<uint8_t>& scene, int32_t width, int32_t x, int32_t y) const {
        return Chroma(scene, width, x, y, 2);
    }

    PixelLayout layout_;
    YuvColour colour_;
    YuvCoefficients k_;
    std::vector<uint8_t> memory_;
};

TEST(FramePipelineReference, YuvFramesMatchThePlainConversionThenThePlainAlgorithm) {
    const PixelLayout layouts[] = {PixelLayout::kI420, PixelLayout::kNv12, PixelLayout::kYuy2, PixelLayout::kUyvy,
                                   PixelLayout::kI422};
    const YuvColour colours[] = {kBt601Limited, kBt601Full, YuvColour{0.2126, 0.0722, false}};
    uint32_t seed = 7;
    for (const PixelLayout layout : layouts) {
        for (const YuvColour& colour : colours) {
            SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)) + ", kr " + std::to_string(colour.kr) +
                         (colour.is_full_range ? " full" : " limited"));
            YuvCamera camera(layout, colour);
            CompareWithPlainPipeline(
                ++seed, 40, false,
                [&camera](const std::vector<uint8_t>& scene, int32_t width, int32_t height) {
                    return camera.Make(scene, width, height);
                },
                [&camera](const std::vector<uint8_t>& scene, int32_t width, int32_t height) {
                    return camera.Planes(scene, width, height);
                });
        }
    }
}

}  // namespace

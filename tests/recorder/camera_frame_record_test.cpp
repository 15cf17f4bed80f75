// Frames as cameras send them, stored by the real recorder: YUV compressed from its planes, a
// camera's JPEG kept as it came once made to fit the archive's rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "jpeg/jpeg_stream.h"
#include "recorder/frame_archive.h"
#include "recorder/frame_pipeline.h"
#include "recorder/recorder_monitor.h"
#include "support/archive_test_support.h"

using namespace archive_test;

// Counts what this program allocates with new while counting is on (malloc underneath, so the
// matching delete frees it). ThreadSanitizer insists on its own new and delete: nothing is
// counted there.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CINDRAL_SANITIZER_OWNS_NEW 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define CINDRAL_SANITIZER_OWNS_NEW 1
#endif
namespace {
std::atomic<bool> g_is_counting{false};
std::atomic<int64_t> g_allocations{0};
}  // namespace

#ifndef CINDRAL_SANITIZER_OWNS_NEW
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    if (g_is_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
#endif

namespace {

constexpr int32_t kWidth = 77;  // neither size a multiple of 4, 8 or 16
constexpr int32_t kHeight = 45;

// Smooth ramps over the whole range of every channel, with a little noise: a picture whose level
// or contrast cannot shift unseen.
BMP_File Ramps() {
    BMP_File scene;
    PaintNoise(scene, kWidth, kHeight, 11);
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            uint8_t* pixel = scene.GetBits() + (static_cast<size_t>(y) * kWidth + x) * 3;
            const int noise = pixel[0] % 5 - 2;
            pixel[0] = static_cast<uint8_t>(std::clamp(255 * x / (kWidth - 1) + noise, 0, 255));
            pixel[1] = static_cast<uint8_t>(std::clamp(255 * y / (kHeight - 1) + noise, 0, 255));
            pixel[2] = static_cast<uint8_t>(std::clamp(255 - 255 * x / (kWidth - 1) + noise, 0, 255));
        }
    }
    return scene;
}

std::vector<uint8_t> CompressScene(int subsampling, int flags) {
    const BMP_File scene = Ramps();
    TurboJpegHandle handle(tjInitCompress());
    unsigned char* output = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(0, tjCompress2(handle.Get(), scene.GetBits(), kWidth, 0, kHeight, TJPF_BGR, &output, &size, subsampling,
                             90, flags));
    std::vector<uint8_t> stream(output, output + size);
    tjFree(output);
    return stream;
}

struct Segment {
    uint8_t marker;
    std::vector<uint8_t> bytes;  // marker and length included
};

// The segments from SOI to SOS, and the rest from SOS on.
std::vector<Segment> SplitHeader(const std::vector<uint8_t>& jpeg, std::vector<uint8_t>* scan) {
    std::vector<Segment> segments;
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at + 1] != 0xDA) {
        const size_t length = (static_cast<size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]) + 2;
        segments.push_back({jpeg[at + 1], std::vector<uint8_t>(jpeg.begin() + at, jpeg.begin() + at + length)});
        at += length;
    }
    scan->assign(jpeg.begin() + at, jpeg.end());
    return segments;
}

std::vector<uint8_t> Join(const std::vector<Segment>& segments, const std::vector<uint8_t>& scan) {
    std::vector<uint8_t> jpeg = {0xFF, 0xD8};
    for (const Segment& segment : segments) jpeg.insert(jpeg.end(), segment.bytes.begin(), segment.bytes.end());
    jpeg.insert(jpeg.end(), scan.begin(), scan.end());
    return jpeg;
}

// The table bodies (class, counts, symbols) of every DHT segment, in order.
std::vector<uint8_t> HuffmanTables(const std::vector<Segment>& segments) {
    std::vector<uint8_t> tables;
    for (const Segment& segment : segments) {
        if (segment.marker == 0xC4) tables.insert(tables.end(), segment.bytes.begin() + 4, segment.bytes.end());
    }
    return tables;
}

std::vector<uint8_t> Fit(const std::vector<uint8_t>& jpeg, int32_t width = kWidth, int32_t height = kHeight) {
    std::vector<uint8_t> fitted(jpeg.size() + 1024);
    fitted.resize(FitCameraJpeg(jpeg.data(), static_cast<uint32_t>(jpeg.size()), width, height, fitted.data(),
                                static_cast<uint32_t>(fitted.size())));
    return fitted;
}

TEST(CameraJpeg, IsMadeToFitTheArchivesRulesWithoutChangingThePicture) {
    const std::vector<uint8_t> own = CompressScene(TJSAMP_420, 0);
    // Padding after the end of the frame is dropped; a stream that keeps the rules stays as it is.
    std::vector<uint8_t> padded = own;
    padded.insert(padded.end(), 100, 0);
    EXPECT_EQ(Fit(padded), own);

    // As motion JPEG cameras send it: an AVI1 segment where JFIF belongs, no Huffman tables.
    std::vector<uint8_t> scan;
    const std::vector<Segment> own_segments = SplitHeader(own, &scan);
    std::vector<Segment> camera_segments;
    for (const Segment& segment : own_segments) {
        if (segment.marker == 0xE0) {
            camera_segments.push_back(
                {0xE0, {0xFF, 0xE0, 0x00, 0x10, 'A', 'V', 'I', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}});
        } else if (segment.marker != 0xC4) {
            camera_segments.push_back(segment);
        }
    }
    const std::vector<uint8_t> fitted = Fit(Join(camera_segments, scan));
    ASSERT_TRUE(HasJfifHeader(fitted.data(), static_cast<uint32_t>(fitted.size())));
    std::vector<uint8_t> fitted_scan;
    const std::vector<Segment> fitted_segments = SplitHeader(fitted, &fitted_scan);
    EXPECT_EQ(1, std::count_if(fitted_segments.begin(), fitted_segments.end(),
                               [](const Segment& segment) { return segment.marker == 0xE0; }));
    // The inserted tables are the standard ones the library itself writes.
    EXPECT_EQ(HuffmanTables(fitted_segments), HuffmanTables(own_segments));
    EXPECT_EQ(fitted_scan, scan);
    JpegCodec codec;
    BMP_File expected, stored;
    ASSERT_TRUE(codec.DecodeJpeg(own.data(), static_cast<uint32_t>(own.size()), expected));
    ASSERT_TRUE(codec.DecodeJpeg(fitted.data(), static_cast<uint32_t>(fitted.size()), stored));
    EXPECT_EQ(0, std::memcmp(expected.GetBits(), stored.GetBits(), expected.GetBitsSize()));

    // Only a whole baseline 4:2:0 stream of the frame's size is kept as it is.
    const std::vector<uint8_t> cut(own.begin(), own.end() - 2);
    // An end marker inside the scan header, none after it: the header would be stored cut short.
    std::vector<uint8_t> end_in_header(scan.begin(), scan.begin() + 4);
    end_in_header.insert(end_in_header.end(), {0xFF, 0xD9});
    end_in_header.resize(2 + (size_t{scan[2]} << 8 | scan[3]));
    for (const auto& refused :
         {CompressScene(TJSAMP_420, TJFLAG_PROGRESSIVE), CompressScene(TJSAMP_422, 0), CompressScene(TJSAMP_444, 0),
          CompressScene(TJSAMP_GRAY, 0), cut, Join(own_segments, end_in_header)}) {
        EXPECT_TRUE(Fit(refused).empty());
    }
    EXPECT_TRUE(Fit(own, kWidth + 1, kHeight).empty());
}

// BT.601 limited range, as cameras send it.
void ToYuv(const uint8_t* bgr, int& y, int& u, int& v) {
    const double b = bgr[0], g = bgr[1], r = bgr[2];
    y = static_cast<int>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255));
    u = static_cast<int>(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255));
    v = static_cast<int>(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255));
}

// A camera frame of the scene in a YUV layout, chroma the mean over the pixels that share it;
// memory holds its bytes.
CameraFrame YuvScene(const BMP_File& scene, PixelLayout layout, std::vector<uint8_t>& memory) {
    const bool is_packed = layout == PixelLayout::kYuy2;
    const int32_t chroma_width = (kWidth + 1) / 2;
    const int32_t chroma_rows = is_packed ? kHeight : (kHeight + 1) / 2;
    const size_t luma_bytes = is_packed ? static_cast<size_t>(chroma_width) * 4 * kHeight : size_t{kWidth} * kHeight;
    memory.assign(luma_bytes + 2 * static_cast<size_t>(chroma_width) * chroma_rows, 0);
    std::vector<int> u_sums(static_cast<size_t>(chroma_width) * chroma_rows), v_sums(u_sums.size()),
        counts(u_sums.size());
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            int luma, u, v;
            ToYuv(scene.GetBits() + (static_cast<size_t>(y) * kWidth + x) * 3, luma, u, v);
            memory[is_packed ? static_cast<size_t>(y) * chroma_width * 4 + 2 * x
                             : static_cast<size_t>(y) * kWidth + x] = static_cast<uint8_t>(luma);
            const size_t sample = static_cast<size_t>(is_packed ? y : y / 2) * chroma_width + x / 2;
            u_sums[sample] += u;
            v_sums[sample] += v;
            ++counts[sample];
        }
    }
    for (size_t sample = 0; sample < counts.size(); ++sample) {
        const uint8_t u = static_cast<uint8_t>((u_sums[sample] + counts[sample] / 2) / counts[sample]);
        const uint8_t v = static_cast<uint8_t>((v_sums[sample] + counts[sample] / 2) / counts[sample]);
        if (is_packed) {
            memory[sample * 4 + 1] = u;
            memory[sample * 4 + 3] = v;
        } else {
            memory[luma_bytes + sample] = u;
            memory[luma_bytes + counts.size() + sample] = v;
        }
    }
    CameraFrame frame;
    frame.layout = layout;
    frame.width = kWidth;
    frame.height = -kHeight;
    frame.planes[0] = memory.data();
    frame.strides[0] = is_packed ? chroma_width * 4 : kWidth;
    if (!is_packed) {
        frame.planes[1] = memory.data() + luma_bytes;
        frame.planes[2] = frame.planes[1] + counts.size();
        frame.strides[1] = frame.strides[2] = chroma_width;
    }
    return frame;
}

TEST(CameraFrameRecord, EveryFormatIsStoredAsTheSourcePictureWithinJpegTolerance) {
    const BMP_File scene = Ramps();
    std::vector<uint8_t> memory;
    const std::vector<uint8_t> jpeg420 = CompressScene(TJSAMP_420, 0);
    const std::vector<uint8_t> jpeg422 = CompressScene(TJSAMP_422, 0);
    auto jpeg_frame = [](const std::vector<uint8_t>& stream) {
        CameraFrame frame;
        frame.layout = PixelLayout::kJpeg;
        frame.width = kWidth;
        frame.height = -kHeight;
        frame.planes[0] = stream.data();
        frame.size_bytes = stream.size();
        return frame;
    };
    struct Case {
        const char* name;
        std::function<CameraFrame()> make;
        bool is_kept;  // the camera's own stream is stored
    };
    const Case cases[] = {
        {"I420", [&] { return YuvScene(scene, PixelLayout::kI420, memory); }, false},
        {"YUY2", [&] { return YuvScene(scene, PixelLayout::kYuy2, memory); }, false},
        {"JPEG 4:2:0", [&] { return jpeg_frame(jpeg420); }, true},
        {"JPEG 4:2:2", [&] { return jpeg_frame(jpeg422); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        CindralSettings settings;
        settings.frame_width = kWidth;
        settings.frame_height = -kHeight;
        settings.saving_mode = kSavingAlways;
        std::string path;
        {
            CFrameArchive recorder(folder.Folder());
            CFramePipeline pipeline(settings, recorder, nullptr);
            pipeline.AttachSettings(true);
            pipeline.ProcessFrame(c.make());
            ASSERT_TRUE(recorder.IsWriteOpen()) << recorder.GetLastError();
            path = recorder.GetWritePath();
        }
        CFrameArchive reader;
        ASSERT_TRUE(reader.OpenFile(path));
        std::vector<uint8_t> stored;
        ASSERT_TRUE(reader.ReadFrameJpeg(0, stored));
        ASSERT_TRUE(HasJfifHeader(stored.data(), static_cast<uint32_t>(stored.size())));
        EXPECT_EQ(stored == jpeg420, c.is_kept);
        reader.SeekFrame(0);
        ASSERT_TRUE(reader.IsFrameDecoded());
        const BMP_File& picture = reader.GetFrameImage();
        ASSERT_EQ(picture.GetWidth(), kWidth);
        ASSERT_EQ(picture.GetHeight(), kHeight);
        // Close to the source everywhere, and no shift of level or contrast in any channel.
        for (int channel = 0; channel < 3; ++channel) {
            double difference = 0;
            double absolute = 0;
            for (size_t i = channel; i < static_cast<size_t>(picture.GetBitsSize()); i += 3) {
                const int d = picture.GetBits()[i] - scene.GetBits()[i];
                difference += d;
                absolute += std::abs(d);
            }
            const double pixels = static_cast<double>(kWidth) * kHeight;
            EXPECT_LT(std::abs(difference / pixels), 1.5) << "channel " << channel;
            EXPECT_LT(absolute / pixels, 3.5) << "channel " << channel;
        }
    }
}

}  // namespace

namespace {

// Hands every picture over as the view does, and takes it at once.
class SlotPresenter : public IFramePresenter {
public:
    bool IsShowingLive() const override { return true; }
    ViewPicture& LivePictureToFill() override { return slot.Back(); }
    void PresentLivePicture() override {
        slot.Publish();
        slot.TakeNewest();
    }
    CViewPictureSlot slot;
};

TEST(CameraFrameRecord, RecordingAndShowingAllocateNothingPerFrame) {
#ifdef CINDRAL_SANITIZER_OWNS_NEW
    GTEST_SKIP() << "allocations are not counted under ThreadSanitizer";
#endif
    const BMP_File scene = Ramps();
    std::vector<uint8_t> i420, yuy2;
    const CameraFrame i420_frame = YuvScene(scene, PixelLayout::kI420, i420);
    const CameraFrame yuy2_frame = YuvScene(scene, PixelLayout::kYuy2, yuy2);
    const std::vector<uint8_t> jpeg420 = CompressScene(TJSAMP_420, 0);
    const std::vector<uint8_t> jpeg422 = CompressScene(TJSAMP_422, 0);
    for (const std::vector<uint8_t>* stream : {static_cast<const std::vector<uint8_t>*>(nullptr), &jpeg420, &jpeg422}) {
        for (const CameraFrame* raw : {&i420_frame, &yuy2_frame}) {
            // "Always" shown with the detector's marks, and "Motion Detector" without a view (as
            // the command line runs it) at a threshold every block passes, so every frame is stored.
            for (const bool is_shown : {true, false}) {
                CameraFrame frame = *raw;
                if (stream != nullptr) {
                    frame.layout = PixelLayout::kJpeg;
                    frame.planes[0] = stream->data();
                    frame.size_bytes = stream->size();
                }
                SCOPED_TRACE(std::to_string(static_cast<int>(frame.layout)) + (is_shown ? " shown" : " motion"));
                TempFolder folder;
                CindralSettings settings;
                settings.frame_width = kWidth;
                settings.frame_height = -kHeight;
                settings.saving_mode = is_shown ? kSavingAlways : kSavingMotionDetector;
                settings.show_detector = is_shown ? 1 : 0;
                settings.threshold = -1;
                CFrameArchive archive(folder.Folder());
                CRecorderMonitor recorder(archive);
                SlotPresenter presenter;
                CFramePipeline pipeline(settings, recorder, is_shown ? &presenter : nullptr);
                pipeline.AttachSettings(true);
                // Three frames: each of the three view pictures is sized once.
                for (int warm_up = 0; warm_up < 3; ++warm_up) pipeline.ProcessFrame(frame);
                g_allocations = 0;
                g_is_counting = true;
                for (int i = 0; i < 10; ++i) pipeline.ProcessFrame(frame);
                g_is_counting = false;
                EXPECT_EQ(g_allocations.load(), 0);
                // The first frame has nothing to be compared with.
                EXPECT_EQ(recorder.GetStatus().stored_frames, is_shown ? 13 : 12);
                if (is_shown) {
                    EXPECT_EQ(presenter.slot.Shown().Width(), kWidth);
                }
            }
        }
    }
}

TEST(CameraFrameRecord, NothingIsAllocatedPerFrameOnceWarm) {
#ifdef CINDRAL_SANITIZER_OWNS_NEW
    GTEST_SKIP() << "allocations are not counted under ThreadSanitizer";
#endif
    TempFolder folder;
    CFrameArchive archive(folder.Folder());
    // A clock that stands still: the once-a-second flush (its thread, its queue) is not per frame,
    // and a slow build would otherwise reach it while allocations are counted.
    archive.SetClock({[] { return uint32_t{1000}; }, [] { return std::time_t{1798000000}; }});
    archive.SetEncodeWorkers(2);
    archive.SetWaitsForEncoders(true);  // nothing dropped; the jobs are handed out in turn, all warm after the first
    CRecorderMonitor monitor(archive);
    // Encoded on two threads from planes lent to the pass; a size off the blocks either way, so the last rows and
    // columns are repeated.
    constexpr int32_t kOddWidth = 1278;
    constexpr int32_t kOddHeight = 717;
    // And camera frames kept for the encoders, which convert them as they encode.
    struct CountingKeeper : ICameraFrameKeeper {
        std::atomic<int> kept{0};
        void* Keep(CameraFrame&) override {
            ++kept;
            return this;
        }
        void LetGo(void*) override { --kept; }
    } keeper;
    constexpr int32_t kChromaWidth = (kOddWidth + 1) / 2;
    std::vector<uint8_t> camera_bytes(kOddWidth * kOddHeight + 2 * kChromaWidth * ((kOddHeight + 1) / 2), 90);
    CameraFrame camera = archive_test::I420Frame(kOddWidth, kOddHeight, camera_bytes);
    camera.keeper = &keeper;
    const YuvCoefficients coefficients = YuvCoefficients::For(kBt601Limited);
    const auto write_frames = [&](int count) {
        for (int frame = 0; frame < count; ++frame) {
            JpegPlaneRoom* room = monitor.LendPlanes(kOddWidth, kOddHeight);
            ASSERT_NE(room, nullptr);
            for (int32_t y = 0; y < kOddHeight; ++y) {
                uint8_t* row = room->planes[0] + static_cast<size_t>(y) * room->strides[0];
                for (int32_t x = 0; x < kOddWidth; ++x) row[x] = static_cast<uint8_t>((x ^ y) + frame);
            }
            for (int plane = 1; plane < 3; ++plane) {
                for (int32_t y = 0; y < (kOddHeight + 1) / 2; ++y) {
                    std::memset(room->planes[plane] + static_cast<size_t>(y) * room->strides[plane], 100 + 20 * plane,
                                (kOddWidth + 1) / 2);
                }
            }
            const JpegYuvPlanes planes{kOddWidth,
                                       kOddHeight,
                                       {room->planes[0], room->planes[1], room->planes[2]},
                                       {room->strides[0], room->strides[1], room->strides[2]}};
            CleanFrame clean;
            clean.width = kOddWidth;
            clean.height = kOddHeight;
            clean.planes = &planes;
            ASSERT_TRUE(monitor.WriteCleanFrame(clean));
            CleanFrame kept;
            kept.width = kOddWidth;
            kept.height = kOddHeight;
            kept.camera = &camera;
            kept.coefficients = &coefficients;
            ASSERT_TRUE(monitor.WriteCleanFrame(kept));
        }
    };
    write_frames(20);
    archive.WaitForWrites();
    g_allocations.store(0);
    g_is_counting.store(true);
    write_frames(40);
    archive.WaitForWrites();
    g_is_counting.store(false);
    EXPECT_EQ(g_allocations.load(), 0);

    monitor.CloseFile();
    archive.WaitForWrites();
    EXPECT_EQ(monitor.GetStatus().stored_frames, 120);
    EXPECT_EQ(monitor.GetStatus().dropped_frames, 0);
    EXPECT_EQ(archive.GetEncodeCounts().encodes, 120);  // plain content: one encode each
    EXPECT_EQ(keeper.kept.load(), 0);
}

}  // namespace

// The encoding layer: the pool writes in submission order whatever the workers' timing (without
// workers, at once), the quality plan keeps to one encode a frame and follows the content, and
// the raw-data encoder makes the same pictures as TurboJPEG from the same planes, and the same
// bytes from a camera frame it converts as it goes as from the planes the frame pass writes.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "jpeg/camera_rows.h"
#include "jpeg/jpeg_codec.h"
#include "jpeg/jpeg_quality_plan.h"
#include "jpeg/raw_jpeg_encoder.h"
#include "picture/frame_pass.h"
#include "recorder/encode_pool.h"

namespace {

TEST(EncodePoolTest, WritesInSubmissionOrderWithEachJobsStampWhateverTheEncodeDelays) {
    for (const int workers : {0, 1, 2, 4}) {  // 0: written on the submitting thread
        std::mutex random_mutex;
        std::mt19937 random(static_cast<unsigned>(workers));
        std::vector<double> written;  // a mark is written as -1 less 1000 a kind, less its value
        {
            CEncodePool pool(
                workers, workers + 3,
                [&](EncodeJob&, int) {
                    int delay_us = 0;
                    {
                        const std::lock_guard<std::mutex> lock(random_mutex);
                        delay_us = static_cast<int>(random() % 3000);
                    }
                    // Encodes of unequal length on purpose, so that they finish out of order.
                    std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
                },
                [&](EncodeJob* job, const WriterMark& mark) {
                    written.push_back(job != nullptr ? job->record_stamp : -1.0 - mark.kind * 1000.0 - mark.value);
                });
            std::vector<double> expected;
            for (int frame = 0; frame < 150; ++frame) {
                EncodeJob* job = pool.Acquire(true);
                ASSERT_NE(job, nullptr);
                job->kind = frame % 10 == 9 ? EncodeJob::Kind::kEncoded : EncodeJob::Kind::kPlanes;
                job->record_stamp = frame;
                pool.Submit(job);
                expected.push_back(frame);
                if (frame % 25 == 24) {
                    pool.SubmitClose();
                    pool.SubmitClose();  // the same close
                    expected.push_back(-1.0);
                    // Marks of the owner's kinds keep their place and value too.
                    pool.SubmitMark(WriterMark{1, frame});
                    pool.SubmitMark(WriterMark{1, frame});
                    pool.SubmitMark(WriterMark{2, 0});
                    expected.push_back(-1.0 - 1000.0 - frame);
                    expected.push_back(-1.0 - 2000.0);
                }
            }
            pool.Drain();
            EXPECT_EQ(written, expected) << workers << " workers";
        }
    }
}

TEST(EncodePoolTest, HandsOutNoMoreJobsThanItHasUntilOneIsWritten) {
    std::mutex gate;
    gate.lock();  // the encoder waits here
    std::vector<double> written;
    CEncodePool pool(
        1, 3, [&](EncodeJob&, int) { const std::lock_guard<std::mutex> pass(gate); },
        [&](EncodeJob* job, const WriterMark&) { written.push_back(job->record_stamp); });
    std::vector<EncodeJob*> jobs;
    for (int i = 0; i < 3; ++i) {
        jobs.push_back(pool.Acquire());
        ASSERT_NE(jobs.back(), nullptr);
        jobs.back()->kind = EncodeJob::Kind::kPlanes;
        jobs.back()->record_stamp = i;
        pool.Submit(jobs.back());
    }
    EXPECT_EQ(pool.Acquire(), nullptr);  // all three in flight: the caller drops its frame
    gate.unlock();
    EncodeJob* next = pool.Acquire(true);  // waits for the first to be written
    ASSERT_NE(next, nullptr);
    pool.Release(next);
    pool.Drain();
    EXPECT_EQ(written, (std::vector<double>{0, 1, 2}));
}

TEST(JpegQualityPlanTest, SettlesWhereTheContentFitsAndStepsBackUpWhenItAllows) {
    JpegQualityPlan plan;
    int64_t now_ms = 1000;
    int encodes = 0;
    // fit_from: the highest quality at which this frame's stream fits (0: none does).
    const auto encode_frame = [&](int fit_from) {
        int quality = plan.FirstQuality(now_ms);
        int stored = 0;
        while (quality != 0) {
            ++encodes;
            stored = quality;
            quality = plan.NextQuality(quality, fit_from != 0 && quality <= fit_from, now_ms);
        }
        now_ms += 33;
        return stored;
    };
    // Textured content fits only at 50: the first frame walks down, the rest start there.
    EXPECT_EQ(encode_frame(50), 50);
    EXPECT_EQ(encodes, 3);
    encodes = 0;
    for (int frame = 0; frame < 80; ++frame) EXPECT_EQ(encode_frame(50), 50);
    EXPECT_EQ(encodes, 80);  // one encode a frame, the probe up not yet due
    // Content that fits nowhere is stored at 50 without another try.
    encodes = 0;
    EXPECT_EQ(encode_frame(0), 50);
    EXPECT_EQ(encodes, 1);
    // Still heavy when the probe comes: it costs one encode more, then 50 again.
    encodes = 0;
    for (int frame = 0; frame < 100; ++frame) encode_frame(50);
    EXPECT_EQ(encodes, 101);
    EXPECT_EQ(plan.SettledQuality(), 50);
    // Plain content: the next probes bring the quality back up to 75, one step at a time.
    int stored = 0;
    for (int frame = 0; frame < 50; ++frame) stored = encode_frame(75);
    EXPECT_EQ(stored, 60);
    EXPECT_EQ(plan.SettledQuality(), 60);
    for (int frame = 0; frame < 100; ++frame) stored = encode_frame(75);
    EXPECT_EQ(stored, 75);
    EXPECT_EQ(plan.SettledQuality(), 75);
    // Back up, a heavy frame steps down at once.
    EXPECT_EQ(encode_frame(60), 60);
    EXPECT_EQ(plan.SettledQuality(), 60);
}

// Planes with detail everywhere (a gradient and noise), written at width x height into rows of
// the padded layout, the padding left as garbage for FillRowPadding. TurboJPEG reads the luma of
// an odd height one row further (its planes are of even size), so a copy of the last row follows.
struct TestPlanes {
    EncodeJob job;
    TestPlanes(int32_t width, int32_t height, unsigned seed) {
        job.PreparePlanes(width, height + height % 2);
        job.planes.height = height;
        std::mt19937 random(seed);
        for (int plane = 0; plane < 3; ++plane) {
            const int32_t plane_width = plane == 0 ? width : (width + 1) / 2;
            const int32_t plane_height = plane == 0 ? height : (height + 1) / 2;
            for (int32_t y = 0; y < plane_height; ++y) {
                uint8_t* row = job.planes.planes[plane] + static_cast<size_t>(y) * job.planes.strides[plane];
                for (int32_t x = 0; x < job.planes.strides[plane]; ++x) {
                    row[x] = x < plane_width ? static_cast<uint8_t>((x * 3 + y * 2 + plane * 40) % 200 + random() % 40)
                                             : static_cast<uint8_t>(random());
                }
            }
        }
        FillRowPadding(job.planes);
        if (height % 2 != 0) {
            uint8_t* last = job.planes.planes[0] + static_cast<size_t>(height - 1) * job.planes.strides[0];
            std::memcpy(last + job.planes.strides[0], last, static_cast<size_t>(job.planes.strides[0]));
        }
    }
};

// The start-of-frame marker of a stream (0xC0 baseline, 0xC2 progressive, ...); 0 when none.
int FrameMarker(const uint8_t* data, uint32_t size) {
    for (uint32_t at = 2; at + 4 <= size && data[at] == 0xFF;) {
        const int marker = data[at + 1];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) return marker;
        if (marker == 0xDA) return 0;
        at += 2 + data[at + 2] * 256u + data[at + 3];
    }
    return 0;
}

TEST(RawJpegEncoderTest, MatchesTurboJpegFromTheSamePlanesAtSizesOffTheBlocks) {
    RawJpegEncoder encoder;
    tjhandle compressor = tjInitCompress();
    tjhandle decompressor = tjInitDecompress();
    ASSERT_NE(compressor, nullptr);
    ASSERT_NE(decompressor, nullptr);
    std::vector<uint8_t> raw_stream;
    for (const auto& [width, height] :
         {std::pair{1, 1}, {7, 5}, {17, 9}, {33, 31}, {640, 480}, {641, 479}, {1918, 1078}, {1920, 1080}}) {
        const TestPlanes source(width, height, static_cast<unsigned>(width * 7 + height));
        for (const int quality : JpegCodec::kFallbackQualities) {
            const uint32_t raw_size = encoder.Encode(source.job.planes, quality, raw_stream);
            ASSERT_GT(raw_size, 0u) << encoder.LastError();
            const unsigned char* planes[3] = {source.job.planes.planes[0], source.job.planes.planes[1],
                                              source.job.planes.planes[2]};
            unsigned char* tj_stream = nullptr;
            unsigned long tj_size = 0;
            ASSERT_EQ(tjCompressFromYUVPlanes(compressor, planes, width, source.job.planes.strides, height, TJSAMP_420,
                                              &tj_stream, &tj_size, quality, 0),
                      0);
            // The archive's kind of stream: JFIF first, baseline, 4:2:0, of the frame's size.
            EXPECT_TRUE(HasJfifHeader(raw_stream.data(), raw_size));
            int stream_width = 0, stream_height = 0, subsampling = -1, colour_space = -1;
            ASSERT_EQ(tjDecompressHeader3(decompressor, raw_stream.data(), raw_size, &stream_width, &stream_height,
                                          &subsampling, &colour_space),
                      0);
            EXPECT_EQ(stream_width, width);
            EXPECT_EQ(stream_height, height);
            EXPECT_EQ(subsampling, TJSAMP_420);
            EXPECT_EQ(FrameMarker(raw_stream.data(), raw_size), 0xC0) << "baseline";
            // Decoded, both come within a step of each other everywhere.
            std::vector<uint8_t> raw_pixels(static_cast<size_t>(width) * height * 3);
            std::vector<uint8_t> tj_pixels(raw_pixels.size());
            ASSERT_EQ(tjDecompress2(decompressor, raw_stream.data(), raw_size, raw_pixels.data(), width, 0, height,
                                    TJPF_RGB, 0),
                      0);
            ASSERT_EQ(tjDecompress2(decompressor, tj_stream, tj_size, tj_pixels.data(), width, 0, height, TJPF_RGB, 0),
                      0);
            int largest_difference = 0;
            for (size_t i = 0; i < raw_pixels.size(); ++i) {
                largest_difference = std::max(largest_difference, std::abs(raw_pixels[i] - tj_pixels[i]));
            }
            EXPECT_LE(largest_difference, 2) << width << "x" << height << " q" << quality;
            // Same planes, same coding: in fact the very same bytes.
            EXPECT_TRUE(raw_size == tj_size && std::memcmp(raw_stream.data(), tj_stream, tj_size) == 0)
                << width << "x" << height << " q" << quality;
            tjFree(tj_stream);
        }
    }
    tjDestroy(compressor);
    tjDestroy(decompressor);
}

// A camera frame of noise over a gradient, its bytes held by bytes.
CameraFrame NoiseFrame(PixelLayout layout, int32_t width, int32_t height, unsigned seed, std::vector<uint8_t>& bytes) {
    const int32_t chroma_width = (width + 1) / 2;
    const int32_t chroma_height = (height + 1) / 2;
    CameraFrame frame;
    frame.layout = layout;
    frame.width = width;
    frame.height = -height;
    size_t sizes[3] = {};
    if (layout == PixelLayout::kYuy2) {
        frame.strides[0] = 4 * chroma_width;
        sizes[0] = static_cast<size_t>(frame.strides[0]) * height;
    } else {
        frame.strides[0] = width;
        frame.strides[1] = layout == PixelLayout::kNv12 ? 2 * chroma_width : chroma_width;
        frame.strides[2] = layout == PixelLayout::kI420 ? chroma_width : 0;
        sizes[0] = static_cast<size_t>(width) * height;
        sizes[1] = static_cast<size_t>(frame.strides[1]) * chroma_height;
        sizes[2] = static_cast<size_t>(frame.strides[2]) * chroma_height;
    }
    bytes.resize(sizes[0] + sizes[1] + sizes[2]);
    std::mt19937 random(seed);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 % 180 + random() % 60);
    frame.planes[0] = bytes.data();
    if (sizes[1] > 0) frame.planes[1] = bytes.data() + sizes[0];
    if (sizes[2] > 0) frame.planes[2] = bytes.data() + sizes[0] + sizes[1];
    frame.size_bytes = bytes.size();
    return frame;
}

TEST(RawJpegEncoderTest, CameraRowsConvertedAsTheEncoderGoesMakeTheSameStreamAsWholePlanes) {
    RawJpegEncoder encoder;
    CCameraRows camera_rows;
    const YuvCoefficients limited = YuvCoefficients::For(kBt601Limited);
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> from_planes;
    std::vector<uint8_t> from_camera;
    for (const PixelLayout layout : {PixelLayout::kI420, PixelLayout::kNv12, PixelLayout::kYuy2}) {
        for (const auto& [width, height] : {std::pair{1, 1}, {6, 5}, {18, 17}, {34, 33}, {642, 479}, {1920, 1080}}) {
            const CameraFrame frame = NoiseFrame(layout, width, height, static_cast<unsigned>(width + height), bytes);
            EncodeJob job;
            job.PreparePlanes(width, height);
            PassTarget target;
            for (int plane = 0; plane < 3; ++plane) {
                target.planes[plane] = job.planes.planes[plane];
                target.strides[plane] = job.planes.strides[plane];
            }
            RunFramePass(frame, limited, target);
            FillRowPadding(job.planes);
            const uint32_t planes_size = encoder.Encode(job.planes, 75, from_planes);
            camera_rows.Use(frame, limited);
            const uint32_t camera_size = encoder.Encode(width, height, camera_rows, 75, from_camera);
            ASSERT_GT(camera_size, 0u) << encoder.LastError();
            EXPECT_TRUE(planes_size == camera_size &&
                        std::memcmp(from_planes.data(), from_camera.data(), planes_size) == 0)
                << static_cast<int>(layout) << " " << width << "x" << height;
        }
    }
}

}  // namespace

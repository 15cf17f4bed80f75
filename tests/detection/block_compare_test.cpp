// The detector's fast paths against plain arithmetic: the block means made without the picture,
// and their comparison, over random frames and thresholds at the edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "detection/block_compare.h"
#include "picture/frame_pass.h"

namespace {

TEST(BlockCompare, MatchesThePlainComparisonAtEveryThresholdEdge) {
    std::mt19937 random(20261207);
    const auto uniform = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    int64_t moved_in_all = 0;
    for (int round = 0; round < 400; ++round) {
        const size_t count = static_cast<size_t>(uniform(0, 70));
        std::vector<uint8_t> live(count), previous(count), ignored(count);
        for (size_t i = 0; i < count; ++i) {
            previous[i] = static_cast<uint8_t>(uniform(0, 255));
            // Mostly near the other mean, so that many differ by about the threshold.
            live[i] = static_cast<uint8_t>(uniform(0, 3) == 0 ? uniform(0, 255)
                                                              : std::clamp(previous[i] + uniform(-14, 14), 0, 255));
            ignored[i] = uniform(0, 5) == 0 ? static_cast<uint8_t>(uniform(1, 255)) : 0;
        }
        const int32_t thresholds[] = {INT_MIN, -1, 0, 1, uniform(2, 12), 254, 255, INT_MAX};
        const int32_t threshold = thresholds[uniform(0, 7)];
        const bool has_mask = uniform(0, 1) == 0;

        std::vector<uint32_t> expected;
        for (size_t i = 0; i < count; ++i) {
            if (has_mask && ignored[i] != 0) continue;
            if (std::abs(live[i] - previous[i]) > threshold) expected.push_back(static_cast<uint32_t>(i));
        }
        std::vector<uint32_t> moving{99};  // cleared first
        const uint8_t* mask = has_mask ? ignored.data() : nullptr;
        const std::string where = "round " + std::to_string(round) + " threshold " + std::to_string(threshold);
        ASSERT_EQ(static_cast<int64_t>(expected.size()),
                  CompareBlocks(live.data(), previous.data(), count, threshold, mask, &moving))
            << where;
        ASSERT_EQ(expected, moving) << where;
        ASSERT_EQ(static_cast<int64_t>(expected.size()),
                  CompareBlocks(live.data(), previous.data(), count, threshold, mask, nullptr))
            << where;
        moved_in_all += static_cast<int64_t>(expected.size());
    }
    EXPECT_GT(moved_in_all, 1000);
}

// Every way the processor can run the comparison against the plain verdicts, over counts that
// end anywhere within a wide step, masks with long ignored runs (whole steps left out) and the
// threshold's edges.
TEST(BlockCompare, EveryVectorWidthGivesThePlainLoopsVerdicts) {
    std::mt19937 random(20261208);
    const auto uniform = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    int widths = 0;
    for (const CompareVectors vectors : {CompareVectors::kPlain, CompareVectors::kSse2, CompareVectors::kAvx2}) {
        if (!CanCompareWith(vectors)) continue;
        ++widths;
        int64_t moved_in_all = 0;
        for (int round = 0; round < 300; ++round) {
            const size_t count =
                static_cast<size_t>(uniform(0, 3) == 0 ? 32 * uniform(1, 8) + uniform(-1, 1) : uniform(0, 300));
            std::vector<uint8_t> live(count), previous(count), ignored(count, 0);
            for (size_t i = 0; i < count; ++i) {
                previous[i] = static_cast<uint8_t>(uniform(0, 255));
                live[i] = static_cast<uint8_t>(uniform(0, 3) == 0 ? uniform(0, 255)
                                                                  : std::clamp(previous[i] + uniform(-14, 14), 0, 255));
            }
            // Scattered ignored blocks and a run of 20 to 80.
            for (size_t i = 0; i < count; ++i)
                ignored[i] = uniform(0, 6) == 0 ? static_cast<uint8_t>(uniform(1, 255)) : 0;
            if (count > 0) {
                const size_t run_start = static_cast<size_t>(uniform(0, static_cast<int>(count) - 1));
                const size_t run_end = std::min(count, run_start + static_cast<size_t>(uniform(20, 80)));
                for (size_t i = run_start; i < run_end; ++i) ignored[i] = 1;
            }
            const int32_t thresholds[] = {INT_MIN, -1, 0, 1, uniform(2, 12), 254, 255, 256, INT_MAX};
            const int32_t threshold = thresholds[uniform(0, 8)];
            const uint8_t* mask = uniform(0, 2) != 0 ? ignored.data() : nullptr;

            std::vector<uint32_t> expected;
            for (size_t i = 0; i < count; ++i) {
                if (mask != nullptr && mask[i] != 0) continue;
                if (std::abs(live[i] - previous[i]) > threshold) expected.push_back(static_cast<uint32_t>(i));
            }
            std::vector<uint32_t> moving{7};
            const std::string where = "vectors " + std::to_string(static_cast<int>(vectors)) + " count " +
                                      std::to_string(count) + " threshold " + std::to_string(threshold);
            ASSERT_EQ(static_cast<int64_t>(expected.size()),
                      CompareBlocksWith(vectors, live.data(), previous.data(), count, threshold, mask, &moving))
                << where;
            ASSERT_EQ(expected, moving) << where;
            ASSERT_EQ(static_cast<int64_t>(expected.size()),
                      CompareBlocksWith(vectors, live.data(), previous.data(), count, threshold, mask, nullptr))
                << where;
            moved_in_all += static_cast<int64_t>(expected.size());
        }
        EXPECT_GT(moved_in_all, 5000);
    }
#if defined(__x86_64__)
    EXPECT_GE(widths, 2) << "every x86-64 processor has SSE2";
#endif
}

// Random YUV frames whose block means the pass makes alone, and with the picture (itself checked
// against the plain conversion by the pipeline's reference test): the same means, clamped
// channels included.
TEST(BlockCompare, MeansWithoutThePictureAreThoseOfThePicture) {
    std::mt19937 random(7);
    const auto uniform = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const PixelLayout layouts[] = {PixelLayout::kI420, PixelLayout::kNv12, PixelLayout::kYuy2, PixelLayout::kUyvy,
                                   PixelLayout::kI422};
    const YuvColour colours[] = {kBt601Limited, kBt601Full, YuvColour{0.2126, 0.0722, false}};
    for (const PixelLayout layout : layouts) {
        for (const YuvColour& colour : colours) {
            const YuvCoefficients k = YuvCoefficients::For(colour);
            for (int round = 0; round < 12; ++round) {
                const int32_t width = uniform(0, 2) == 0 ? uniform(1, 40) : uniform(60, 200);
                const int32_t height = uniform(1, 13);
                const bool is_packed = layout == PixelLayout::kYuy2 || layout == PixelLayout::kUyvy;
                const bool is_half_height = layout == PixelLayout::kI420 || layout == PixelLayout::kNv12;
                const int32_t chroma_width = (width + 1) / 2;
                const int32_t chroma_rows = is_half_height ? (height + 1) / 2 : height;
                CameraFrame frame;
                frame.layout = layout;
                frame.colour = colour;
                frame.width = width;
                frame.height = -height;
                frame.strides[0] = is_packed ? 4 * chroma_width + uniform(0, 9) : width + uniform(0, 9);
                frame.strides[1] = frame.strides[2] =
                    (layout == PixelLayout::kNv12 ? 2 * chroma_width : chroma_width) + uniform(0, 9);
                // Extremes as often as not, so that channels clamp at 0 and 255.
                std::vector<uint8_t> bytes(static_cast<size_t>(frame.strides[0]) * height +
                                           2 * static_cast<size_t>(frame.strides[1]) * chroma_rows + 64);
                for (uint8_t& byte : bytes) {
                    const int kind = uniform(0, 3);
                    byte = static_cast<uint8_t>(kind == 0 ? 0 : kind == 1 ? 255 : uniform(0, 255));
                }
                frame.planes[0] = bytes.data();
                frame.planes[1] = bytes.data() + static_cast<size_t>(frame.strides[0]) * height;
                frame.planes[2] = frame.planes[1] + static_cast<size_t>(frame.strides[1]) * chroma_rows;

                const size_t block_count = static_cast<size_t>((width + 3) / 4) * static_cast<size_t>((height + 3) / 4);
                std::vector<uint8_t> with_picture(block_count, 0xA5), alone(block_count, 0x5A);
                std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3);
                PassTarget full;
                full.bgr = picture.data();
                full.block_means = with_picture.data();
                RunFramePass(frame, k, full);
                PassTarget means_only;
                means_only.block_means = alone.data();
                // Half the rounds also write the JPEG luma, as when recording from the planes.
                std::vector<uint8_t> luma(static_cast<size_t>(width) * height);
                if (round % 2 == 1) {
                    means_only.planes[0] = luma.data();
                    means_only.strides[0] = width;
                }
                RunFramePass(frame, k, means_only);
                ASSERT_EQ(with_picture, alone)
                    << "layout " << static_cast<int>(layout) << " width " << width << " height " << height;
            }
        }
    }
}

}  // namespace

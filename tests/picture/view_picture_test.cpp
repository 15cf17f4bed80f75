// The view's 32-bit picture: scaled parts against the nearest-pixel rule, and the hand-over of
// pictures between the two threads.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "picture/view_picture.h"

namespace {

// Every pixel holds its own index, so a misplaced one shows.
ViewPicture Numbered(int32_t width, int32_t height) {
    ViewPicture picture;
    picture.Resize(width, height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t index = static_cast<uint32_t>(y * width + x);
            picture.SetPixel(x, y, index & 0xFF, (index >> 8) & 0xFF, (index >> 16) & 0xFF);
        }
    }
    return picture;
}

}  // namespace

TEST(ViewPicture, ScaledPartsTakeTheNearestPixelAndTouchNothingElse) {
    const struct {
        int32_t width, height, scaled_width, scaled_height;
    } cases[] = {{40, 30, 40, 30}, {40, 30, 100, 75}, {40, 30, 17, 13}, {40, 30, 40, 71},
                 {7, 5, 640, 3},   {1, 1, 9, 4},      {640, 480, 3, 2}, {33, 9, 33, 4}};
    std::mt19937 random(17);
    auto uniform = [&random](int32_t low, int32_t high) {
        return std::uniform_int_distribution<int32_t>(low, high)(random);
    };
    constexpr uint32_t kUntouched = 0x12345678;
    CNearestScaler scaler;  // one for all, as the view keeps it
    for (const auto& c : cases) {
        const ViewPicture picture = Numbered(c.width, c.height);
        const int32_t canvas_width = c.scaled_width + 2;
        for (int round = 0; round < 6; ++round) {
            // The whole first, then parts of it, drawn one pixel in from the canvas's corner.
            const int32_t left = round == 0 ? 0 : uniform(0, c.scaled_width - 1);
            const int32_t top = round == 0 ? 0 : uniform(0, c.scaled_height - 1);
            const int32_t right = round == 0 ? c.scaled_width : uniform(left + 1, c.scaled_width);
            const int32_t bottom = round == 0 ? c.scaled_height : uniform(top + 1, c.scaled_height);
            std::vector<uint32_t> canvas(static_cast<size_t>(canvas_width) * (c.scaled_height + 2), kUntouched);
            ScaledPart part{c.scaled_width,
                            c.scaled_height,
                            left,
                            top,
                            right,
                            bottom,
                            reinterpret_cast<uint8_t*>(&canvas[static_cast<size_t>(top + 1) * canvas_width + left + 1]),
                            static_cast<ptrdiff_t>(canvas_width) * 4};
            scaler.Draw(picture, part);
            for (int32_t y = -1; y <= c.scaled_height; ++y) {
                for (int32_t x = -1; x <= c.scaled_width; ++x) {
                    uint32_t expected = kUntouched;
                    if (x >= left && x < right && y >= top && y < bottom) {
                        // The source pixel the target pixel's centre falls in.
                        const int64_t source_x = (2 * int64_t{x} + 1) * c.width / (2 * int64_t{c.scaled_width});
                        const int64_t source_y = (2 * int64_t{y} + 1) * c.height / (2 * int64_t{c.scaled_height});
                        expected = 0xFF000000u | static_cast<uint32_t>(source_y * c.width + source_x);
                    }
                    ASSERT_EQ(expected, canvas[static_cast<size_t>(y + 1) * canvas_width + x + 1])
                        << c.width << "x" << c.height << " to " << c.scaled_width << "x" << c.scaled_height << " at "
                        << x << "," << y;
                }
            }
        }
    }
}

TEST(ViewPictureSlot, NewestWinsWakesOnceAndNeverDrawsIntoThePictureOnShow) {
    CViewPictureSlot slot;
    EXPECT_FALSE(slot.TakeNewest());
    auto publish = [&slot](int32_t width) {
        slot.Back().Resize(width, 1);
        return slot.Publish();
    };
    EXPECT_TRUE(publish(1));
    EXPECT_FALSE(publish(2));  // replaces the waiting one without a second wake-up
    ASSERT_TRUE(slot.TakeNewest());
    EXPECT_EQ(2, slot.Shown().Width());
    const uint8_t* on_show = slot.Shown().Bits();
    for (int32_t width = 3; width < 7; ++width) {
        EXPECT_NE(on_show, slot.Back().Bits());
        EXPECT_EQ(width == 3, publish(width));
    }
    EXPECT_EQ(2, slot.Shown().Width());
    ASSERT_TRUE(slot.TakeNewest());
    EXPECT_EQ(6, slot.Shown().Width());
    EXPECT_FALSE(slot.TakeNewest());
}

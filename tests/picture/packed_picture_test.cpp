#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "picture/packed_picture.h"

namespace {

std::vector<uint8_t> BytesOf(const BMP_File& image) {
    return std::vector<uint8_t>(image.GetBits(), image.GetBits() + image.GetBitsSize());
}

// Rows painted with their own row number in every byte, so that the row order can be read back.
void PaintRows(BMP_File& image) {
    for (int32_t y = 0; y < image.GetHeight(); ++y) {
        for (int32_t x = 0; x < image.GetWidth(); ++x) {
            image.GetPixel(x, y) =
                mColor_24{static_cast<uint8_t>(y), static_cast<uint8_t>(x), static_cast<uint8_t>(y + 100)};
        }
    }
}

TEST(BmpFile, NewImageIsEmptyAndAnswersWithTheSparePixel) {
    BMP_File image;
    EXPECT_EQ(0, image.GetWidth());
    EXPECT_EQ(0, image.GetHeight());
    EXPECT_EQ(0, image.GetBitsSize());
    mColor_24& spare = image.GetPixel(0, 0);
    EXPECT_EQ(0, spare.blue + spare.green + spare.red);  // black
}

TEST(BmpFile, CreateGivesPackedBlackRowsEveryTime) {
    BMP_File image;
    ASSERT_TRUE(image.Create(4, 2));
    EXPECT_EQ(24, image.GetBitsSize());
    EXPECT_EQ(std::vector<uint8_t>(24, 0), BytesOf(image));
    PaintRows(image);
    ASSERT_TRUE(image.Create(4, 2));
    EXPECT_EQ(std::vector<uint8_t>(24, 0), BytesOf(image));
    // Smaller, then larger again: still all black.
    image.Create(3, 1);
    PaintRows(image);
    image.Create(5, 3);
    EXPECT_EQ(std::vector<uint8_t>(45, 0), BytesOf(image));

    // No row padding: pixel (0, 1) of a 5-wide image starts at byte 15; a 3-wide row is 9 bytes.
    image.GetPixel(0, 1) = mColor_24{1, 2, 3};
    EXPECT_EQ(1, image.GetBits()[15]);
    EXPECT_EQ(2, image.GetBits()[16]);
    EXPECT_EQ(3, image.GetBits()[17]);
    image.Create(3, 2);
    image.GetPixel(0, 1).red = 9;
    EXPECT_EQ(9, image.GetBits()[11]);
}

TEST(BmpFile, OutsideCoordinatesNeverTouchThePicture) {
    BMP_File image;
    image.Create(5, 3);
    PaintRows(image);
    const std::vector<uint8_t> before = BytesOf(image);
    const int32_t outside[][2] = {{5, 0}, {0, 3}, {-1, 0}, {0, -1}, {INT_MAX, 0}, {0, INT_MIN}, {-1, 1}, {5, 2}};
    for (const auto& xy : outside) {
        mColor_24& pixel = image.GetPixel(xy[0], xy[1]);
        pixel = mColor_24{200, 201, 202};
        EXPECT_EQ(before, BytesOf(image)) << xy[0] << "," << xy[1];
    }
    // What was written went to the spare pixel, which every outside address shares.
    EXPECT_EQ(201, image.GetPixel(-7, -7).green);
    EXPECT_EQ(&image.GetPixel(5, 0), &image.GetPixel(0, 3));
}

#if defined(__has_feature)
#define CINDRAL_HAS_ADDRESS_SANITIZER __has_feature(address_sanitizer)
#else
#define CINDRAL_HAS_ADDRESS_SANITIZER 0
#endif

TEST(BmpFile, BadSizesLeaveAnEmptySafeImage) {
    BMP_File image;
    image.Create(2, 2);
    EXPECT_THROW(image.Create(-3, 4), std::invalid_argument);
    EXPECT_EQ(-3, image.GetWidth());
    EXPECT_EQ(4, image.GetHeight());
    EXPECT_EQ(0, image.GetBitsSize());
    EXPECT_EQ(&image.GetPixel(-1, 0), &image.GetPixel(0, 0));
    image.FlipVertical();  // nothing to do, nothing to crash on

#if !defined(__SANITIZE_ADDRESS__) && !CINDRAL_HAS_ADDRESS_SANITIZER
    // AddressSanitizer ends the program where new would throw: this part runs only without it.
    EXPECT_THROW(image.Create(INT_MAX, INT_MAX), std::bad_alloc);
    EXPECT_EQ(0, image.GetBitsSize());
    EXPECT_EQ(&image.GetPixel(0, 0), &image.GetPixel(-1, -1));  // served by the spare pixel
#endif
    ASSERT_TRUE(image.Create(1, 1));
    EXPECT_NE(&image.GetPixel(0, 0), &image.GetPixel(-1, -1));
}

TEST(BmpFile, FlipVerticalReversesRows) {
    for (int32_t height : {0, 1, 2, 3, 4, 7}) {
        BMP_File image;
        image.Create(3, height);
        PaintRows(image);
        image.FlipVertical();
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < 3; ++x) {
                const mColor_24& p = image.GetPixel(x, y);
                ASSERT_EQ(height - 1 - y, p.blue) << height;
                ASSERT_EQ(x, p.green);
                ASSERT_EQ(height - 1 - y + 100, p.red);
            }
        }
        image.FlipVertical();
        BMP_File fresh;
        fresh.Create(3, height);
        PaintRows(fresh);
        EXPECT_EQ(BytesOf(fresh), BytesOf(image));
    }
}

TEST(BmpFile, CopyFromAndMoveCarrySizeAndPixels) {
    BMP_File source;
    source.Create(3, 2);
    PaintRows(source);
    BMP_File copy;
    copy.Create(10, 10);
    copy.CopyFrom(source);
    EXPECT_EQ(3, copy.GetWidth());
    EXPECT_EQ(2, copy.GetHeight());
    EXPECT_EQ(BytesOf(source), BytesOf(copy));
    copy.GetPixel(0, 0).blue = 77;
    EXPECT_EQ(0, source.GetPixel(0, 0).blue);  // a real copy

    BMP_File moved(std::move(copy));
    EXPECT_EQ(77, moved.GetPixel(0, 0).blue);
    EXPECT_EQ(0, copy.GetBitsSize());
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "jpeg/jpeg_codec.h"
#include "support/archive_test_support.h"

using namespace archive_test;

namespace {

// Position of a two-byte marker in a stream, or npos.
size_t FindMarker(const std::vector<uint8_t>& jpeg, uint8_t second_byte) {
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == second_byte) return i;
    }
    return std::string::npos;
}

std::vector<uint8_t> Encode(JpegCodec& codec, const BMP_File& image) {
    std::vector<uint8_t> buffer(655360);
    const uint32_t length = codec.EncodeJpeg(image, buffer.data(), static_cast<uint32_t>(buffer.size()));
    buffer.resize(length);
    return buffer;
}

// Mean absolute difference per byte of two pictures of the same size.
double MeanDifference(const BMP_File& a, const BMP_File& b) {
    double sum = 0;
    for (int32_t i = 0; i < a.GetBitsSize(); ++i) sum += std::abs(a.GetBits()[i] - b.GetBits()[i]);
    return sum / a.GetBitsSize();
}

// A picture in the layout TurboJPEG itself is asked to compress, for streams the codec never writes.
std::vector<uint8_t> CompressForeign(int pixel_format, int subsampling, int width, int height,
                                     const std::vector<uint8_t>& pixels) {
    TurboJpegHandle handle(tjInitCompress());
    unsigned char* output = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(0, tjCompress2(handle.Get(), pixels.data(), width, 0, height, pixel_format, &output, &size, subsampling,
                             90, 0));
    std::vector<uint8_t> result(output, output + size);
    tjFree(output);
    return result;
}

}  // namespace

TEST(JpegCodec, RoundTripKeepsSizeOrientationAndPackedRows) {
    for (const int width : {320, 322, 323}) {
        SCOPED_TRACE(width);
        const int height = width == 323 ? 241 : 240;
        BMP_File image;
        PaintScene(image, width, height, 3);
        // White top row, black bottom row: the picture must come back the same way up.
        for (int x = 0; x < width; ++x) {
            image.GetPixel(x, 0) = {255, 255, 255};
            image.GetPixel(x, height - 1) = {0, 0, 0};
        }
        JpegCodec codec;
        const std::vector<uint8_t> jpeg = Encode(codec, image);
        ASSERT_FALSE(jpeg.empty()) << codec.LastError();
        ASSERT_GE(jpeg.size(), 11u);
        EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0}), std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + 4));
        EXPECT_EQ(0, std::memcmp(jpeg.data() + 6, "JFIF", 5));

        BMP_File decoded;
        ASSERT_TRUE(codec.DecodeJpeg(jpeg.data(), static_cast<uint32_t>(jpeg.size()), decoded)) << codec.LastError();
        ASSERT_EQ(width, decoded.GetWidth());
        ASSERT_EQ(height, decoded.GetHeight());
        // A sheared decode (rows padded on one side only) would be far off everywhere below row 0.
        EXPECT_LT(MeanDifference(image, decoded), 6.0);
        EXPECT_GT(decoded.GetPixel(width / 2, 0).green, 200);
        EXPECT_LT(decoded.GetPixel(width / 2, height - 1).green, 50);
    }
}

TEST(JpegCodec, FlatFullHdFrameIsNotTakenForADamagedHeader) {
    // A black frame compresses further than any camera picture; the decoder's guard against
    // headers that claim more pixels than their stream can hold must still let it through.
    BMP_File black;
    black.Create(1920, 1080);
    JpegCodec codec;
    const std::vector<uint8_t> jpeg = Encode(codec, black);
    ASSERT_FALSE(jpeg.empty());
    BMP_File decoded;
    ASSERT_TRUE(codec.DecodeJpeg(jpeg.data(), static_cast<uint32_t>(jpeg.size()), decoded)) << codec.LastError();
    EXPECT_EQ(1920, decoded.GetWidth());
    EXPECT_EQ(1080, decoded.GetHeight());
    EXPECT_EQ(0, decoded.GetPixel(960, 540).green);
}

TEST(JpegCodec, EncodesWithTheFixedSettings) {
    BMP_File image;
    PaintScene(image, 64, 48, 0);
    JpegCodec codec;
    const std::vector<uint8_t> jpeg = Encode(codec, image);
    TurboJpegHandle reader(tjInitDecompress());
    int width = 0, height = 0, subsampling = -1, colour_space = -1;
    ASSERT_EQ(
        0, tjDecompressHeader3(reader.Get(), jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colour_space));
    EXPECT_EQ(TJSAMP_420, subsampling);
    EXPECT_EQ(TJCS_YCbCr, colour_space);
    // Quality 75 gives the standard luminance table scaled by one half: its first entry 16 becomes 8.
    const size_t dqt = FindMarker(jpeg, 0xDB);
    ASSERT_NE(std::string::npos, dqt);
    EXPECT_EQ(8, jpeg[dqt + 5]);
}

TEST(JpegCodec, GreyStreamsGiveThreeEqualBytes) {
    const int width = 33, height = 17;
    std::vector<uint8_t> grey(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i * 7);
    const std::vector<uint8_t> jpeg = CompressForeign(TJPF_GRAY, TJSAMP_GRAY, width, height, grey);
    JpegCodec codec;
    BMP_File decoded;
    ASSERT_TRUE(codec.DecodeJpeg(jpeg.data(), static_cast<uint32_t>(jpeg.size()), decoded)) << codec.LastError();
    ASSERT_EQ(width, decoded.GetWidth());
    ASSERT_EQ(height, decoded.GetHeight());
    int non_black = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const mColor_24 pixel = decoded.GetPixel(x, y);
            ASSERT_EQ(pixel.blue, pixel.green);
            ASSERT_EQ(pixel.green, pixel.red);
            non_black += pixel.red > 20;
        }
    }
    EXPECT_GT(non_black, width * height / 2);
}

TEST(JpegCodec, RefusedInputLeavesThePictureUntouched) {
    BMP_File image;
    PaintScene(image, 40, 30, 1);
    BMP_File before;
    before.CopyFrom(image);
    JpegCodec codec;

    std::vector<std::vector<uint8_t>> refused;
    refused.push_back(std::vector<uint8_t>(5000, 0x5A));  // not a JPEG
    std::vector<uint8_t> cut = EncodeScene(40, 30, 2);
    cut.resize(100);  // headers only, no picture
    refused.push_back(cut);
    std::vector<uint8_t> cmyk(64 * 32 * 4, 128);
    refused.push_back(CompressForeign(TJPF_CMYK, TJSAMP_444, 64, 32, cmyk));  // four components
    std::vector<uint8_t> giant = EncodeScene(16, 16, 0);
    // Claim 65535 x 65535 pixels in the frame header: more than the stream can hold.
    const size_t sof = FindMarker(giant, 0xC0);
    ASSERT_NE(std::string::npos, sof);
    giant[sof + 5] = giant[sof + 6] = giant[sof + 7] = giant[sof + 8] = 0xFF;
    refused.push_back(giant);

    for (size_t i = 0; i < refused.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(codec.DecodeJpeg(refused[i].data(), static_cast<uint32_t>(refused[i].size()), image));
        EXPECT_FALSE(codec.LastError().empty());
        ASSERT_EQ(before.GetWidth(), image.GetWidth());
        ASSERT_EQ(before.GetHeight(), image.GetHeight());
        EXPECT_EQ(0, std::memcmp(before.GetBits(), image.GetBits(), before.GetBitsSize()));
        // One damaged stream must not spoil the codec for the good frames after it.
        const std::vector<uint8_t> good = EncodeScene(24, 16, 3);
        BMP_File decoded;
        EXPECT_TRUE(codec.DecodeJpeg(good.data(), static_cast<uint32_t>(good.size()), decoded)) << codec.LastError();
        EXPECT_EQ(24, decoded.GetWidth());
    }
}

TEST(JpegCodec, FramesThatDoNotFitOrCannotBeEncodedAreRefused) {
    JpegCodec codec;
    std::vector<uint8_t> buffer(655360);
    BMP_File empty;
    EXPECT_EQ(0u, codec.EncodeJpeg(empty, buffer.data(), static_cast<uint32_t>(buffer.size())));

    // Pure noise at 1280 x 1024 needs far more than 640 KiB.
    BMP_File noise;
    PaintNoise(noise, 1280, 1024, 12345);
    EXPECT_EQ(0u, codec.EncodeJpeg(noise, buffer.data(), static_cast<uint32_t>(buffer.size())));
    EXPECT_NE(std::string::npos, codec.LastError().find("does not fit")) << codec.LastError();

    // A buffer smaller than the stream must not be overrun.
    BMP_File small;
    PaintScene(small, 32, 32, 0);
    std::vector<uint8_t> tight(200 + 16, 0xEE);
    EXPECT_EQ(0u, codec.EncodeJpeg(small, tight.data(), 200));
    for (size_t i = 200; i < tight.size(); ++i) EXPECT_EQ(0xEE, tight[i]);

    // The codec stays usable after refusals.
    BMP_File scene;
    PaintScene(scene, 1920, 1080, 5);
    EXPECT_GT(codec.EncodeJpeg(scene, buffer.data(), static_cast<uint32_t>(buffer.size())), 1000u) << codec.LastError();
}

TEST(JpegCodec, PicturesWiderOrTallerThan8192PixelsAreRefusedAsDamaged) {
    JpegCodec codec;
    const std::vector<uint8_t> small = EncodeScene(16, 16, 1);
    BMP_File image;
    for (const auto& [width, height, is_accepted] : std::vector<std::tuple<uint16_t, uint16_t, bool>>{
             {8192, 16, true}, {16, 8192, true}, {8193, 16, false}, {16, 8193, false}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const std::vector<uint8_t> claimed = ClaimSize(small, width, height, 4096);
        EXPECT_EQ(is_accepted, codec.DecodeJpeg(claimed.data(), static_cast<uint32_t>(claimed.size()), image))
            << codec.LastError();
        if (is_accepted) {
            EXPECT_EQ(width, image.GetWidth());
        } else {
            EXPECT_NE(std::string::npos, codec.LastError().find("8192")) << codec.LastError();
        }
    }
}

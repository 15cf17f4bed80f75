#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// One pixel as it lies in memory: blue, green, red, no padding.
struct mColor_24 {
    uint8_t blue = 0;
    uint8_t green = 0;
    uint8_t red = 0;
};
static_assert(sizeof(mColor_24) == 3, "pixels are packed to 3 bytes");

// A picture in memory: width x height packed 24-bit pixels, row 0 on top.
// Copies are explicit (CopyFrom) so that no frame is duplicated by accident.
class BMP_File {
public:
    BMP_File() = default;
    virtual ~BMP_File() = default;
    BMP_File(const BMP_File&) = delete;
    BMP_File& operator=(const BMP_File&) = delete;
    BMP_File(BMP_File&& other) noexcept;
    BMP_File& operator=(BMP_File&& other) noexcept;

    // Black picture of the given size. Throws std::invalid_argument for a negative
    // pixel count and std::bad_alloc when memory runs out; the size is stored either way.
    bool Create(int32_t width, int32_t height);
    // Like Create, but the pixels are left as they are: for callers that overwrite every byte.
    bool CreateForOverwrite(int32_t width, int32_t height);

    int32_t GetWidth() const { return width_; }
    int32_t GetHeight() const { return height_; }
    uint8_t* GetBits() { return reinterpret_cast<uint8_t*>(pixels_.get()); }
    const uint8_t* GetBits() const { return reinterpret_cast<const uint8_t*>(pixels_.get()); }
    int32_t GetBitsSize() const { return static_cast<int32_t>(pixel_count_ * 3); }
    size_t GetPixelCount() const { return pixel_count_; }

    // The pixel at (x, y), or the spare pixel for anything outside the picture.
    mColor_24& GetPixel(int32_t x, int32_t y);
    const mColor_24& GetPixel(int32_t x, int32_t y) const;

    void FlipVertical();

    // Sizes this picture like the source and copies its pixel bytes.
    void CopyFrom(const BMP_File& source);
    void Swap(BMP_File& other) noexcept;

private:
    void Allocate(int32_t width, int32_t height);

    int32_t width_ = 0;
    int32_t height_ = 0;
    std::unique_ptr<mColor_24[]> pixels_;
    size_t pixel_count_ = 0;
    size_t capacity_ = 0;
    mColor_24 spare_pixel_{};  // black; never part of the picture
};

#include "picture/packed_picture.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

BMP_File::BMP_File(BMP_File&& other) noexcept { Swap(other); }

BMP_File& BMP_File::operator=(BMP_File&& other) noexcept {
    if (this != &other) {
        BMP_File empty;
        Swap(empty);
        Swap(other);
    }
    return *this;
}

void BMP_File::Allocate(int32_t width, int32_t height) {
    width_ = width;
    height_ = height;
    pixel_count_ = 0;
    const int64_t count = static_cast<int64_t>(width) * static_cast<int64_t>(height);
    if (width < 0 || height < 0 || count < 0) {
        pixels_.reset();
        capacity_ = 0;
        throw std::invalid_argument("BMP_File::Create: negative picture size");
    }
    const auto wanted = static_cast<size_t>(count);
    if (wanted > capacity_) {
        // Release first so that a failing allocation leaves an empty picture, not the old one.
        pixels_.reset();
        capacity_ = 0;
        pixels_.reset(new mColor_24[wanted]);
        capacity_ = wanted;
    }
    pixel_count_ = wanted;
}

bool BMP_File::Create(int32_t width, int32_t height) {
    Allocate(width, height);
    if (pixel_count_ != 0) std::memset(GetBits(), 0, pixel_count_ * 3);
    return true;
}

bool BMP_File::CreateForOverwrite(int32_t width, int32_t height) {
    Allocate(width, height);
    return true;
}

mColor_24& BMP_File::GetPixel(int32_t x, int32_t y) {
    if (x >= 0 && x < width_ && y >= 0 && y < height_) {
        const int64_t index = static_cast<int64_t>(y) * width_ + x;
        if (index >= 0 && static_cast<size_t>(index) < pixel_count_) return pixels_[static_cast<size_t>(index)];
    }
    return spare_pixel_;
}

const mColor_24& BMP_File::GetPixel(int32_t x, int32_t y) const { return const_cast<BMP_File*>(this)->GetPixel(x, y); }

void BMP_File::FlipVertical() {
    if (pixel_count_ != static_cast<size_t>(width_) * static_cast<size_t>(height_) || width_ <= 0) return;
    const size_t row_bytes = static_cast<size_t>(width_) * 3;
    uint8_t* bits = GetBits();
    for (int32_t top = 0, bottom = height_ - 1; top < bottom; ++top, --bottom) {
        std::swap_ranges(bits + top * row_bytes, bits + (top + 1) * row_bytes, bits + bottom * row_bytes);
    }
}

void BMP_File::CopyFrom(const BMP_File& source) {
    if (this == &source) return;
    CreateForOverwrite(source.width_, source.height_);
    const size_t bytes = std::min(pixel_count_, source.pixel_count_) * 3;
    if (bytes != 0) std::memcpy(GetBits(), source.GetBits(), bytes);
}

void BMP_File::Swap(BMP_File& other) noexcept {
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    std::swap(pixels_, other.pixels_);
    std::swap(pixel_count_, other.pixel_count_);
    std::swap(capacity_, other.capacity_);
    std::swap(spare_pixel_, other.spare_pixel_);
}

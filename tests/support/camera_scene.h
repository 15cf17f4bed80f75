#pragma once

// Camera-like pictures and camera frames, shared by the tests and the speed checks.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "picture/camera_frame.h"
#include "picture/packed_picture.h"

// A top-down I420 camera frame over bytes: the planes packed one after another.
inline CameraFrame I420Frame(int32_t width, int32_t height, const std::vector<uint8_t>& bytes) {
    const int32_t chroma_width = (width + 1) / 2;
    CameraFrame frame;
    frame.layout = PixelLayout::kI420;
    frame.width = width;
    frame.height = -height;
    frame.planes[0] = bytes.data();
    frame.planes[1] = bytes.data() + static_cast<size_t>(width) * height;
    frame.planes[2] = frame.planes[1] + static_cast<size_t>(chroma_width) * ((height + 1) / 2);
    frame.strides[0] = width;
    frame.strides[1] = frame.strides[2] = chroma_width;
    frame.size_bytes = bytes.size();
    return frame;
}

// A camera-like picture: smooth gradients, a little noise and a bright square whose place
// depends on frame_number, so consecutive frames differ as a moving scene does.
inline void PaintScene(BMP_File& image, int32_t width, int32_t height, int frame_number) {
    image.Create(width, height);
    uint32_t noise = 2463534242u + static_cast<uint32_t>(frame_number) * 7919u;
    const int square = std::max(4, width / 8);
    const int square_x = (frame_number * 7) % std::max(1, width - square);
    const int square_y = height / 3;
    uint8_t* bits = image.GetBits();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise ^= noise << 13;
            noise ^= noise >> 17;
            noise ^= noise << 5;
            const int jitter = static_cast<int>(noise & 7) - 3;
            uint8_t* pixel = bits + (static_cast<size_t>(y) * width + x) * 3;
            const bool inside = x >= square_x && x < square_x + square && y >= square_y && y < square_y + square;
            const int blue = inside ? 230 : 40 + 120 * x / std::max(1, width);
            const int green = inside ? 220 : 60 + 100 * y / std::max(1, height);
            const int red = inside ? 30 : 90 + 60 * (x + y) / std::max(1, width + height);
            pixel[0] = static_cast<uint8_t>(std::clamp(blue + jitter, 0, 255));
            pixel[1] = static_cast<uint8_t>(std::clamp(green + jitter, 0, 255));
            pixel[2] = static_cast<uint8_t>(std::clamp(red + jitter, 0, 255));
        }
    }
}

#pragma once

#include <cstddef>
#include <cstdint>

// How the pixels of a camera frame lie in memory.
enum class PixelLayout : uint8_t {
    kBgrx,  // packed blue, green, red, unused
    kBgr,   // packed blue, green, red
    kYuy2,  // packed 4:2:2, Y0 U Y1 V
    kUyvy,  // packed 4:2:2, U Y0 V Y1
    kI420,  // planar 4:2:0: Y, U and V planes
    kNv12,  // planar 4:2:0: Y plane, then U and V interleaved
    kI422,  // planar 4:2:2 (what a 4:2:2 JPEG decodes to)
    kJpeg,  // one JPEG stream
};

// The YUV-to-RGB matrix (by its red and blue weights) and range of a frame's YUV.
struct YuvColour {
    double kr = 0.299;  // BT.601
    double kb = 0.114;
    bool is_full_range = false;
    bool operator==(const YuvColour&) const = default;
};
// What cameras send unless their caps say otherwise.
inline constexpr YuvColour kBt601Limited{0.299, 0.114, false};
// What JPEG (JFIF) streams hold.
inline constexpr YuvColour kBt601Full{0.299, 0.114, true};

struct CameraFrame;

// Keeps camera frames past the call that hands them over, so that an encoder on another thread
// reads the camera's own pixels instead of a copy. Keep is asked on the streaming thread during
// that call; LetGo, on any thread, once for every token Keep gave.
class ICameraFrameKeeper {
public:
    virtual ~ICameraFrameKeeper() = default;
    // A token for the frame being handed over, its planes pointed where they stay valid until
    // LetGo; null when no more frames can be kept now.
    virtual void* Keep(CameraFrame& frame) = 0;
    virtual void LetGo(void* token) = 0;
};

// One frame as the capture graph hands it over, valid during the call.
struct CameraFrame {
    PixelLayout layout = PixelLayout::kBgrx;
    YuvColour colour = kBt601Limited;
    int32_t width = 0;
    // Negative: the top row comes first, as from the capture graph. Only packed blue-green-red
    // frames may come bottom row first.
    int32_t height = 0;
    // Packed layouts and kJpeg use plane 0; kNv12 planes 0 and 1; strides are bytes per row.
    const uint8_t* planes[3] = {};
    int32_t strides[3] = {};
    size_t size_bytes = 0;                 // kJpeg: the stream's length
    ICameraFrameKeeper* keeper = nullptr;  // null: the frame cannot be kept past the call
};

inline bool IsYuvLayout(PixelLayout layout) {
    return layout != PixelLayout::kBgrx && layout != PixelLayout::kBgr && layout != PixelLayout::kJpeg;
}

// 4:2:0 planes the way JPEG keeps them (full range, BT.601): what the recorder compresses
// from. Chroma planes are (width + 1) / 2 by (height + 1) / 2.
struct JpegYuvPlanes {
    int32_t width = 0;
    int32_t height = 0;
    const uint8_t* planes[3] = {};
    int32_t strides[3] = {};
};

// Room lent for a frame's JPEG planes (sized as JpegYuvPlanes): rows strides[i] bytes apart.
struct JpegPlaneRoom {
    uint8_t* planes[3] = {};
    int32_t strides[3] = {};
};

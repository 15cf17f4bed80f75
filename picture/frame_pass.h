#pragma once

#include <cstdint>

#include "picture/camera_frame.h"

// The one pass over a camera frame: the packed blue-green-red picture the marks and the recorder
// need, the mean lightness of its 4x4 blocks the detector compares, the 32-bit picture the view paints
// and, for a YUV frame, the 4:2:0 planes JPEG keeps, all read from the camera's own pixels once. Vectorised where the
// processor allows; the plain version computes the very same bytes and serves the tails of rows and the tests.

// Lightness of a pixel: (largest + smallest of blue, green, red) >> 1.
inline uint32_t Lightness(uint32_t blue, uint32_t green, uint32_t red) {
    const uint32_t largest = blue > green ? (blue > red ? blue : red) : (green > red ? green : red);
    const uint32_t smallest = blue < green ? (blue < red ? blue : red) : (green < red ? green : red);
    return (largest + smallest) >> 1;
}

// The fixed-point arithmetic of one YUV colour. The picture and the JPEG luma are computed in
// 64ths, the JPEG chroma in 128ths; every pass rounds and saturates the same way.
struct YuvCoefficients {
    int16_t luma_multiplier = 128;  // (Y * luma_multiplier) >> 1 is the scaled luma in 64ths
    int16_t luma_offset = -32;      // subtracted from it: the black level, less half a step
    int16_t red_v = 0;              // a channel adds (U - 128) * .._u + (V - 128) * .._v
    int16_t green_u = 0;
    int16_t green_v = 0;
    int16_t blue_u = 0;
    int16_t jpeg_luma_u = 0;  // nonzero only for other matrices than BT.601
    int16_t jpeg_luma_v = 0;
    int16_t jpeg_cb_u = 128;
    int16_t jpeg_cb_v = 0;
    int16_t jpeg_cr_u = 0;
    int16_t jpeg_cr_v = 128;

    static YuvCoefficients For(const YuvColour& colour);
    // True when the frame's YUV is already what JPEG keeps (BT.601, full range).
    bool IsJpegYuv() const;
};

// One pixel as every pass converts it.
void YuvToBgr(const YuvCoefficients& k, int y, int u, int v, uint8_t bgr[3]);
// One sample of the JPEG planes made from the frame's YUV.
uint8_t JpegLuma(const YuvCoefficients& k, int y, int u, int v);
void JpegChroma(const YuvCoefficients& k, int u, int v, uint8_t* cb, uint8_t* cr);

// Where a pass writes. Rows top row first.
struct PassTarget {
    uint8_t* bgr = nullptr;  // width * 3 bytes a row; null: no picture
    // The mean lightness of every 4x4 block, (width + 3) / 4 a row of blocks: the sum of its 16
    // pixels' lightness (those outside the frame count as 0) / 16, truncated; null: none. The
    // detector needs only these: without the picture they cost a fraction of it.
    uint8_t* block_means = nullptr;
    // The view's picture: width * 4 bytes a row, blue, green, red and 255 (opaque); null: none.
    uint8_t* bgrx = nullptr;
    // YUV frames: JPEG planes at 4:2:0. Null luma: the frame's own luma plane serves as it is;
    // null chroma: no chroma planes.
    uint8_t* planes[3] = {};
    int32_t strides[3] = {};
    // YUV frames, planes alone: only rows [first_row, end_row) of the frame (first_row even), the
    // planes' first rows being those of first_row (chroma: first_row / 2). end_row 0: every row.
    int32_t first_row = 0;
    int32_t end_row = 0;
};

// Runs the pass over frame: kBgrx or kBgr in either row order, or a YUV layout top row first.
void RunFramePass(const CameraFrame& frame, const YuvCoefficients& k, const PassTarget& target);

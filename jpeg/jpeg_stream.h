#pragma once

#include <cstdint>
#include <optional>

// What the marker segments of a JPEG stream say, read up to its first scan.
struct JpegStreamInfo {
    int32_t width = 0;
    int32_t height = 0;
    bool is_baseline = false;       // 8-bit sequential Huffman (SOF0)
    bool is_four_two_zero = false;  // three components, luma sampled 2x2, chroma 1x1
    bool has_huffman_tables = false;
    bool has_adobe_segment = false;  // an APP14 "Adobe" segment, which may say the colours are not YCbCr
    uint32_t scan_offset = 0;        // where the first SOS marker starts
    uint32_t end = 0;                // just past the last EOI; 0 when there is none after the scan
    uint32_t kept_header_bytes = 0;  // segments between SOI and SOS other than APP0
};

// Reads the segments of data from SOI to the first SOS; nothing when they are not well formed.
std::optional<JpegStreamInfo> ReadJpegStream(const uint8_t* data, uint32_t size);

// The length FitCameraJpeg gives the stream, or 0 when it cannot be stored as it is: only a
// whole baseline 4:2:0 YCbCr stream of the expected size is.
uint32_t FittedCameraJpegSize(const JpegStreamInfo& info, int32_t width, int32_t height);

// Copies a camera's JPEG into out the way the archive keeps frames: SOI, then a JFIF APP0
// segment, the camera's other segments (its own APP0 segments left out), the standard Huffman
// tables when the camera sent none (as many send motion JPEG), the scan and EOI; anything after
// EOI is dropped. Returns the length, or 0 when the stream cannot be stored as it is or does not
// fit capacity.
uint32_t FitCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height, uint8_t* out,
                       uint32_t capacity);

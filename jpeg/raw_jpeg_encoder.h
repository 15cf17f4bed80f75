#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>

// 4:2:0 planes laid out for the raw-data encoder: every row readable up to the next whole
// 8 samples (the encoder's blocks), the columns past the picture repeating its last sample.
struct PaddedYuvPlanes {
    int32_t width = 0;
    int32_t height = 0;
    uint8_t* planes[3] = {};
    int32_t strides[3] = {};
};

// Bytes a padded plane's row needs for a picture width_px wide: whole blocks of 8 samples.
inline int32_t PaddedRowBytes(int32_t width_px) { return (width_px + 7) / 8 * 8; }

// Repeats the last sample of each row into the padding after it (the pass writes only the picture).
void FillRowPadding(const PaddedYuvPlanes& planes);

// Rows of each plane in one call: an MCU row of 16 luma and 8 chroma rows.
inline constexpr int kJpegLumaRowsPerCall = 16;
inline constexpr int kJpegChromaRowsPerCall = 8;

// Hands the encoder the picture one MCU row at a time: row pointers, rows past the picture
// repeating its last, every row readable up to whole blocks of 8 samples (padding filled).
class IJpegRowSource {
public:
    virtual ~IJpegRowSource() = default;
    // The rows from luma row first_row (a multiple of 16) on, and chroma row first_row / 2 on.
    virtual void RowsFrom(int32_t first_row, JSAMPROW luma[kJpegLumaRowsPerCall], JSAMPROW cb[kJpegChromaRowsPerCall],
                          JSAMPROW cr[kJpegChromaRowsPerCall]) = 0;
};

// Baseline JFIF 4:2:0 from planes through libjpeg's raw-data interface: row pointers into the
// planes (the last row repeated down to the block boundary), so nothing is copied or converted.
// The coding matches TurboJPEG's from the same planes (its default, the fast integer DCT).
// The output goes into a vector that grows when a stream needs more room than ever before, so a
// warmed encoder allocates nothing of its own; libjpeg keeps its per-picture work memory.
// One encoder per thread.
class RawJpegEncoder {
public:
    RawJpegEncoder();
    ~RawJpegEncoder();
    RawJpegEncoder(const RawJpegEncoder&) = delete;
    RawJpegEncoder& operator=(const RawJpegEncoder&) = delete;

    // Encodes planes (padding filled) at quality into out (kept at its size or grown); returns
    // the stream length, or 0 with LastError() naming the step that failed.
    uint32_t Encode(const PaddedYuvPlanes& planes, int quality, std::vector<uint8_t>& out);
    // The same from rows a source makes as the encoder goes: a picture of width x height.
    uint32_t Encode(int32_t width, int32_t height, IJpegRowSource& rows, int quality, std::vector<uint8_t>& out);
    const std::string& LastError() const { return last_error_; }

private:
    struct ErrorManager {
        jpeg_error_mgr pub;
        std::jmp_buf jump;
        RawJpegEncoder* owner;
    };
    struct Destination {
        jpeg_destination_mgr pub;
        std::vector<uint8_t>* out;
        bool is_grown_failed;
    };
    static void OnError(j_common_ptr cinfo);
    static void OnInitDestination(j_compress_ptr cinfo);
    static boolean OnEmptyOutput(j_compress_ptr cinfo);
    static void OnTermDestination(j_compress_ptr cinfo);
    // The encode itself; a libjpeg failure jumps back here.
    bool Run(int32_t width, int32_t height, IJpegRowSource& rows, int quality);

    jpeg_compress_struct cinfo_{};
    ErrorManager errors_{};
    Destination destination_{};
    bool is_created_ = false;
    std::string last_error_;
};

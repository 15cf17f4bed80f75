#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <turbojpeg.h>

#include "picture/camera_frame.h"
#include "picture/packed_picture.h"

// Owns one TurboJPEG compressor or decompressor handle.
class TurboJpegHandle {
public:
    TurboJpegHandle() = default;
    explicit TurboJpegHandle(tjhandle handle) : handle_(handle) {}
    ~TurboJpegHandle() { Reset(); }
    TurboJpegHandle(const TurboJpegHandle&) = delete;
    TurboJpegHandle& operator=(const TurboJpegHandle&) = delete;
    TurboJpegHandle(TurboJpegHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    TurboJpegHandle& operator=(TurboJpegHandle&& other) noexcept;

    tjhandle Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Reset();

private:
    tjhandle handle_ = nullptr;
};

// Owns a buffer allocated by TurboJPEG (tjAlloc); released with tjFree.
class TurboJpegBuffer {
public:
    TurboJpegBuffer() = default;
    ~TurboJpegBuffer() { Reset(); }
    TurboJpegBuffer(const TurboJpegBuffer&) = delete;
    TurboJpegBuffer& operator=(const TurboJpegBuffer&) = delete;

    // Makes room for at least size_bytes; false when the allocation fails.
    bool Reserve(unsigned long size_bytes);
    unsigned char* Data() const { return data_; }
    unsigned long Capacity() const { return capacity_; }
    void Reset();

private:
    unsigned char* data_ = nullptr;
    unsigned long capacity_ = 0;
};

// The archive's JPEG coding: baseline JFIF, 3-component YCbCr with 2x2 chroma subsampling,
// quality 75, packed top-down blue-green-red pixels on both sides.
// One codec per archive object; an object is used by one thread at a time.
class JpegCodec {
public:
    static constexpr int kQuality = 75;
    // Pictures wider or taller than this are refused as damaged.
    static constexpr int kMaxDecodeDimension = 8192;

    JpegCodec() = default;

    // Encodes image into buffer (capacity bytes). Returns the stream length, or 0 when the image
    // cannot be encoded or the stream would not fit; LastError() then says why.
    // Every stream produced starts with SOI followed by the JFIF APP0 segment.
    uint32_t EncodeJpeg(const BMP_File& image, uint8_t* buffer, uint32_t capacity);

    // Decodes length bytes of data into image (re-created with the JPEG's size).
    // On failure image is left exactly as it was (a picture too large for a spare copy is left
    // empty when its data fails) and LastError() says why. Grey-scale streams give three equal
    // bytes per pixel; streams with other than 1 or 3 components, pictures over
    // kMaxDecodeDimension pixels either way and sizes the stream cannot hold are refused.
    bool DecodeJpeg(const uint8_t* data, uint32_t length, BMP_File& image);

    // Decodes like DecodeJpeg, scaled down by the largest of the decoder's factors that keeps the
    // picture within max_bytes (full size when it fits).
    bool DecodeJpegWithin(const uint8_t* data, uint32_t length, uint64_t max_bytes, BMP_File& image);

    // Decodes length bytes of data straight into out: height rows of width packed
    // blue-green-red pixels, each row starting pitch_bytes after the one before, the bottom row
    // first when bottom_up. Bytes between the end of a row's pixels and the next row are left as
    // they were. Refused, with out untouched, when the JPEG is not exactly width x height or
    // fails the checks of DecodeJpeg; a stream that fails while decoding may leave out partly
    // written. LastError() says why it failed.
    bool DecodeJpegInto(const uint8_t* data, uint32_t length, uint8_t* out, int width, int height, int pitch_bytes,
                        bool bottom_up);

    // Reads the stream's header and checks it can be decoded; false with LastError() set.
    bool ReadDecodableHeader(const uint8_t* data, uint32_t length, int& width, int& height);

    // The quality an archive frame is said to have when it is the camera's own stream.
    static constexpr int kCameraStreamQuality = 0;
    // A frame encoded for an archive record; data stays valid until the next encode.
    struct ArchiveJpeg {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        int quality = 0;
    };
    // The qualities tried, in order, for a frame whose stream would not fit: never below 50.
    static constexpr int kFallbackQualities[] = {kQuality, 60, 50};
    // Encodes image at quality 75 or, when the stream would exceed fit_bytes, at the lower
    // qualities in turn until it fits. A stream that does not fit even at the lowest is kept
    // whole, so a frame is never lost for its size. False only when the image cannot be encoded.
    // A stream that fits at 75 is byte for byte what EncodeJpeg writes.
    bool EncodeForArchive(const BMP_File& image, uint32_t fit_bytes, ArchiveJpeg* encoded);
    // The same from 4:2:0 planes as JPEG keeps them, so nothing is converted or subsampled again.
    bool EncodeForArchive(const JpegYuvPlanes& planes, uint32_t fit_bytes, ArchiveJpeg* encoded);

    // Decodes a camera's JPEG frame of width x height for the frame pass: a 4:2:0 or 4:2:2
    // YCbCr stream to its planes (kI420 or kI422, BT.601 full range), any other to kBgrx, top
    // row first, into buffers this codec keeps until the next decode. is_whole is false when the
    // stream was damaged and only part of the picture could be decoded.
    bool DecodeCameraFrame(const uint8_t* data, uint32_t length, int32_t width, int32_t height, CameraFrame* decoded,
                           bool* is_whole);

    const std::string& LastError() const { return last_error_; }

private:
    // Checks the size and makes the compressor; false with last_error_ set.
    bool PrepareEncode(int width, int height, bool has_pixels);
    // Runs compress (quality, target, size) at 75 and then the fallback qualities until the
    // stream fits fit_bytes; the target has room for the worst case.
    template <typename Compress>
    bool EncodeWithFallback(int width, int height, uint32_t fit_bytes, const char* step, Compress compress,
                            ArchiveJpeg* encoded);
    bool Fail(const std::string& step, tjhandle handle);
    bool FailDecode(const std::string& step);
    // ReadDecodableHeader that also gives the stream's subsampling and colour space (TurboJPEG's codes).
    bool ReadDecodableHeader(const uint8_t* data, uint32_t length, int& width, int& height, int* subsampling,
                             int* colour_space);
    // The same for a stream that must be exactly width x height.
    bool ReadHeaderOfSize(const uint8_t* data, uint32_t length, int width, int height, int* subsampling,
                          int* colour_space);
    // Decodes into image at width x height, a size the stream scales to.
    bool DecodeAtSize(const uint8_t* data, uint32_t length, int width, int height, BMP_File& image);

    TurboJpegHandle compressor_;
    TurboJpegHandle decompressor_;
    // Room for TurboJPEG's worst-case output when the caller's buffer is smaller than that bound.
    TurboJpegBuffer encode_scratch_;
    BMP_File decode_scratch_;
    std::vector<uint8_t> camera_pixels_;  // DecodeCameraFrame's planes or packed rows
    std::string last_error_;
};

// True when data starts with SOI and a JFIF APP0 segment ("JFIF\0" at offsets 6 to 10).
bool HasJfifHeader(const uint8_t* data, uint32_t length);

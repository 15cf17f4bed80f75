#include "jpeg/jpeg_codec.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace {

// With Huffman coding every 8x8 luminance block costs at least two bits (DC difference and
// end of block), so a stream of n bytes cannot describe more than 256 * n pixels. Larger
// claims come from damaged headers and are refused before anything is allocated.
constexpr uint64_t kMaxPixelsPerJpegByte = 256;
// Pictures larger than this are decoded without a spare copy.
constexpr uint64_t kMaxSpareBytes = 32 * 1024 * 1024;

std::string TurboJpegMessage(tjhandle handle) {
    const char* message = tjGetErrorStr2(handle);
    return message != nullptr ? message : "unknown error";
}

}  // namespace

TurboJpegHandle& TurboJpegHandle::operator=(TurboJpegHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

void TurboJpegHandle::Reset() {
    if (handle_ != nullptr) tjDestroy(handle_);
    handle_ = nullptr;
}

bool TurboJpegBuffer::Reserve(unsigned long size_bytes) {
    if (size_bytes <= capacity_ && data_ != nullptr) return true;
    Reset();
    if (size_bytes > static_cast<unsigned long>(INT_MAX)) return false;
    data_ = tjAlloc(static_cast<int>(size_bytes));
    if (data_ == nullptr) return false;
    capacity_ = size_bytes;
    return true;
}

void TurboJpegBuffer::Reset() {
    if (data_ != nullptr) tjFree(data_);
    data_ = nullptr;
    capacity_ = 0;
}

bool HasJfifHeader(const uint8_t* data, uint32_t length) {
    static constexpr uint8_t kStart[] = {0xFF, 0xD8, 0xFF, 0xE0};
    static constexpr uint8_t kTag[] = {'J', 'F', 'I', 'F', 0};
    return data != nullptr && length >= 11 && std::memcmp(data, kStart, sizeof kStart) == 0 &&
           std::memcmp(data + 6, kTag, sizeof kTag) == 0;
}

bool JpegCodec::Fail(const std::string& step, tjhandle handle) {
    last_error_ = step + ": " + TurboJpegMessage(handle);
    return false;
}

bool JpegCodec::FailDecode(const std::string& step) {
    Fail(step, decompressor_.Get());
    // After a failed read the library's handle keeps its broken state and refuses every later
    // stream, so one damaged frame would stop all the frames after it; start afresh instead.
    decompressor_.Reset();
    return false;
}

bool JpegCodec::PrepareEncode(int width, int height, bool has_pixels) {
    if (width < 1 || height < 1 || !has_pixels) {
        last_error_ = "cannot encode a picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels";
        return false;
    }
    if (!compressor_) {
        compressor_ = TurboJpegHandle(tjInitCompress());
        if (!compressor_) return Fail("tjInitCompress", nullptr);
    }
    return true;
}

namespace {

bool IsWholePicture(const BMP_File& image) {
    return image.GetPixelCount() ==
           static_cast<size_t>(std::max(image.GetWidth(), 0)) * static_cast<size_t>(std::max(image.GetHeight(), 0));
}

}  // namespace

uint32_t JpegCodec::EncodeJpeg(const BMP_File& image, uint8_t* buffer, uint32_t capacity) {
    if (!PrepareEncode(image.GetWidth(), image.GetHeight(), IsWholePicture(image))) return 0;
    if (buffer == nullptr || capacity == 0) {
        last_error_ = "no JPEG buffer";
        return 0;
    }
    const int width = image.GetWidth();
    const int height = image.GetHeight();
    // Told not to reallocate, TurboJPEG assumes its worst-case bound of room. Encode straight into
    // the caller's buffer when that bound fits, else into a scratch buffer of the bound, then copy.
    const unsigned long bound = tjBufSize(width, height, TJSAMP_420);
    if (bound == static_cast<unsigned long>(-1)) {
        Fail("tjBufSize", nullptr);
        return 0;
    }
    const bool is_direct = bound <= capacity;
    unsigned char* target = buffer;
    unsigned long size = capacity;
    if (!is_direct) {
        if (!encode_scratch_.Reserve(bound)) {
            last_error_ = "cannot allocate " + std::to_string(bound) + " bytes for the JPEG encoder";
            return 0;
        }
        target = encode_scratch_.Data();
        size = encode_scratch_.Capacity();
    }
    if (tjCompress2(compressor_.Get(), image.GetBits(), width, 0, height, TJPF_BGR, &target, &size, TJSAMP_420,
                    kQuality, TJFLAG_NOREALLOC) != 0) {
        Fail("tjCompress2", compressor_.Get());
        return 0;
    }
    if (size > capacity) {
        last_error_ = "JPEG stream of " + std::to_string(size) + " bytes does not fit the " + std::to_string(capacity) +
                      "-byte buffer";
        return 0;
    }
    if (!is_direct) std::memcpy(buffer, target, size);
    if (!HasJfifHeader(buffer, static_cast<uint32_t>(size))) {
        // The archive reader finds records by this segment; a stream without it must not be stored.
        last_error_ = "encoder did not write a JFIF segment right after the start of image";
        return 0;
    }
    last_error_.clear();
    return static_cast<uint32_t>(size);
}

template <typename Compress>
bool JpegCodec::EncodeWithFallback(int width, int height, uint32_t fit_bytes, const char* step, Compress compress,
                                   ArchiveJpeg* encoded) {
    // Room for the worst case, so the library never reallocates and no stream is cut.
    const unsigned long bound = tjBufSize(width, height, TJSAMP_420);
    if (bound == static_cast<unsigned long>(-1)) return Fail("tjBufSize", nullptr);
    if (!encode_scratch_.Reserve(bound)) {
        last_error_ = "cannot allocate " + std::to_string(bound) + " bytes for the JPEG encoder";
        return false;
    }
    for (const int quality : kFallbackQualities) {
        unsigned char* target = encode_scratch_.Data();
        unsigned long size = encode_scratch_.Capacity();
        if (compress(quality, &target, &size) != 0) return Fail(step, compressor_.Get());
        if (size > UINT32_MAX || !HasJfifHeader(target, static_cast<uint32_t>(size))) {
            last_error_ = "encoder did not write a JFIF segment right after the start of image";
            return false;
        }
        *encoded = ArchiveJpeg{target, static_cast<uint32_t>(size), quality};
        if (size <= fit_bytes) break;
    }
    last_error_.clear();
    return true;
}

bool JpegCodec::EncodeForArchive(const BMP_File& image, uint32_t fit_bytes, ArchiveJpeg* encoded) {
    const int width = image.GetWidth();
    const int height = image.GetHeight();
    if (!PrepareEncode(width, height, IsWholePicture(image))) return false;
    return EncodeWithFallback(
        width, height, fit_bytes, "tjCompress2",
        [&](int quality, unsigned char** target, unsigned long* size) {
            return tjCompress2(compressor_.Get(), image.GetBits(), width, 0, height, TJPF_BGR, target, size, TJSAMP_420,
                               quality, TJFLAG_NOREALLOC);
        },
        encoded);
}

bool JpegCodec::EncodeForArchive(const JpegYuvPlanes& planes, uint32_t fit_bytes, ArchiveJpeg* encoded) {
    const bool has_planes = planes.planes[0] != nullptr && planes.planes[1] != nullptr && planes.planes[2] != nullptr;
    if (!PrepareEncode(planes.width, planes.height, has_planes)) return false;
    const unsigned char* sources[3] = {planes.planes[0], planes.planes[1], planes.planes[2]};
    return EncodeWithFallback(
        planes.width, planes.height, fit_bytes, "tjCompressFromYUVPlanes",
        [&](int quality, unsigned char** target, unsigned long* size) {
            return tjCompressFromYUVPlanes(compressor_.Get(), sources, planes.width, planes.strides, planes.height,
                                           TJSAMP_420, target, size, quality, TJFLAG_NOREALLOC);
        },
        encoded);
}

bool JpegCodec::ReadDecodableHeader(const uint8_t* data, uint32_t length, int& width, int& height) {
    int subsampling = 0;
    int colour_space = 0;
    return ReadDecodableHeader(data, length, width, height, &subsampling, &colour_space);
}

bool JpegCodec::ReadHeaderOfSize(const uint8_t* data, uint32_t length, int width, int height, int* subsampling,
                                 int* colour_space) {
    int stream_width = 0;
    int stream_height = 0;
    if (!ReadDecodableHeader(data, length, stream_width, stream_height, subsampling, colour_space)) return false;
    if (stream_width != width || stream_height != height) {
        last_error_ = "JPEG of " + std::to_string(stream_width) + "x" + std::to_string(stream_height) +
                      " pixels where " + std::to_string(width) + "x" + std::to_string(height) + " were expected";
        return false;
    }
    return true;
}

bool JpegCodec::ReadDecodableHeader(const uint8_t* data, uint32_t length, int& width, int& height, int* subsampling,
                                    int* colour_space) {
    if (data == nullptr || length == 0) {
        last_error_ = "no JPEG data";
        return false;
    }
    if (!decompressor_) {
        decompressor_ = TurboJpegHandle(tjInitDecompress());
        if (!decompressor_) return Fail("tjInitDecompress", nullptr);
    }
    if (tjDecompressHeader3(decompressor_.Get(), data, length, &width, &height, subsampling, colour_space) != 0) {
        return FailDecode("tjDecompressHeader3");
    }
    if (*colour_space != TJCS_GRAY && *colour_space != TJCS_YCbCr && *colour_space != TJCS_RGB) {
        last_error_ = "JPEG with 4 colour components is not supported";
        return false;
    }
    const uint64_t pixel_count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (width > kMaxDecodeDimension || height > kMaxDecodeDimension) {
        last_error_ = "JPEG of " + std::to_string(width) + "x" + std::to_string(height) +
                      " pixels is damaged: no picture is wider or taller than " + std::to_string(kMaxDecodeDimension);
        return false;
    }
    if (width < 1 || height < 1 || pixel_count > kMaxPixelsPerJpegByte * length) {
        last_error_ = "JPEG of " + std::to_string(width) + "x" + std::to_string(height) + " pixels in " +
                      std::to_string(length) + " bytes is not plausible";
        return false;
    }
    return true;
}

bool JpegCodec::DecodeJpeg(const uint8_t* data, uint32_t length, BMP_File& image) {
    int width = 0;
    int height = 0;
    return ReadDecodableHeader(data, length, width, height) && DecodeAtSize(data, length, width, height, image);
}

bool JpegCodec::DecodeJpegWithin(const uint8_t* data, uint32_t length, uint64_t max_bytes, BMP_File& image) {
    int width = 0;
    int height = 0;
    if (!ReadDecodableHeader(data, length, width, height)) return false;
    int factor_count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&factor_count);
    // The factors come largest first; 1/8 at the end fits any picture the header check lets through.
    for (int i = 0; factors != nullptr && i < factor_count; ++i) {
        if (factors[i].num > factors[i].denom) continue;
        const int scaled_width = TJSCALED(width, factors[i]);
        const int scaled_height = TJSCALED(height, factors[i]);
        if (uint64_t{3} * static_cast<uint64_t>(scaled_width) * static_cast<uint64_t>(scaled_height) <= max_bytes) {
            return DecodeAtSize(data, length, scaled_width, scaled_height, image);
        }
    }
    last_error_ = "a picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels does not fit " +
                  std::to_string(max_bytes) + " bytes at any scale";
    return false;
}

bool JpegCodec::DecodeAtSize(const uint8_t* data, uint32_t length, int width, int height, BMP_File& image) {
    // A large picture is decoded in place, so that two copies of it are never held at once;
    // on a failure it is left empty.
    const bool is_in_place =
        uint64_t{3} * static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxSpareBytes;
    if (is_in_place) {
        image = BMP_File();
        decode_scratch_ = BMP_File();
    }
    BMP_File& target = is_in_place ? image : decode_scratch_;
    try {
        target.CreateForOverwrite(width, height);
    } catch (const std::exception&) {
        last_error_ =
            "cannot allocate a picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels";
        target = BMP_File();
        return false;
    }
    // Recorded frames are baseline; a progressive stream with hundreds of scans is only a way
    // to keep the decoder busy, so the scan count is limited.
    if (tjDecompress2(decompressor_.Get(), data, length, target.GetBits(), width, 0, height, TJPF_BGR,
                      TJFLAG_LIMITSCANS) != 0 &&
        tjGetErrorCode(decompressor_.Get()) != TJERR_WARNING) {
        // A warning (for example a stream cut short) still leaves a picture worth showing.
        if (is_in_place) image = BMP_File();
        return FailDecode("tjDecompress2");
    }
    if (!is_in_place) image.Swap(decode_scratch_);
    last_error_.clear();
    return true;
}

bool JpegCodec::DecodeJpegInto(const uint8_t* data, uint32_t length, uint8_t* out, int width, int height,
                               int pitch_bytes, bool bottom_up) {
    if (out == nullptr || width < 1 || height < 1 || static_cast<int64_t>(pitch_bytes) < int64_t{width} * 3) {
        last_error_ = "no room to decode into";
        return false;
    }
    int subsampling = 0;
    int colour_space = 0;
    if (!ReadHeaderOfSize(data, length, width, height, &subsampling, &colour_space)) return false;
    const int flags = TJFLAG_LIMITSCANS | (bottom_up ? TJFLAG_BOTTOMUP : 0);
    if (tjDecompress2(decompressor_.Get(), data, length, out, width, pitch_bytes, height, TJPF_BGR, flags) != 0 &&
        tjGetErrorCode(decompressor_.Get()) != TJERR_WARNING) {
        return FailDecode("tjDecompress2");
    }
    last_error_.clear();
    return true;
}

bool JpegCodec::DecodeCameraFrame(const uint8_t* data, uint32_t length, int32_t width, int32_t height,
                                  CameraFrame* decoded, bool* is_whole) {
    int subsampling = 0;
    int colour_space = 0;
    if (!ReadHeaderOfSize(data, length, width, height, &subsampling, &colour_space)) return false;
    *decoded = CameraFrame{};
    decoded->width = width;
    decoded->height = -height;
    int result = 0;
    const char* step = "tjDecompressToYUVPlanes";
    if (colour_space == TJCS_YCbCr && (subsampling == TJSAMP_420 || subsampling == TJSAMP_422)) {
        decoded->layout = subsampling == TJSAMP_420 ? PixelLayout::kI420 : PixelLayout::kI422;
        decoded->colour = kBt601Full;
        size_t offsets[3] = {};
        size_t total = 0;
        for (int plane = 0; plane < 3; ++plane) {
            offsets[plane] = total;
            decoded->strides[plane] = tjPlaneWidth(plane, width, subsampling);
            total += static_cast<size_t>(decoded->strides[plane]) *
                     static_cast<size_t>(tjPlaneHeight(plane, height, subsampling));
        }
        if (camera_pixels_.size() < total) camera_pixels_.resize(total);
        unsigned char* planes[3];
        for (int plane = 0; plane < 3; ++plane) {
            planes[plane] = camera_pixels_.data() + offsets[plane];
            decoded->planes[plane] = planes[plane];
        }
        result = tjDecompressToYUVPlanes(decompressor_.Get(), data, length, planes, width, decoded->strides, height,
                                         TJFLAG_LIMITSCANS);
    } else {
        decoded->layout = PixelLayout::kBgrx;
        step = "tjDecompress2";
        decoded->strides[0] = width * 4;
        const size_t total = static_cast<size_t>(decoded->strides[0]) * static_cast<size_t>(height);
        if (camera_pixels_.size() < total) camera_pixels_.resize(total);
        decoded->planes[0] = camera_pixels_.data();
        result = tjDecompress2(decompressor_.Get(), data, length, camera_pixels_.data(), width, decoded->strides[0],
                               height, TJPF_BGRX, TJFLAG_LIMITSCANS);
    }
    *is_whole = result == 0;
    // A warning (a stream cut short, say) still leaves a picture worth showing.
    if (result != 0 && tjGetErrorCode(decompressor_.Get()) != TJERR_WARNING) return FailDecode(step);
    last_error_.clear();
    return true;
}

#include "picture/frame_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define CINDRAL_X86 1
#include <immintrin.h>
#endif

namespace {

constexpr int kBlockSize = 4;

inline uint8_t Clamp255(int value) { return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value)); }

inline int16_t Fixed(double value, double one) { return static_cast<int16_t>(std::lround(value * one)); }

// ---------------------------------------------------------------- plain rows

// One pixel of the view's picture.
inline void StoreOpaque(uint8_t* view, uint8_t blue, uint8_t green, uint8_t red) {
    view[0] = blue;
    view[1] = green;
    view[2] = red;
    view[3] = 255;
}

// Converts one row of 32-bit pixels to 24-bit ones, adds the lightness of every pixel to the sum
// of its block and makes the view's opaque ones; any output may be null. Pixels from x_begin
// on; sums[i] belongs to columns 4i to 4i + 3.
void BgrxRowPlain(const uint8_t* in, uint8_t* out, uint32_t* sums, uint8_t* view, int32_t x_begin, int32_t width) {
    for (int32_t x = x_begin; x < width; ++x) {
        const uint8_t* pixel = in + static_cast<size_t>(x) * 4;
        if (out != nullptr) {
            uint8_t* at = out + static_cast<size_t>(x) * 3;
            at[0] = pixel[0];
            at[1] = pixel[1];
            at[2] = pixel[2];
        }
        if (sums != nullptr) sums[x / kBlockSize] += Lightness(pixel[0], pixel[1], pixel[2]);
        if (view != nullptr) StoreOpaque(view + static_cast<size_t>(x) * 4, pixel[0], pixel[1], pixel[2]);
    }
}

// The same from 24-bit pixels; x_begin applies to the view's pixels only.
void BgrRowPlain(const uint8_t* in, uint8_t* out, uint32_t* sums, uint8_t* view, int32_t x_begin, int32_t width) {
    if (out != nullptr) std::memcpy(out, in, static_cast<size_t>(width) * 3);
    if (sums != nullptr) {
        for (int32_t x = 0; x < width; ++x) sums[x / kBlockSize] += Lightness(in[3 * x], in[3 * x + 1], in[3 * x + 2]);
    }
    if (view != nullptr) {
        for (int32_t x = x_begin; x < width; ++x) {
            StoreOpaque(view + static_cast<size_t>(x) * 4, in[3 * x], in[3 * x + 1], in[3 * x + 2]);
        }
    }
}

// The source of one row of a YUV frame: planar luma, U and V rows (NV12: the UV row in u), or
// the packed row in y.
struct YuvRowSource {
    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
};

// The two rows of a 4:2:0 pair read the same chroma, so the second reuses the largest and
// smallest chroma term the first made for the lightness (16-bit, 32 for every 32 pixels).
struct LightnessTerms {
    int16_t* values = nullptr;  // null: made and used in place
    bool is_ready = false;      // the row before made them
};

// Y, U and V of pixel x.
inline void FetchYuv(PixelLayout layout, const YuvRowSource& row, int32_t x, int& y, int& u, int& v) {
    const int32_t pair = x / 2;
    switch (layout) {
        case PixelLayout::kYuy2:
            y = row.y[2 * x];
            u = row.y[4 * pair + 1];
            v = row.y[4 * pair + 3];
            break;
        case PixelLayout::kUyvy:
            y = row.y[2 * x + 1];
            u = row.y[4 * pair];
            v = row.y[4 * pair + 2];
            break;
        case PixelLayout::kNv12:
            y = row.y[x];
            u = row.u[2 * pair];
            v = row.u[2 * pair + 1];
            break;
        default:
            y = row.y[x];
            u = row.u[pair];
            v = row.v[pair];
            break;
    }
}

// U and V of chroma sample c (pixels 2c and 2c + 1).
inline void FetchChroma(PixelLayout layout, const YuvRowSource& row, int32_t c, int& u, int& v) {
    int y = 0;
    FetchYuv(layout, row, 2 * c, y, u, v);
}

void YuvRowPlain(PixelLayout layout, const YuvRowSource& row, int32_t x_begin, int32_t width, const YuvCoefficients& k,
                 uint8_t* bgr, uint32_t* sums, uint8_t* view, uint8_t* luma) {
    for (int32_t x = x_begin; x < width; ++x) {
        int y = 0, u = 0, v = 0;
        FetchYuv(layout, row, x, y, u, v);
        if (bgr != nullptr || sums != nullptr || view != nullptr) {
            uint8_t pixel[3];
            YuvToBgr(k, y, u, v, pixel);
            if (bgr != nullptr) std::memcpy(bgr + static_cast<size_t>(x) * 3, pixel, 3);
            if (sums != nullptr) sums[x / kBlockSize] += Lightness(pixel[0], pixel[1], pixel[2]);
            if (view != nullptr) StoreOpaque(view + static_cast<size_t>(x) * 4, pixel[0], pixel[1], pixel[2]);
        }
        if (luma != nullptr) luma[x] = JpegLuma(k, y, u, v);
    }
}

// One row of the JPEG chroma planes from the chroma of rows a and b (the same row for 4:2:0).
void ChromaRowPlain(PixelLayout layout, const YuvRowSource& a, const YuvRowSource& b, int32_t c_begin, int32_t count,
                    const YuvCoefficients& k, uint8_t* cb, uint8_t* cr) {
    for (int32_t c = c_begin; c < count; ++c) {
        int ua = 0, va = 0, ub = 0, vb = 0;
        FetchChroma(layout, a, c, ua, va);
        FetchChroma(layout, b, c, ub, vb);
        JpegChroma(k, (ua + ub + 1) >> 1, (va + vb + 1) >> 1, cb + c, cr + c);
    }
}

#ifdef CINDRAL_X86
// ---------------------------------------------------------------- SSSE3 / AVX2 rows

// Lightness of four pixels: byte 0 of each 32-bit lane holds (max + min) >> 1 of its blue, green
// and red, the other bytes are 0.
__attribute__((target("ssse3"))) inline __m128i LightnessOf4(__m128i pixels, __m128i low_byte, __m128i ones) {
    const __m128i green = _mm_srli_epi32(pixels, 8);
    const __m128i red = _mm_srli_epi32(pixels, 16);
    const __m128i largest = _mm_max_epu8(_mm_max_epu8(pixels, green), red);
    const __m128i smallest = _mm_min_epu8(_mm_min_epu8(pixels, green), red);
    // avg rounds up; taking off the carried-out low bit gives the floor of the mean.
    const __m128i mean =
        _mm_sub_epi8(_mm_avg_epu8(largest, smallest), _mm_and_si128(_mm_xor_si128(largest, smallest), ones));
    return _mm_and_si128(mean, low_byte);
}

// 16 pixels (four blocks) per step; returns how many pixels it did.
__attribute__((target("ssse3"))) int32_t BgrxRowSsse3(const uint8_t* in, uint8_t* out, uint32_t* sums, int32_t width) {
    const __m128i drop_fourth = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m128i low_byte = _mm_set1_epi32(0xFF);
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i ones16 = _mm_set1_epi16(1);
    int32_t x = 0;
    for (; x + 16 <= width; x += 16, in += 64, out += 48, sums += 4) {
        const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
        const __m128i p2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32));
        const __m128i p3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 48));

        // One lane per pixel, packed to one byte per pixel, then summed four by four.
        const __m128i l01 = _mm_packs_epi32(LightnessOf4(p0, low_byte, ones), LightnessOf4(p1, low_byte, ones));
        const __m128i l23 = _mm_packs_epi32(LightnessOf4(p2, low_byte, ones), LightnessOf4(p3, low_byte, ones));
        const __m128i lightness = _mm_packus_epi16(l01, l23);
        const __m128i block_sums = _mm_madd_epi16(_mm_maddubs_epi16(lightness, ones), ones16);
        __m128i* sums_at = reinterpret_cast<__m128i*>(sums);
        _mm_storeu_si128(sums_at, _mm_add_epi32(_mm_loadu_si128(sums_at), block_sums));

        const __m128i s0 = _mm_shuffle_epi8(p0, drop_fourth);
        const __m128i s1 = _mm_shuffle_epi8(p1, drop_fourth);
        const __m128i s2 = _mm_shuffle_epi8(p2, drop_fourth);
        const __m128i s3 = _mm_shuffle_epi8(p3, drop_fourth);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(s0, _mm_slli_si128(s1, 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                         _mm_or_si128(_mm_srli_si128(s1, 4), _mm_slli_si128(s2, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32),
                         _mm_or_si128(_mm_srli_si128(s2, 8), _mm_slli_si128(s3, 4)));
    }
    return x;
}

// The view's picture from 32-bit pixels: the fourth byte set to 255, 4 pixels per step.
__attribute__((target("sse2"))) int32_t OpaqueRowSse2(const uint8_t* in, uint8_t* view, int32_t width) {
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + static_cast<size_t>(x) * 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(view + static_cast<size_t>(x) * 4), _mm_or_si128(pixels, opaque));
    }
    return x;
}

// The same from 24-bit pixels, 4 per step; each 16-byte read takes 12 bytes, so it stops 2 pixels early.
__attribute__((target("ssse3"))) int32_t OpaqueRowFromBgrSsse3(const uint8_t* in, uint8_t* view, int32_t width) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    int32_t x = 0;
    for (; x + 6 <= width; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + static_cast<size_t>(x) * 3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(view + static_cast<size_t>(x) * 4),
                         _mm_or_si128(_mm_shuffle_epi8(pixels, spread), opaque));
    }
    return x;
}

#define CINDRAL_AVX2 __attribute__((target("avx2")))

CINDRAL_AVX2 inline __m256i Load256(const void* at) { return _mm256_loadu_si256(static_cast<const __m256i*>(at)); }
CINDRAL_AVX2 inline void Store256(void* at, __m256i value) { _mm256_storeu_si256(static_cast<__m256i*>(at), value); }

CINDRAL_AVX2 inline __m256i LightnessOf8(__m256i pixels, __m256i low_byte, __m256i ones) {
    const __m256i green = _mm256_srli_epi32(pixels, 8);
    const __m256i red = _mm256_srli_epi32(pixels, 16);
    const __m256i largest = _mm256_max_epu8(_mm256_max_epu8(pixels, green), red);
    const __m256i smallest = _mm256_min_epu8(_mm256_min_epu8(pixels, green), red);
    const __m256i mean = _mm256_sub_epi8(_mm256_avg_epu8(largest, smallest),
                                         _mm256_and_si256(_mm256_xor_si256(largest, smallest), ones));
    return _mm256_and_si256(mean, low_byte);
}

// 32 pixels (eight blocks) per step. Each step's last store runs 8 bytes past its 96, into
// pixels that the next step (or the caller's tail) writes afterwards; so it stops 3 pixels early.
CINDRAL_AVX2 int32_t BgrxRowAvx2(const uint8_t* in, uint8_t* out, uint32_t* sums, int32_t width) {
    const __m256i drop_fourth = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                                 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i close_gap = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    // Packing works within 128-bit halves and leaves the block sums as 0 2 4 6 | 1 3 5 7.
    const __m256i block_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i low_byte = _mm256_set1_epi32(0xFF);
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i ones16 = _mm256_set1_epi16(1);
    int32_t x = 0;
    for (; x + 32 + 3 <= width; x += 32, in += 128, out += 96, sums += 8) {
        const __m256i p0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        const __m256i p1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32));
        const __m256i p2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 64));
        const __m256i p3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 96));

        const __m256i l01 = _mm256_packs_epi32(LightnessOf8(p0, low_byte, ones), LightnessOf8(p1, low_byte, ones));
        const __m256i l23 = _mm256_packs_epi32(LightnessOf8(p2, low_byte, ones), LightnessOf8(p3, low_byte, ones));
        const __m256i lightness = _mm256_packus_epi16(l01, l23);
        const __m256i block_sums =
            _mm256_permutevar8x32_epi32(_mm256_madd_epi16(_mm256_maddubs_epi16(lightness, ones), ones16), block_order);
        Store256(sums, _mm256_add_epi32(Load256(sums), block_sums));

        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(p0, drop_fourth), close_gap));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 24),
                            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(p1, drop_fourth), close_gap));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 48),
                            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(p2, drop_fourth), close_gap));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 72),
                            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(p3, drop_fourth), close_gap));
    }
    return x;
}

// Byte shuffles that interleave 16 blue, 16 green and 16 red bytes into 48 bytes of pixels:
// [chunk of 16 output bytes][channel][byte], the same for both 128-bit halves.
struct BgrInterleave {
    int8_t masks[3][3][32];
};
constexpr BgrInterleave MakeBgrInterleave() {
    BgrInterleave table{};
    for (int chunk = 0; chunk < 3; ++chunk) {
        for (int channel = 0; channel < 3; ++channel) {
            for (int j = 0; j < 16; ++j) {
                const int byte = 16 * chunk + j;
                const int8_t pick = byte % 3 == channel ? static_cast<int8_t>(byte / 3) : static_cast<int8_t>(-128);
                table.masks[chunk][channel][j] = pick;
                table.masks[chunk][channel][j + 16] = pick;
            }
        }
    }
    return table;
}
constexpr BgrInterleave kBgrInterleave = MakeBgrInterleave();

// b, g, r: 32 pixels in order, 16 in each 128-bit half; written as 96 bytes of pixels.
CINDRAL_AVX2 inline void StoreBgr(__m256i b, __m256i g, __m256i r, uint8_t* out) {
    __m256i chunks[3];
    for (int c = 0; c < 3; ++c) {
        chunks[c] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, Load256(kBgrInterleave.masks[c][0])),
                                                    _mm256_shuffle_epi8(g, Load256(kBgrInterleave.masks[c][1]))),
                                    _mm256_shuffle_epi8(r, Load256(kBgrInterleave.masks[c][2])));
    }
    // Each chunk holds its 16 bytes of the first 16 pixels below those of the second 16.
    Store256(out, _mm256_permute2x128_si256(chunks[0], chunks[1], 0x20));
    Store256(out + 32, _mm256_permute2x128_si256(chunks[2], chunks[0], 0x30));
    Store256(out + 64, _mm256_permute2x128_si256(chunks[1], chunks[2], 0x31));
}

// The same 32 pixels as the view's: 128 bytes of blue, green, red and 255.
CINDRAL_AVX2 inline void StoreBgrx(__m256i b, __m256i g, __m256i r, uint8_t* view) {
    const __m256i opaque = _mm256_set1_epi8(-1);
    // Within each half: pixels 0-7 (of that half's 16) from the low unpacks, 8-15 from the high.
    const __m256i bg_low = _mm256_unpacklo_epi8(b, g);
    const __m256i bg_high = _mm256_unpackhi_epi8(b, g);
    const __m256i ra_low = _mm256_unpacklo_epi8(r, opaque);
    const __m256i ra_high = _mm256_unpackhi_epi8(r, opaque);
    const __m256i q0 = _mm256_unpacklo_epi16(bg_low, ra_low);    // pixels 0-3 | 16-19
    const __m256i q1 = _mm256_unpackhi_epi16(bg_low, ra_low);    // 4-7 | 20-23
    const __m256i q2 = _mm256_unpacklo_epi16(bg_high, ra_high);  // 8-11 | 24-27
    const __m256i q3 = _mm256_unpackhi_epi16(bg_high, ra_high);  // 12-15 | 28-31
    if (reinterpret_cast<uintptr_t>(view) % 32 == 0) {
        // Past the cache: the picture is read next on the user-interface thread's core.
        __m256i* at = reinterpret_cast<__m256i*>(view);
        _mm256_stream_si256(at, _mm256_permute2x128_si256(q0, q1, 0x20));
        _mm256_stream_si256(at + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
        _mm256_stream_si256(at + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
        _mm256_stream_si256(at + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
        return;
    }
    Store256(view, _mm256_permute2x128_si256(q0, q1, 0x20));
    Store256(view + 32, _mm256_permute2x128_si256(q2, q3, 0x20));
    Store256(view + 64, _mm256_permute2x128_si256(q0, q1, 0x31));
    Store256(view + 96, _mm256_permute2x128_si256(q2, q3, 0x31));
}

struct Avx2Coefficients {
    __m256i luma_multiplier, luma_offset, red_v, green_u, green_v, blue_u, luma_u, luma_v;
    __m256i cb_u, cb_v, cr_u, cr_v;
};

CINDRAL_AVX2 inline Avx2Coefficients Broadcast(const YuvCoefficients& k) {
    return {_mm256_set1_epi16(k.luma_multiplier), _mm256_set1_epi16(k.luma_offset), _mm256_set1_epi16(k.red_v),
            _mm256_set1_epi16(k.green_u),         _mm256_set1_epi16(k.green_v),     _mm256_set1_epi16(k.blue_u),
            _mm256_set1_epi16(k.jpeg_luma_u),     _mm256_set1_epi16(k.jpeg_luma_v), _mm256_set1_epi16(k.jpeg_cb_u),
            _mm256_set1_epi16(k.jpeg_cb_v),       _mm256_set1_epi16(k.jpeg_cr_u),   _mm256_set1_epi16(k.jpeg_cr_v)};
}

// Scaled luma plus a chroma term per chroma sample (each taken for two pixels), in 64ths,
// saturated to 8 bits. luma_low holds pixels 0-7 and 16-23, luma_high 8-15 and 24-31; the
// result is the 32 pixels in order.
CINDRAL_AVX2 inline __m256i AddChroma(__m256i luma_low, __m256i luma_high, __m256i chroma) {
    const __m256i low = _mm256_srai_epi16(_mm256_adds_epi16(luma_low, _mm256_unpacklo_epi16(chroma, chroma)), 6);
    const __m256i high = _mm256_srai_epi16(_mm256_adds_epi16(luma_high, _mm256_unpackhi_epi16(chroma, chroma)), 6);
    return _mm256_packus_epi16(low, high);
}

// Adds the lightness of 32 pixels to the sums of their 8 blocks: the floor of the mean of the
// largest and smallest channel; avg rounds up, so the carried-out low bit is taken off.
CINDRAL_AVX2 inline void AddLightness(__m256i largest, __m256i smallest, uint32_t* block_sums) {
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i lightness = _mm256_sub_epi8(_mm256_avg_epu8(largest, smallest),
                                              _mm256_and_si256(_mm256_xor_si256(largest, smallest), ones));
    // Sums of four, blocks 0-3 in the low half and 4-7 in the high half: in order.
    const __m256i quads = _mm256_madd_epi16(_mm256_maddubs_epi16(lightness, ones), _mm256_set1_epi16(1));
    Store256(block_sums, _mm256_add_epi32(Load256(block_sums), quads));
}

// 32 pixels: y_low and y_high as above (16-bit), u and v the 16 chroma samples less 128 (16-bit).
// Adds the lightness to the block sums of the row from pixel x on, writes the picture, the view's
// picture or the JPEG luma, as asked; the JPEG luma takes a share of the chroma only under other
// matrices than BT.601 (kLumaChroma).
enum class TermsUse : uint8_t { kInPlace, kKeep, kReuse };

template <bool kSums, bool kPicture, bool kView, bool kLuma, bool kLumaChroma, TermsUse kTerms = TermsUse::kInPlace>
CINDRAL_AVX2 inline void Convert32(__m256i y_low, __m256i y_high, __m256i u, __m256i v, const Avx2Coefficients& k,
                                   int32_t x, uint8_t* bgr, uint32_t* sums, uint8_t* view, uint8_t* luma,
                                   int16_t* terms = nullptr) {
    // The products reach 16 unsigned bits; the logical shift keeps them positive.
    const __m256i scaled_low =
        _mm256_sub_epi16(_mm256_srli_epi16(_mm256_mullo_epi16(y_low, k.luma_multiplier), 1), k.luma_offset);
    const __m256i scaled_high =
        _mm256_sub_epi16(_mm256_srli_epi16(_mm256_mullo_epi16(y_high, k.luma_multiplier), 1), k.luma_offset);
    if constexpr (kPicture || kView) {
        const __m256i red = AddChroma(scaled_low, scaled_high, _mm256_mullo_epi16(v, k.red_v));
        const __m256i green =
            AddChroma(scaled_low, scaled_high,
                      _mm256_add_epi16(_mm256_mullo_epi16(u, k.green_u), _mm256_mullo_epi16(v, k.green_v)));
        const __m256i blue = AddChroma(scaled_low, scaled_high, _mm256_mullo_epi16(u, k.blue_u));
        if constexpr (kSums) {
            AddLightness(_mm256_max_epu8(_mm256_max_epu8(blue, green), red),
                         _mm256_min_epu8(_mm256_min_epu8(blue, green), red), sums + x / kBlockSize);
        }
        if constexpr (kPicture) StoreBgr(blue, green, red, bgr + static_cast<size_t>(x) * 3);
        if constexpr (kView) StoreBgrx(blue, green, red, view + static_cast<size_t>(x) * 4);
    } else if constexpr (kSums) {
        // Only the lightness: the channel a pixel's luma plus a chroma term makes grows with the
        // term (the sum, shift and clamp all keep order), so the largest and smallest channels
        // come from the largest and smallest of the three terms of each chroma sample: two
        // channels made instead of three, none stored.
        __m256i largest_term, smallest_term;
        if constexpr (kTerms == TermsUse::kReuse) {
            largest_term = Load256(terms + x);
            smallest_term = Load256(terms + x + 16);
        } else {
            const __m256i to_red = _mm256_mullo_epi16(v, k.red_v);
            const __m256i to_green =
                _mm256_add_epi16(_mm256_mullo_epi16(u, k.green_u), _mm256_mullo_epi16(v, k.green_v));
            const __m256i to_blue = _mm256_mullo_epi16(u, k.blue_u);
            largest_term = _mm256_max_epi16(_mm256_max_epi16(to_red, to_green), to_blue);
            smallest_term = _mm256_min_epi16(_mm256_min_epi16(to_red, to_green), to_blue);
            if constexpr (kTerms == TermsUse::kKeep) {
                Store256(terms + x, largest_term);
                Store256(terms + x + 16, smallest_term);
            }
        }
        AddLightness(AddChroma(scaled_low, scaled_high, largest_term),
                     AddChroma(scaled_low, scaled_high, smallest_term), sums + x / kBlockSize);
    }
    if constexpr (kLuma && kLumaChroma) {
        Store256(luma + x,
                 AddChroma(scaled_low, scaled_high,
                           _mm256_add_epi16(_mm256_mullo_epi16(u, k.luma_u), _mm256_mullo_epi16(v, k.luma_v))));
    } else if constexpr (kLuma) {
        Store256(luma + x, _mm256_packus_epi16(_mm256_srai_epi16(scaled_low, 6), _mm256_srai_epi16(scaled_high, 6)));
    }
}

// 32 pixels of one row per step; returns how many pixels it did. The chroma is read only when
// something needs it.
template <PixelLayout kLayout, bool kSums, bool kPicture, bool kView, bool kLuma, bool kLumaChroma,
          TermsUse kTerms = TermsUse::kInPlace>
CINDRAL_AVX2 int32_t YuvRowAvx2(const YuvRowSource& row, int32_t width, const YuvCoefficients& coefficients,
                                uint8_t* bgr, uint32_t* sums, uint8_t* view, uint8_t* luma, int16_t* terms = nullptr) {
    const Avx2Coefficients k = Broadcast(coefficients);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i half = _mm256_set1_epi16(128);
    const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
    const __m256i low_words = _mm256_set1_epi32(0xFFFF);
    constexpr bool kChroma = (kSums && kTerms != TermsUse::kReuse) || kPicture || kView || kLumaChroma;
    int32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i y_low, y_high;
        __m256i u = half;
        __m256i v = half;
        if constexpr (kLayout == PixelLayout::kYuy2 || kLayout == PixelLayout::kUyvy) {
            const __m256i a = Load256(row.y + 2 * x);
            const __m256i b = Load256(row.y + 2 * x + 32);
            // 16-bit words of luma and of chroma (U0 V0 U1 V1 ...), pixels 0-7 | 8-15 in a.
            const bool luma_first = kLayout == PixelLayout::kYuy2;
            const __m256i luma_a = luma_first ? _mm256_and_si256(a, low_bytes) : _mm256_srli_epi16(a, 8);
            const __m256i luma_b = luma_first ? _mm256_and_si256(b, low_bytes) : _mm256_srli_epi16(b, 8);
            const __m256i chroma_a = luma_first ? _mm256_srli_epi16(a, 8) : _mm256_and_si256(a, low_bytes);
            const __m256i chroma_b = luma_first ? _mm256_srli_epi16(b, 8) : _mm256_and_si256(b, low_bytes);
            y_low = _mm256_permute2x128_si256(luma_a, luma_b, 0x20);
            y_high = _mm256_permute2x128_si256(luma_a, luma_b, 0x31);
            if constexpr (kChroma) {
                u = _mm256_permute4x64_epi64(
                    _mm256_packus_epi32(_mm256_and_si256(chroma_a, low_words), _mm256_and_si256(chroma_b, low_words)),
                    0xD8);
                v = _mm256_permute4x64_epi64(
                    _mm256_packus_epi32(_mm256_srli_epi32(chroma_a, 16), _mm256_srli_epi32(chroma_b, 16)), 0xD8);
            }
        } else {
            const __m256i luma_bytes = Load256(row.y + x);
            y_low = _mm256_unpacklo_epi8(luma_bytes, zero);
            y_high = _mm256_unpackhi_epi8(luma_bytes, zero);
            if constexpr (!kChroma) {
                // Not read.
            } else if constexpr (kLayout == PixelLayout::kNv12) {
                const __m256i uv = Load256(row.u + x);
                u = _mm256_and_si256(uv, low_bytes);
                v = _mm256_srli_epi16(uv, 8);
            } else {
                u = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row.u + x / 2)));
                v = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row.v + x / 2)));
            }
        }
        Convert32<kSums, kPicture, kView, kLuma, kLumaChroma, kTerms>(
            y_low, y_high, _mm256_sub_epi16(u, half), _mm256_sub_epi16(v, half), k, x, bgr, sums, view, luma, terms);
    }
    return x;
}

// 32 chroma samples (U and V bytes in order) of a row at c.
template <PixelLayout kLayout>
CINDRAL_AVX2 inline void LoadChroma32(const YuvRowSource& row, int32_t c, __m256i& u, __m256i& v) {
    if constexpr (kLayout == PixelLayout::kYuy2 || kLayout == PixelLayout::kUyvy) {
        // Per 128-bit half (four pixel pairs): U bytes to dword 0, V bytes to dword 1.
        const __m256i pick = kLayout == PixelLayout::kYuy2
                                 ? _mm256_setr_epi8(1, 5, 9, 13, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                                    1, 5, 9, 13, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1)
                                 : _mm256_setr_epi8(0, 4, 8, 12, 2, 6, 10, 14, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                                    0, 4, 8, 12, 2, 6, 10, 14, -1, -1, -1, -1, -1, -1, -1, -1);
        const uint8_t* at = row.y + static_cast<size_t>(c) * 4;
        const __m256i x0 = _mm256_shuffle_epi8(Load256(at), pick);
        const __m256i x1 = _mm256_shuffle_epi8(Load256(at + 32), pick);
        const __m256i x2 = _mm256_shuffle_epi8(Load256(at + 64), pick);
        const __m256i x3 = _mm256_shuffle_epi8(Load256(at + 96), pick);
        const __m256i first = _mm256_unpacklo_epi32(x0, x1);
        const __m256i second = _mm256_unpacklo_epi32(x2, x3);
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        u = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(first, second), order);
        v = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi64(first, second), order);
    } else if constexpr (kLayout == PixelLayout::kNv12) {
        const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
        const __m256i a = Load256(row.u + static_cast<size_t>(c) * 2);
        const __m256i b = Load256(row.u + static_cast<size_t>(c) * 2 + 32);
        u = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(_mm256_and_si256(a, low_bytes), _mm256_and_si256(b, low_bytes)), 0xD8);
        v = _mm256_permute4x64_epi64(_mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8)), 0xD8);
    } else {
        u = Load256(row.u + c);
        v = Load256(row.v + c);
    }
}

// JPEG chroma of 16 samples (16-bit, less 128) in 128ths, back to 16-bit with the offset.
CINDRAL_AVX2 inline __m256i JpegChroma16(__m256i u, __m256i v, __m256i from_u, __m256i from_v) {
    const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, from_u), _mm256_mullo_epi16(v, from_v)),
                                         _mm256_set1_epi16(64));
    return _mm256_add_epi16(_mm256_srai_epi16(sum, 7), _mm256_set1_epi16(128));
}

template <PixelLayout kLayout>
CINDRAL_AVX2 int32_t ChromaRowAvx2(const YuvRowSource& a, const YuvRowSource& b, int32_t count,
                                   const YuvCoefficients& coefficients, uint8_t* cb, uint8_t* cr) {
    const Avx2Coefficients k = Broadcast(coefficients);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i half = _mm256_set1_epi16(128);
    int32_t c = 0;
    for (; c + 32 <= count; c += 32) {
        __m256i ua, va, ub, vb;
        LoadChroma32<kLayout>(a, c, ua, va);
        LoadChroma32<kLayout>(b, c, ub, vb);
        const __m256i u = _mm256_avg_epu8(ua, ub);
        const __m256i v = _mm256_avg_epu8(va, vb);
        const __m256i u_low = _mm256_sub_epi16(_mm256_unpacklo_epi8(u, zero), half);
        const __m256i u_high = _mm256_sub_epi16(_mm256_unpackhi_epi8(u, zero), half);
        const __m256i v_low = _mm256_sub_epi16(_mm256_unpacklo_epi8(v, zero), half);
        const __m256i v_high = _mm256_sub_epi16(_mm256_unpackhi_epi8(v, zero), half);
        Store256(cb + c, _mm256_packus_epi16(JpegChroma16(u_low, v_low, k.cb_u, k.cb_v),
                                             JpegChroma16(u_high, v_high, k.cb_u, k.cb_v)));
        Store256(cr + c, _mm256_packus_epi16(JpegChroma16(u_low, v_low, k.cr_u, k.cr_v),
                                             JpegChroma16(u_high, v_high, k.cr_u, k.cr_v)));
    }
    return c;
}

enum class VectorLevel { kNone, kSsse3, kAvx2 };

VectorLevel DetectVectorLevel() {
    if (__builtin_cpu_supports("avx2")) return VectorLevel::kAvx2;
    if (__builtin_cpu_supports("ssse3")) return VectorLevel::kSsse3;
    return VectorLevel::kNone;
}

VectorLevel Level() {
    static const VectorLevel detected = DetectVectorLevel();
    return detected;
}

template <PixelLayout kLayout, bool kSums, bool kPicture, bool kView, TermsUse kTerms = TermsUse::kInPlace>
int32_t YuvRowWithLuma(const YuvRowSource& row, int32_t width, const YuvCoefficients& k, uint8_t* bgr, uint32_t* sums,
                       uint8_t* view, uint8_t* luma, int16_t* terms = nullptr) {
    if (luma == nullptr)
        return YuvRowAvx2<kLayout, kSums, kPicture, kView, false, false, kTerms>(row, width, k, bgr, sums, view, luma,
                                                                                 terms);
    const bool is_luma_chroma = k.jpeg_luma_u != 0 || k.jpeg_luma_v != 0;
    return is_luma_chroma ? YuvRowAvx2<kLayout, kSums, kPicture, kView, true, true, kTerms>(row, width, k, bgr, sums,
                                                                                            view, luma, terms)
                          : YuvRowAvx2<kLayout, kSums, kPicture, kView, true, false, kTerms>(row, width, k, bgr, sums,
                                                                                             view, luma, terms);
}

// The picture always comes with its sums here; a picture without them is left to the plain rows.
template <PixelLayout kLayout>
int32_t YuvRowFast(const YuvRowSource& row, int32_t width, const YuvCoefficients& k, uint8_t* bgr, uint32_t* sums,
                   uint8_t* view, uint8_t* luma, LightnessTerms* terms) {
    if (bgr != nullptr && sums == nullptr) return 0;
    if (bgr != nullptr && view != nullptr)
        return YuvRowWithLuma<kLayout, true, true, true>(row, width, k, bgr, sums, view, luma);
    if (bgr != nullptr) return YuvRowWithLuma<kLayout, true, true, false>(row, width, k, bgr, sums, view, luma);
    if (sums != nullptr && view != nullptr)
        return YuvRowWithLuma<kLayout, true, false, true>(row, width, k, bgr, sums, view, luma);
    if (sums != nullptr && terms != nullptr && terms->is_ready) {
        return YuvRowWithLuma<kLayout, true, false, false, TermsUse::kReuse>(row, width, k, bgr, sums, view, luma,
                                                                             terms->values);
    }
    if (sums != nullptr && terms != nullptr) {
        return YuvRowWithLuma<kLayout, true, false, false, TermsUse::kKeep>(row, width, k, bgr, sums, view, luma,
                                                                            terms->values);
    }
    if (sums != nullptr) return YuvRowWithLuma<kLayout, true, false, false>(row, width, k, bgr, sums, view, luma);
    if (view != nullptr) return YuvRowWithLuma<kLayout, false, false, true>(row, width, k, bgr, sums, view, luma);
    if (luma != nullptr) return YuvRowWithLuma<kLayout, false, false, false>(row, width, k, bgr, sums, view, luma);
    return width;
}
#endif

void BgrxRow(const uint8_t* in, uint8_t* out, uint32_t* sums, uint8_t* view, int32_t width) {
    int32_t picture_done = 0;
    int32_t view_done = 0;
#ifdef CINDRAL_X86
    const VectorLevel level = Level();
    const bool is_both = out != nullptr && sums != nullptr;
    if (is_both && level == VectorLevel::kAvx2) picture_done = BgrxRowAvx2(in, out, sums, width);
    if (is_both && level != VectorLevel::kNone) {
        // Blocks are 4 pixels wide and every step covers whole blocks, so the sums stay aligned.
        picture_done +=
            BgrxRowSsse3(in + static_cast<size_t>(picture_done) * 4, out + static_cast<size_t>(picture_done) * 3,
                         sums + picture_done / kBlockSize, width - picture_done);
    }
    if (view != nullptr && level != VectorLevel::kNone) view_done = OpaqueRowSse2(in, view, width);
#endif
    if (out != nullptr || sums != nullptr) BgrxRowPlain(in, out, sums, nullptr, picture_done, width);
    if (view != nullptr) BgrxRowPlain(in, nullptr, nullptr, view, view_done, width);
}

void BgrRow(const uint8_t* in, uint8_t* out, uint32_t* sums, uint8_t* view, int32_t width) {
    int32_t view_done = 0;
#ifdef CINDRAL_X86
    if (view != nullptr && Level() != VectorLevel::kNone) view_done = OpaqueRowFromBgrSsse3(in, view, width);
#endif
    BgrRowPlain(in, out, sums, view, view_done, width);
}

// terms: the lightness's chroma terms kept from the row before or for the row after (4:2:0 only).
void YuvRow(PixelLayout layout, const YuvRowSource& row, int32_t width, const YuvCoefficients& k, uint8_t* bgr,
            uint32_t* sums, uint8_t* view, uint8_t* luma, LightnessTerms* terms) {
    int32_t done = 0;
#ifdef CINDRAL_X86
    if (Level() == VectorLevel::kAvx2) {
        switch (layout) {
            case PixelLayout::kYuy2:
                done = YuvRowFast<PixelLayout::kYuy2>(row, width, k, bgr, sums, view, luma, nullptr);
                break;
            case PixelLayout::kUyvy:
                done = YuvRowFast<PixelLayout::kUyvy>(row, width, k, bgr, sums, view, luma, nullptr);
                break;
            case PixelLayout::kNv12:
                done = YuvRowFast<PixelLayout::kNv12>(row, width, k, bgr, sums, view, luma, terms);
                break;
            default: done = YuvRowFast<PixelLayout::kI420>(row, width, k, bgr, sums, view, luma, terms); break;
        }
    }
#else
    (void)terms;
#endif
    YuvRowPlain(layout, row, done, width, k, bgr, sums, view, luma);
}

void ChromaRow(PixelLayout layout, const YuvRowSource& a, const YuvRowSource& b, int32_t count,
               const YuvCoefficients& k, uint8_t* cb, uint8_t* cr) {
    int32_t done = 0;
#ifdef CINDRAL_X86
    if (Level() == VectorLevel::kAvx2) {
        switch (layout) {
            case PixelLayout::kYuy2: done = ChromaRowAvx2<PixelLayout::kYuy2>(a, b, count, k, cb, cr); break;
            case PixelLayout::kUyvy: done = ChromaRowAvx2<PixelLayout::kUyvy>(a, b, count, k, cb, cr); break;
            case PixelLayout::kNv12: done = ChromaRowAvx2<PixelLayout::kNv12>(a, b, count, k, cb, cr); break;
            default: done = ChromaRowAvx2<PixelLayout::kI420>(a, b, count, k, cb, cr); break;
        }
    }
#endif
    ChromaRowPlain(layout, a, b, done, count, k, cb, cr);
}

// The mean of each block from the sum of its 16 pixels' lightness, truncated.
void MeansOfBlocks(const uint32_t* sums, uint8_t* means, int32_t count) {
    int32_t block = 0;
#ifdef CINDRAL_X86
    // A sum is at most 16 * 255, so its mean fits every narrowing on the way to a byte.
    for (; block + 16 <= count; block += 16) {
        const auto quarter = [&](int offset) {
            return _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + block + offset)), 4);
        };
        const __m128i low = _mm_packs_epi32(quarter(0), quarter(4));
        const __m128i high = _mm_packs_epi32(quarter(8), quarter(12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(means + block), _mm_packus_epi16(low, high));
    }
#endif
    for (; block < count; ++block) means[block] = static_cast<uint8_t>(sums[block] / 16);
}

bool IsHalfHeightChroma(PixelLayout layout) { return layout == PixelLayout::kI420 || layout == PixelLayout::kNv12; }

// The rows a YUV frame's row y reads: luma and the chroma that goes with it.
YuvRowSource RowOf(const CameraFrame& frame, int32_t y) {
    const int32_t chroma_y = IsHalfHeightChroma(frame.layout) ? y / 2 : y;
    YuvRowSource row{frame.planes[0] + static_cast<ptrdiff_t>(y) * frame.strides[0], nullptr, nullptr};
    if (frame.layout == PixelLayout::kI420 || frame.layout == PixelLayout::kI422) {
        row.u = frame.planes[1] + static_cast<ptrdiff_t>(chroma_y) * frame.strides[1];
        row.v = frame.planes[2] + static_cast<ptrdiff_t>(chroma_y) * frame.strides[2];
    } else if (frame.layout == PixelLayout::kNv12) {
        row.u = frame.planes[1] + static_cast<ptrdiff_t>(chroma_y) * frame.strides[1];
    }
    return row;
}

}  // namespace

YuvCoefficients YuvCoefficients::For(const YuvColour& colour) {
    double kr = colour.kr;
    double kb = colour.kb;
    if (!(kr > 0 && kb > 0 && kr + kb < 1)) {
        kr = kBt601Limited.kr;
        kb = kBt601Limited.kb;
    }
    const double kg = 1 - kr - kb;
    const double luma_scale = colour.is_full_range ? 1.0 : 255.0 / 219.0;
    const double chroma_scale = colour.is_full_range ? 1.0 : 255.0 / 224.0;
    const int black = colour.is_full_range ? 0 : 16;

    // Channels per unit of U - 128 and of V - 128.
    const double red_v = chroma_scale * 2 * (1 - kr);
    const double blue_u = chroma_scale * 2 * (1 - kb);
    const double green_u = -chroma_scale * 2 * (1 - kb) * kb / kg;
    const double green_v = -chroma_scale * 2 * (1 - kr) * kr / kg;
    // JPEG's own YCbCr (BT.601, full range) of those channels.
    const double luma_u = 0.587 * green_u + 0.114 * blue_u;
    const double luma_v = 0.299 * red_v + 0.587 * green_v;

    YuvCoefficients k;
    k.luma_multiplier = Fixed(luma_scale, 128);
    k.luma_offset = static_cast<int16_t>(((black * k.luma_multiplier) >> 1) - 32);
    k.red_v = Fixed(red_v, 64);
    k.green_u = Fixed(green_u, 64);
    k.green_v = Fixed(green_v, 64);
    k.blue_u = Fixed(blue_u, 64);
    k.jpeg_luma_u = Fixed(luma_u, 64);
    k.jpeg_luma_v = Fixed(luma_v, 64);
    k.jpeg_cb_u = Fixed((blue_u - luma_u) / 1.772, 128);
    k.jpeg_cb_v = Fixed(-luma_v / 1.772, 128);
    k.jpeg_cr_u = Fixed(-luma_u / 1.402, 128);
    k.jpeg_cr_v = Fixed((red_v - luma_v) / 1.402, 128);
    return k;
}

bool YuvCoefficients::IsJpegYuv() const {
    return luma_multiplier == 128 && luma_offset == -32 && jpeg_luma_u == 0 && jpeg_luma_v == 0 && jpeg_cb_u == 128 &&
           jpeg_cb_v == 0 && jpeg_cr_u == 0 && jpeg_cr_v == 128;
}

void YuvToBgr(const YuvCoefficients& k, int y, int u, int v, uint8_t bgr[3]) {
    // The same sums as the vector code: its saturation at 16 bits only ever hits values that
    // clamp to 255 anyway.
    const int luma = ((y * k.luma_multiplier) >> 1) - k.luma_offset;
    const int du = u - 128;
    const int dv = v - 128;
    bgr[0] = Clamp255((luma + du * k.blue_u) >> 6);
    bgr[1] = Clamp255((luma + du * k.green_u + dv * k.green_v) >> 6);
    bgr[2] = Clamp255((luma + dv * k.red_v) >> 6);
}

uint8_t JpegLuma(const YuvCoefficients& k, int y, int u, int v) {
    const int luma = ((y * k.luma_multiplier) >> 1) - k.luma_offset;
    return Clamp255((luma + (u - 128) * k.jpeg_luma_u + (v - 128) * k.jpeg_luma_v) >> 6);
}

void JpegChroma(const YuvCoefficients& k, int u, int v, uint8_t* cb, uint8_t* cr) {
    const int du = u - 128;
    const int dv = v - 128;
    *cb = Clamp255(128 + ((du * k.jpeg_cb_u + dv * k.jpeg_cb_v + 64) >> 7));
    *cr = Clamp255(128 + ((du * k.jpeg_cr_u + dv * k.jpeg_cr_v + 64) >> 7));
}

void RunFramePass(const CameraFrame& frame, const YuvCoefficients& k, const PassTarget& target) {
    const int32_t width = frame.width;
    const int32_t height = std::abs(frame.height);
    const int32_t blocks_across = (width + kBlockSize - 1) / kBlockSize;
    const size_t bgr_row_bytes = static_cast<size_t>(width) * 3;
    const size_t view_row_bytes = static_cast<size_t>(width) * 4;
    auto picture_row = [&](int32_t y) {
        return target.bgr != nullptr ? target.bgr + static_cast<size_t>(y) * bgr_row_bytes : nullptr;
    };
    // The lightness sums of one row of blocks, added up over its rows of pixels and then turned
    // into the blocks' means; the rows always make them with the picture.
    thread_local std::vector<uint32_t> row_sums;
    const bool has_sums = target.block_means != nullptr || target.bgr != nullptr;
    if (has_sums) row_sums.assign(static_cast<size_t>(blocks_across), 0);
    auto sums_row = [&](int32_t) { return has_sums ? row_sums.data() : nullptr; };
    auto end_row = [&](int32_t y) {
        if (!has_sums || (y % kBlockSize != kBlockSize - 1 && y != height - 1)) return;
        uint32_t* const block_sums = row_sums.data();
        if (target.block_means != nullptr) {
            MeansOfBlocks(block_sums, target.block_means + static_cast<size_t>(y / kBlockSize) * blocks_across,
                          blocks_across);
        }
        std::fill_n(block_sums, blocks_across, 0u);
    };
    auto view_row = [&](int32_t y) {
        return target.bgrx != nullptr ? target.bgrx + static_cast<size_t>(y) * view_row_bytes : nullptr;
    };
    if (frame.layout == PixelLayout::kBgrx || frame.layout == PixelLayout::kBgr) {
        if (target.bgr == nullptr && target.block_means == nullptr && target.bgrx == nullptr) return;
        const int32_t pixel_bytes = frame.layout == PixelLayout::kBgrx ? 4 : 3;
        const int32_t stride = frame.strides[0] != 0 ? frame.strides[0] : width * pixel_bytes;
        for (int32_t y = 0; y < height; ++y) {
            // Rows come bottom row first unless the height says otherwise; row 0 of the picture is the top.
            const int32_t source_y = frame.height < 0 ? y : height - 1 - y;
            const uint8_t* in = frame.planes[0] + static_cast<ptrdiff_t>(source_y) * stride;
            if (frame.layout == PixelLayout::kBgrx) {
                BgrxRow(in, picture_row(y), sums_row(y), view_row(y), width);
            } else {
                BgrRow(in, picture_row(y), sums_row(y), view_row(y), width);
            }
            end_row(y);
        }
        return;
    }

    const bool is_four_two_two = !IsHalfHeightChroma(frame.layout);
    const int32_t chroma_width = (width + 1) / 2;
    // Lightness alone (no picture): the second row of each 4:2:0 pair reuses the first's chroma terms.
    thread_local std::vector<int16_t> term_values;
    LightnessTerms terms;
    const bool is_sharing_terms =
        !is_four_two_two && target.block_means != nullptr && target.bgr == nullptr && target.bgrx == nullptr;
    if (is_sharing_terms) {
        if (term_values.size() < static_cast<size_t>(width) + 32) term_values.resize(static_cast<size_t>(width) + 32);
        terms.values = term_values.data();
    }
    const int32_t first_row = target.first_row;
    const int32_t past_row = target.end_row > 0 ? std::min(target.end_row, height) : height;
    for (int32_t y = first_row; y < past_row; ++y) {
        const YuvRowSource row = RowOf(frame, y);
        uint8_t* bgr = picture_row(y);
        uint8_t* view = view_row(y);
        uint8_t* luma = target.planes[0] != nullptr
                            ? target.planes[0] + static_cast<ptrdiff_t>(y - first_row) * target.strides[0]
                            : nullptr;
        uint32_t* sums = sums_row(y);
        if (bgr != nullptr || sums != nullptr || view != nullptr || luma != nullptr)
            YuvRow(frame.layout, row, width, k, bgr, sums, view, luma, is_sharing_terms ? &terms : nullptr);
        terms.is_ready = y % 2 == 0;
        end_row(y);
        // A row of chroma planes after its second row of pixels (or the last row), while both are
        // still in the cache: 4:2:2 chroma is the mean of the two rows'.
        if (target.planes[1] != nullptr && (y % 2 == 1 || y == height - 1)) {
            const int32_t c = y / 2;
            const YuvRowSource first = is_four_two_two ? RowOf(frame, 2 * c) : row;
            const ptrdiff_t plane_row = c - first_row / 2;
            ChromaRow(frame.layout, first, row, chroma_width, k, target.planes[1] + plane_row * target.strides[1],
                      target.planes[2] + plane_row * target.strides[2]);
        }
    }
#ifdef CINDRAL_X86
    if (target.bgrx != nullptr) _mm_sfence();  // streamed pixels are in memory before the picture is handed over
#endif
}

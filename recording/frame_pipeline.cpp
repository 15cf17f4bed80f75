#include "recording/frame_pipeline.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr int kBlockSize = 4;

inline uint32_t Lightness(uint32_t blue, uint32_t green, uint32_t red) {
    const uint32_t largest = std::max(blue, std::max(green, red));
    const uint32_t smallest = std::min(blue, std::min(green, red));
    return (largest + smallest) >> 1;
}

// Converts one row of 32-bit pixels to 24-bit ones and adds the lightness of every pixel to the
// sum of its block. Pixels from x_begin on; sums[i] belongs to columns 4i to 4i + 3.
void ConvertRowPlain(const uint8_t* in, uint8_t* out, uint16_t* sums, int32_t x_begin, int32_t width) {
    in += static_cast<size_t>(x_begin) * 4;
    out += static_cast<size_t>(x_begin) * 3;
    for (int32_t x = x_begin; x < width; ++x, in += 4, out += 3) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        sums[x / kBlockSize] = static_cast<uint16_t>(sums[x / kBlockSize] + Lightness(in[0], in[1], in[2]));
    }
}

#if defined(__x86_64__) || defined(__i386__)
// Lightness of four pixels: byte 0 of each 32-bit lane holds (max + min) >> 1 of its blue, green
// and red, the other bytes are 0.
__attribute__((target("ssse3"))) inline __m128i LightnessOf4(__m128i pixels, __m128i low_byte, __m128i ones) {
    const __m128i green = _mm_srli_epi32(pixels, 8);
    const __m128i red = _mm_srli_epi32(pixels, 16);
    const __m128i largest = _mm_max_epu8(_mm_max_epu8(pixels, green), red);
    const __m128i smallest = _mm_min_epu8(_mm_min_epu8(pixels, green), red);
    // avg rounds up; taking off the carried-out low bit gives the floor of the mean.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(largest, smallest), _mm_and_si128(_mm_xor_si128(largest, smallest), ones));
    return _mm_and_si128(mean, low_byte);
}

// 16 pixels (four blocks) per step; returns how many pixels it did.
__attribute__((target("ssse3"))) int32_t ConvertRowSsse3(const uint8_t* in, uint8_t* out, uint16_t* sums, int32_t width) {
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
        const __m128i old_sums = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(sums));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(sums), _mm_add_epi16(old_sums, _mm_packs_epi32(block_sums, block_sums)));

        const __m128i s0 = _mm_shuffle_epi8(p0, drop_fourth);
        const __m128i s1 = _mm_shuffle_epi8(p1, drop_fourth);
        const __m128i s2 = _mm_shuffle_epi8(p2, drop_fourth);
        const __m128i s3 = _mm_shuffle_epi8(p3, drop_fourth);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(s0, _mm_slli_si128(s1, 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_or_si128(_mm_srli_si128(s1, 4), _mm_slli_si128(s2, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_or_si128(_mm_srli_si128(s2, 8), _mm_slli_si128(s3, 4)));
    }
    return x;
}

__attribute__((target("avx2"))) inline __m256i LightnessOf8(__m256i pixels, __m256i low_byte, __m256i ones) {
    const __m256i green = _mm256_srli_epi32(pixels, 8);
    const __m256i red = _mm256_srli_epi32(pixels, 16);
    const __m256i largest = _mm256_max_epu8(_mm256_max_epu8(pixels, green), red);
    const __m256i smallest = _mm256_min_epu8(_mm256_min_epu8(pixels, green), red);
    const __m256i mean =
        _mm256_sub_epi8(_mm256_avg_epu8(largest, smallest), _mm256_and_si256(_mm256_xor_si256(largest, smallest), ones));
    return _mm256_and_si256(mean, low_byte);
}

// 32 pixels (eight blocks) per step. Each step's last store runs 8 bytes past its 96, into
// pixels that the next step (or the caller's tail) writes afterwards; so it stops 3 pixels early.
__attribute__((target("avx2"))) int32_t ConvertRowAvx2(const uint8_t* in, uint8_t* out, uint16_t* sums, int32_t width) {
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
        const __m256i block_sums = _mm256_permutevar8x32_epi32(
            _mm256_madd_epi16(_mm256_maddubs_epi16(lightness, ones), ones16), block_order);
        const __m128i sums16 =
            _mm_packs_epi32(_mm256_castsi256_si128(block_sums), _mm256_extracti128_si256(block_sums, 1));
        const __m128i old_sums = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums), _mm_add_epi16(old_sums, sums16));

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

enum class VectorLevel { kNone, kSsse3, kAvx2 };

VectorLevel DetectVectorLevel() {
    if (__builtin_cpu_supports("avx2")) return VectorLevel::kAvx2;
    if (__builtin_cpu_supports("ssse3")) return VectorLevel::kSsse3;
    return VectorLevel::kNone;
}
#endif

void ConvertRow(const uint8_t* in, uint8_t* out, uint16_t* sums, int32_t width) {
    int32_t done = 0;
#if defined(__x86_64__) || defined(__i386__)
    static const VectorLevel level = DetectVectorLevel();
    if (level == VectorLevel::kAvx2) done = ConvertRowAvx2(in, out, sums, width);
    if (level != VectorLevel::kNone) {
        // Blocks are 4 pixels wide and every step covers whole blocks, so the sums stay aligned.
        done += ConvertRowSsse3(in + static_cast<size_t>(done) * 4, out + static_cast<size_t>(done) * 3,
                                sums + done / kBlockSize, width - done);
    }
#endif
    ConvertRowPlain(in, out, sums, done, width);
}

}  // namespace

CFramePipeline::CFramePipeline(const CindralSettings& settings, IFrameRecorder& recorder, IFramePresenter* presenter)
    : settings_(settings), recorder_(recorder), presenter_(presenter) {}

void CFramePipeline::ProcessFrame(const uint8_t* pixels, size_t size_bytes) {
    if (!is_capture_attached_ || pixels == nullptr) return;

    const int32_t width = settings_.frame_width.load(std::memory_order_relaxed);
    const int32_t height_setting = settings_.frame_height.load(std::memory_order_relaxed);
    // A negative height announces top-down rows; such frames are taken as they are.
    const bool is_top_down = height_setting < 0;
    const int64_t height = std::llabs(static_cast<int64_t>(height_setting));
    const int64_t pixel_count = static_cast<int64_t>(width) * height;
    // Frames that disagree with the negotiated size (or have none) are dropped, not guessed at.
    if (width <= 0 || height <= 0 || pixel_count > INT32_MAX / 4) return;
    if (size_bytes != static_cast<size_t>(pixel_count) * 4) return;

    live_index_ = 1 - previous_index_;
    ConvertFrame(pixels, width, static_cast<int32_t>(height), is_top_down);

    bool is_motion = false;
    bool is_detector_run = false;
    if (is_settings_attached_) {
        const bool is_shown = settings_.show_detector.load(std::memory_order_relaxed) != 0;
        const bool is_saving_on_motion =
            settings_.saving_mode.load(std::memory_order_relaxed) == kSavingMotionDetector;
        is_detector_run = is_shown || is_saving_on_motion;
    }
    const BMP_File& previous = frames_[previous_index_];
    BMP_File& live = frames_[live_index_];
    if (is_detector_run && previous.GetWidth() == live.GetWidth() && previous.GetHeight() == live.GetHeight()) {
        is_motion = FindMovingBlocks();
    } else {
        moving_blocks_.clear();
    }

    // The recorder gets the frame before any mark is drawn: that is the clean picture, so no
    // separate copy of it is needed. A recorder failure still lets the detector finish its frame,
    // as if the marks had been drawn first, and then ends the frame.
    std::exception_ptr recorder_failure;
    if (is_settings_attached_) {
        try {
            const int32_t saving_mode = settings_.saving_mode.load(std::memory_order_relaxed);
            if ((saving_mode == kSavingMotionDetector && is_motion) || saving_mode == kSavingAlways) {
                recorder_.WriteFrame(live);
            } else {
                recorder_.CloseFile();
            }
        } catch (...) {
            recorder_failure = std::current_exception();
        }
    }

    if (is_detector_run) {
        MarkMovingBlocks();
        // The marked live frame is the next comparison's previous frame, sums included.
        previous_index_ = live_index_;
        previous_block_sums_.swap(live_block_sums_);
    }
    if (recorder_failure) std::rethrow_exception(recorder_failure);

    if (presenter_ != nullptr && !presenter_->IsPlaybackActive()) presenter_->PresentLiveFrame(live);
}

void CFramePipeline::ConvertFrame(const uint8_t* pixels, int32_t width, int32_t height, bool is_top_down) {
    BMP_File& live = frames_[live_index_];
    live.CreateForOverwrite(width, height);

    const int32_t blocks_across = (width + kBlockSize - 1) / kBlockSize;
    const int32_t blocks_down = (height + kBlockSize - 1) / kBlockSize;
    live_block_sums_.assign(static_cast<size_t>(blocks_across) * static_cast<size_t>(blocks_down), 0);

    const size_t source_row_bytes = static_cast<size_t>(width) * 4;
    const size_t target_row_bytes = static_cast<size_t>(width) * 3;
    uint8_t* target = live.GetBits();
    for (int32_t y = 0; y < height; ++y) {
        // Camera rows come bottom row first; row 0 of the live frame is the top.
        const int32_t source_y = is_top_down ? y : height - 1 - y;
        const uint8_t* in = pixels + static_cast<size_t>(source_y) * source_row_bytes;
        uint8_t* out = target + static_cast<size_t>(y) * target_row_bytes;
        uint16_t* sums = live_block_sums_.data() + static_cast<size_t>(y / kBlockSize) * blocks_across;
        ConvertRow(in, out, sums, width);
    }
}

bool CFramePipeline::FindMovingBlocks() {
    moving_blocks_.clear();
    const size_t block_count = live_block_sums_.size();
    const uint16_t* live_sums = live_block_sums_.data();
    const uint16_t* previous_sums = previous_block_sums_.data();
    for (size_t block = 0; block < block_count; ++block) {
        // Means are truncated before they are compared.
        const int32_t difference = std::abs(static_cast<int32_t>(live_sums[block] / 16) -
                                            static_cast<int32_t>(previous_sums[block] / 16));
        if (difference > settings_.threshold.load(std::memory_order_relaxed)) {
            moving_blocks_.push_back(static_cast<uint32_t>(block));
        }
    }
    return !moving_blocks_.empty();
}

void CFramePipeline::MarkMovingBlocks() {
    BMP_File& live = frames_[live_index_];
    const int32_t blocks_across = (live.GetWidth() + kBlockSize - 1) / kBlockSize;
    for (const uint32_t block : moving_blocks_) {
        if (settings_.show_detector.load(std::memory_order_relaxed) == 0) continue;
        const DetectorColour colour = ExpandDetectorColour(settings_.detector_colour.load(std::memory_order_relaxed));
        const int32_t x = static_cast<int32_t>(block % static_cast<uint32_t>(blocks_across)) * kBlockSize;
        const int32_t y = static_cast<int32_t>(block / static_cast<uint32_t>(blocks_across)) * kBlockSize;
        mColor_24& pixel = live.GetPixel(x, y);
        const uint32_t old_lightness = Lightness(pixel.blue, pixel.green, pixel.red);
        pixel = mColor_24{colour.blue, colour.green, colour.red};
        const uint32_t new_lightness = Lightness(colour.blue, colour.green, colour.red);
        live_block_sums_[block] = static_cast<uint16_t>(live_block_sums_[block] - old_lightness + new_lightness);
    }
}

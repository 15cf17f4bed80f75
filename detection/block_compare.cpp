#include "detection/block_compare.h"

#if defined(__x86_64__) || defined(__i386__)
#define CINDRAL_X86 1
#include <immintrin.h>
#endif

namespace {

int64_t CompareBlocksPlain(const uint8_t* live_means, const uint8_t* previous_means, size_t begin, size_t count,
                           int32_t threshold, const uint8_t* ignored, std::vector<uint32_t>* moving) {
    int64_t moved = 0;
    for (size_t block = begin; block < count; ++block) {
        if (ignored != nullptr && ignored[block] != 0) continue;
        const int32_t difference = int32_t{live_means[block]} - int32_t{previous_means[block]};
        if ((difference < 0 ? -difference : difference) > threshold) {
            ++moved;
            if (moving != nullptr) moving->push_back(static_cast<uint32_t>(block));
        }
    }
    return moved;
}

// Means differ by 0 to 255: a negative threshold moves every block, one of 255 or more none; in
// between a block moves when its distance less the threshold does not saturate to 0.
uint8_t SaturatingLimit(int32_t threshold) {
    return static_cast<uint8_t>(threshold < 0 ? 0 : threshold > 255 ? 255 : threshold);
}

#ifdef CINDRAL_X86
// Blocks from begin to the returned one, sixteen a step; *moved counts those that moved.
__attribute__((target("sse2"))) size_t CompareSse2(const uint8_t* live_means, const uint8_t* previous_means,
                                                   size_t begin, size_t count, int32_t threshold,
                                                   const uint8_t* ignored, std::vector<uint32_t>* moving,
                                                   int64_t* moved) {
    const bool is_every_block = threshold < 0;
    const __m128i limit = _mm_set1_epi8(static_cast<char>(SaturatingLimit(threshold)));
    const __m128i zero = _mm_setzero_si128();
    size_t block = begin;
    for (; block + 16 <= count; block += 16) {
        int bits = 0xFFFF;
        if (ignored != nullptr) {
            const __m128i flags = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ignored + block));
            bits = _mm_movemask_epi8(_mm_cmpeq_epi8(flags, zero));
            if (bits == 0) continue;  // every block ignored: its means are not read
        }
        if (!is_every_block) {
            const __m128i live = _mm_loadu_si128(reinterpret_cast<const __m128i*>(live_means + block));
            const __m128i previous = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous_means + block));
            const __m128i distance = _mm_or_si128(_mm_subs_epu8(live, previous), _mm_subs_epu8(previous, live));
            bits &= ~_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(distance, limit), zero)) & 0xFFFF;
        }
        if (bits == 0) continue;
        *moved += __builtin_popcount(static_cast<unsigned>(bits));
        if (moving != nullptr) {
            for (; bits != 0; bits &= bits - 1) moving->push_back(static_cast<uint32_t>(block + __builtin_ctz(bits)));
        }
    }
    return block;
}

// The same, 32 blocks a step.
__attribute__((target("avx2,popcnt"))) size_t CompareAvx2(const uint8_t* live_means, const uint8_t* previous_means,
                                                          size_t begin, size_t count, int32_t threshold,
                                                          const uint8_t* ignored, std::vector<uint32_t>* moving,
                                                          int64_t* moved) {
    const bool is_every_block = threshold < 0;
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(SaturatingLimit(threshold)));
    const __m256i zero = _mm256_setzero_si256();
    size_t block = begin;
    for (; block + 32 <= count; block += 32) {
        uint32_t bits = 0xFFFFFFFFu;
        if (ignored != nullptr) {
            const __m256i flags = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ignored + block));
            bits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(flags, zero)));
            if (bits == 0) continue;  // every block ignored: its means are not read
        }
        if (!is_every_block) {
            const __m256i live = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(live_means + block));
            const __m256i previous = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(previous_means + block));
            const __m256i distance =
                _mm256_or_si256(_mm256_subs_epu8(live, previous), _mm256_subs_epu8(previous, live));
            bits &= ~static_cast<uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_subs_epu8(distance, limit), zero)));
        }
        if (bits == 0) continue;
        *moved += _mm_popcnt_u32(bits);
        if (moving != nullptr) {
            for (; bits != 0; bits &= bits - 1) moving->push_back(static_cast<uint32_t>(block + __builtin_ctz(bits)));
        }
    }
    return block;
}
#endif

CompareVectors WidestCompareVectors() {
#ifdef CINDRAL_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return CompareVectors::kAvx2;
    if (__builtin_cpu_supports("sse2")) return CompareVectors::kSse2;
#endif
    return CompareVectors::kPlain;
}

}  // namespace

bool CanCompareWith(CompareVectors vectors) { return vectors <= WidestCompareVectors(); }

int64_t CompareBlocksWith(CompareVectors vectors, const uint8_t* live_means, const uint8_t* previous_means,
                          size_t count, int32_t threshold, const uint8_t* ignored, std::vector<uint32_t>* moving) {
    if (moving != nullptr) moving->clear();
    int64_t moved = 0;
    size_t block = 0;
#ifdef CINDRAL_X86
    if (vectors == CompareVectors::kAvx2) {
        block = CompareAvx2(live_means, previous_means, block, count, threshold, ignored, moving, &moved);
    }
    // What the wide steps leave (fewer than 32 blocks) goes sixteen at a time, the rest one by one.
    if (vectors != CompareVectors::kPlain) {
        block = CompareSse2(live_means, previous_means, block, count, threshold, ignored, moving, &moved);
    }
#else
    (void)vectors;
#endif
    return moved + CompareBlocksPlain(live_means, previous_means, block, count, threshold, ignored, moving);
}

int64_t CompareBlocks(const uint8_t* live_means, const uint8_t* previous_means, size_t count, int32_t threshold,
                      const uint8_t* ignored, std::vector<uint32_t>* moving) {
    static const CompareVectors widest = WidestCompareVectors();
    return CompareBlocksWith(widest, live_means, previous_means, count, threshold, ignored, moving);
}

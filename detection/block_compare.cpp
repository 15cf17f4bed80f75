#include "detection/block_compare.h"

#if defined(__SSE2__)
#include <emmintrin.h>
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

}  // namespace

int64_t CompareBlocks(const uint8_t* live_means, const uint8_t* previous_means, size_t count, int32_t threshold,
                      const uint8_t* ignored, std::vector<uint32_t>* moving) {
    if (moving != nullptr) moving->clear();
    int64_t moved = 0;
    size_t block = 0;
#if defined(__SSE2__)
    // Means differ by 0 to 255: a negative threshold moves every block, one of 255 or more none.
    const bool is_every_block = threshold < 0;
    const __m128i limit = _mm_set1_epi8(static_cast<char>(static_cast<uint8_t>(threshold < 0     ? 0
                                                                               : threshold > 255 ? 255
                                                                                                 : threshold)));
    const __m128i zero = _mm_setzero_si128();
    for (; block + 16 <= count; block += 16) {
        int bits = 0xFFFF;
        if (!is_every_block) {
            const __m128i live = _mm_loadu_si128(reinterpret_cast<const __m128i*>(live_means + block));
            const __m128i previous = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous_means + block));
            const __m128i distance = _mm_or_si128(_mm_subs_epu8(live, previous), _mm_subs_epu8(previous, live));
            // distance > limit exactly when distance - limit does not saturate to 0.
            bits = ~_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(distance, limit), zero)) & 0xFFFF;
        }
        if (ignored != nullptr) {
            const __m128i flags = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ignored + block));
            bits &= _mm_movemask_epi8(_mm_cmpeq_epi8(flags, zero));
        }
        if (bits == 0) continue;
        moved += __builtin_popcount(static_cast<unsigned>(bits));
        if (moving != nullptr) {
            for (; bits != 0; bits &= bits - 1) moving->push_back(static_cast<uint32_t>(block + __builtin_ctz(bits)));
        }
    }
#endif
    return moved + CompareBlocksPlain(live_means, previous_means, block, count, threshold, ignored, moving);
}

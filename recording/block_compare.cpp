#include "recording/block_compare.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

int64_t CompareBlocksPlain(const uint32_t* live_sums, const uint32_t* previous_sums, size_t begin, size_t count,
                           int32_t threshold, const uint8_t* ignored, std::vector<uint32_t>* moving) {
    int64_t moved = 0;
    for (size_t block = begin; block < count; ++block) {
        if (ignored != nullptr && ignored[block] != 0) continue;
        const int32_t difference =
            static_cast<int32_t>(live_sums[block] / 16) - static_cast<int32_t>(previous_sums[block] / 16);
        if ((difference < 0 ? -difference : difference) > threshold) {
            ++moved;
            if (moving != nullptr) moving->push_back(static_cast<uint32_t>(block));
        }
    }
    return moved;
}

#if defined(__SSE2__)
// One bit per moving block of the four at block, lowest bit first.
inline int MovingOf4(const uint32_t* live_sums, const uint32_t* previous_sums, size_t block, __m128i threshold) {
    const __m128i live = _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(live_sums + block)), 4);
    const __m128i previous =
        _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(previous_sums + block)), 4);
    const __m128i difference = _mm_sub_epi32(live, previous);
    const __m128i sign = _mm_srai_epi32(difference, 31);
    const __m128i distance = _mm_sub_epi32(_mm_xor_si128(difference, sign), sign);
    return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(distance, threshold)));
}
#endif

}  // namespace

int64_t CompareBlocks(const uint32_t* live_sums, const uint32_t* previous_sums, size_t count, int32_t threshold,
                      const uint8_t* ignored, std::vector<uint32_t>* moving) {
    if (moving != nullptr) moving->clear();
    int64_t moved = 0;
    size_t block = 0;
#if defined(__SSE2__)
    const __m128i limit = _mm_set1_epi32(threshold);
    for (; block + 8 <= count; block += 8) {
        int bits = MovingOf4(live_sums, previous_sums, block, limit) |
                   (MovingOf4(live_sums, previous_sums, block + 4, limit) << 4);
        if (ignored != nullptr) {
            uint64_t eight = 0;
            std::memcpy(&eight, ignored + block, 8);
            // One bit per block that counts: its byte is zero.
            const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(eight));
            bits &= _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())) & 0xFF;
        }
        if (bits == 0) continue;
        moved += __builtin_popcount(static_cast<unsigned>(bits));
        if (moving != nullptr) {
            for (; bits != 0; bits &= bits - 1) moving->push_back(static_cast<uint32_t>(block + __builtin_ctz(bits)));
        }
    }
#endif
    return moved + CompareBlocksPlain(live_sums, previous_sums, block, count, threshold, ignored, moving);
}

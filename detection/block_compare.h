#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The detector's verdict on the blocks of one frame, from the mean lightness of its 4x4 blocks
// and those of the frame before: a block moves when the two differ by more than threshold.
// ignored: one byte per block, nonzero to leave the block out; null: none. moving: when not null,
// cleared and given the indices of the moving blocks in order (only the marks need them).
// Returns how many blocks moved. Runs on the widest vectors the processor has: 32 blocks a step
// with AVX2, 16 with SSE2; the plain loop gives the same verdicts and serves the rest.
int64_t CompareBlocks(const uint8_t* live_means, const uint8_t* previous_means, size_t count, int32_t threshold,
                      const uint8_t* ignored, std::vector<uint32_t>* moving);

// The ways the comparison can run, narrowest first.
enum class CompareVectors : uint8_t { kPlain, kSse2, kAvx2 };
// Whether this processor (and this build) can run the comparison that way.
bool CanCompareWith(CompareVectors vectors);
// CompareBlocks run one way, which must be one the processor can run; CompareBlocks takes the
// widest. For the checks that every way gives the plain loop's verdicts.
int64_t CompareBlocksWith(CompareVectors vectors, const uint8_t* live_means, const uint8_t* previous_means,
                          size_t count, int32_t threshold, const uint8_t* ignored, std::vector<uint32_t>* moving);

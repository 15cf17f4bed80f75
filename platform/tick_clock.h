#pragma once

#include <cstdint>

// Milliseconds of a monotonic clock as unsigned 32 bits; wraps after about 49.7 days.
uint32_t TickCountMs();

// Milliseconds of the monotonic clock, as a signed 64-bit count that never wraps.
int64_t MonotonicMs();

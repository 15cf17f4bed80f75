#pragma once

#include <cstdint>

// Milliseconds of a monotonic clock as unsigned 32 bits; wraps after about 49.7 days.
uint32_t TickCountMs();

// The system's millisecond tick count and sleeping, as the window's routines use them.
#pragma once

#include <cstdint>

namespace shardex::platform {

// Milliseconds of a steady clock, truncated to 32 bits (wraps after about 49.7 days).
std::uint32_t tick_count();

// Milliseconds from `start` to `now`, taken as an unsigned 32-bit difference so that a
// wrap of the counter between the two readings does no harm.
inline std::uint32_t ticks_between(std::uint32_t start, std::uint32_t now) { return now - start; }

void sleep_ms(std::uint32_t ms);

}  // namespace shardex::platform

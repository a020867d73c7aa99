// The load check and the split of the trimmed stretch into the three slots' segments, on
// plain values: the run control reads the load boxes and the session, calls these, and
// writes the results back.
#pragma once

#include <cstdint>
#include <string_view>

namespace shardex {

// Whether the three load texts make a run: each reads as a 16-bit whole number
// (text_to_int16), and their 16-bit sums, taken in the order remote + local + remote2, come
// to exactly 100. A sum that leaves the 16-bit range on the way fails.
bool loads_add_up(std::string_view local, std::string_view remote, std::string_view remote2);

// The stretch's end: an unset mark-out (0) stands for the end of the source.
std::int32_t stretch_end(std::int32_t markOut, std::int32_t movieLength);

// Segment bounds in milliseconds, each on a whole second.
struct SegmentBounds {
    std::int32_t localStart = 0, localEnd = 0;
    std::int32_t remoteStart = 0, remoteEnd = 0;
    std::int32_t remote2Start = 0, remote2End = 0;
    bool operator==(const SegmentBounds&) const = default;
};

// Splits markIn..markEnd by the Server's and Client 1's loads (percent of the stretch);
// Client 2 takes the rest. Every cut is rounded to the nearest whole second, halves to the
// even one, and Client 1's share is measured from the Server's rounded cut. A load text
// that is not a 16-bit number counts as 0 (a Server-only run leaves the client boxes as
// the user left them). Fails with Error "Overflow" when a bound leaves the 32-bit range.
SegmentBounds split_segments(std::int32_t markIn, std::int32_t markEnd, std::string_view localLoad,
                             std::string_view remoteLoad);

}  // namespace shardex

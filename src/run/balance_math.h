// The loads that make the three segments end together, from each computer's measured speed.
#pragma once

#include <array>
#include <string>

namespace shardex {

// Whole loads adding up to 100, each in proportion to its computer's speed (media seconds
// encoded per second), so that segments of those shares take the same time. A speed of 0 or
// less (a computer not assigned, or not answering) gets 0. The shares are rounded down and
// the points left go to the largest remainders, the earlier slot first on a tie. All
// speeds 0: all loads 0, which the caller must not write.
std::array<int, 3> loads_from_speeds(const std::array<double, 3>& speeds);

// A measured speed as the window shows it: "2.4x" (times real time), "-" for none.
std::string speed_text(double speed);

}  // namespace shardex

// Time of day text for a number of seconds, used by every time display of the window.
#pragma once

#include <string>

namespace shardex {

// "H:mm:ss" of the given number of seconds after midnight. The seconds are first rounded
// to a whole number, halves to the even second (2.5 -> 2, 3.5 -> 4), like every other
// conversion to a whole number in the window. Hours wrap at 24 and a negative number
// counts back into the previous day (-1 -> "23:59:59").
std::string Clock_Text(double seconds);

}  // namespace shardex

#include "app/clock_text.h"

#include <cmath>
#include <cstdio>

#include "app/formats.h"

namespace shardex {

std::string Clock_Text(double seconds) {
    double whole = round_half_even(seconds);
    if (!std::isfinite(whole)) whole = 0;
    double day = std::fmod(whole, 86400.0);
    if (day < 0) day += 86400.0;
    long s = static_cast<long>(day);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    return buf;
}

}  // namespace shardex

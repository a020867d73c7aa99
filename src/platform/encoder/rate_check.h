// Whether a finished file kept to its profile's rate. Rate control keeps the mean within a
// percent or two; a file well over it comes from a source the profile cannot squeeze (much
// detail or motion at a low rate), and the user is told so with the figure, as a larger file
// than asked for may not fit where it is meant to go.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace shardex::encoder {

// How far over its profile's rate a file may end before the user is told.
inline constexpr double kRateWarningPercent = 5.0;

// A file's mean rate (its whole size over its media's length) beyond the profile's total
// rate, in percent of the latter; 0 when within it or when a figure is not known.
inline double percent_over_rate(std::int64_t bytes, std::int64_t mediaMs, std::int64_t profileBitsPerSecond) {
    if (bytes <= 0 || mediaMs <= 0 || profileBitsPerSecond <= 0) return 0;
    const double rate = static_cast<double>(bytes) * 8000.0 / static_cast<double>(mediaMs);
    const double over = (rate / static_cast<double>(profileBitsPerSecond) - 1.0) * 100.0;
    return over > 0 ? over : 0;
}

// The warning for `file` ending `percentOver` beyond the rate of `profile`; "" when within
// kRateWarningPercent.
inline std::string rate_warning(const std::string& file, double percentOver, const std::string& profile) {
    if (percentOver <= kRateWarningPercent) return "";
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.1f%%", percentOver);
    return file + " is " + figure + " over the rate of its profile '" + profile + "'";
}

}  // namespace shardex::encoder

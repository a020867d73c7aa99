#include "run/segments.h"

#include "app/formats.h"
#include "platform/error.h"

namespace shardex {
namespace {

double split_load(std::string_view text) {
    try {
        return text_to_int16(text);
    } catch (const Error&) {
        return 0;
    }
}

// round(ms / 1000) * 1000 as a 32-bit number of milliseconds.
std::int32_t whole_second(double ms) { return to_int32(round_half_even(ms / 1000.0) * 1000.0); }

}  // namespace

bool loads_add_up(std::string_view local, std::string_view remote, std::string_view remote2) {
    try {
        std::int16_t sum = text_to_int16(remote);
        sum = to_int16(static_cast<double>(sum) + text_to_int16(local));
        sum = to_int16(static_cast<double>(sum) + text_to_int16(remote2));
        return sum == 100;
    } catch (const Error&) {
        return false;
    }
}

std::int32_t stretch_end(std::int32_t markOut, std::int32_t movieLength) {
    return markOut == 0 ? movieLength : markOut;
}

SegmentBounds split_segments(std::int32_t markIn, std::int32_t markEnd, std::string_view localLoad,
                             std::string_view remoteLoad) {
    const double start = markIn;
    const double end = markEnd;
    const double length = end - start;
    const std::int32_t localStart = whole_second(start);
    const std::int32_t firstCut = whole_second(round_half_even(length * (split_load(localLoad) / 100.0) + start));
    const std::int32_t secondCut =
        whole_second(round_half_even(length * (split_load(remoteLoad) / 100.0) + firstCut));
    return {localStart, firstCut, firstCut, secondCut, secondCut, whole_second(end)};
}

}  // namespace shardex

// Number conversions, display patterns and clock texts every routine of the window uses.
#include <gtest/gtest.h>

#include <cmath>

#include "app/clock_text.h"
#include "app/formats.h"
#include "platform/error.h"

using namespace shardex;

// Conversions to whole numbers round halves to even and fail out of range.
TEST(Rounding, HalvesGoToEvenAndOverflowFails) {
    const std::pair<double, double> rounded[] = {{12.5, 12}, {13.5, 14}, {-2.5, -2}, {-3.5, -4}, {2.4999, 2}};
    for (auto [x, want] : rounded) EXPECT_EQ(round_half_even(x), want) << x;
    EXPECT_EQ(to_int16(41.5), 42);
    EXPECT_EQ(to_int16(-32768.5), -32768);
    EXPECT_EQ(to_int32(1171.875), 1172);
    for (double bad : {32767.5, -32769.0, std::nan("")}) EXPECT_THROW(to_int16(bad), Error) << bad;
    EXPECT_THROW(to_int32(3e9), Error);
}

TEST(Rounding, TextsConvertWithBlanksIgnoredAndRejectOthers) {
    const std::pair<const char*, int> good[] = {{" 40 ", 40}, {"41.5", 42}, {"-20", -20}, {"00", 0}};
    for (auto [text, want] : good) EXPECT_EQ(text_to_int16(text), want) << text;
    for (const char* bad : {"", "   ", "abc", "4 0", "40%", "0x10", "1,5", "40000"})
        EXPECT_THROW(text_to_int16(bad), Error) << bad;
}

// Patterns round halves away from zero; '#' digits vanish when not significant.
TEST(Formats, PatternsAsTheWindowWritesThem) {
    struct Case {
        double value;
        const char *pattern, *want;
    } cases[] = {
        {7168, "###,###", "7,168"}, {1536.4, "###,###", "1,536"}, {2.5, "###,###", "3"}, {0.4, "###,###", ""},
        {1234567, "###,###", "1,234,567"}, {1500, "###", "1500"}, {126.5, "###", "127"}, {0, "00,000", "00,000"},
        {1500, "00,000", "01,500"}, {123456, "00,000", "123,456"}, {14.56, "#0", "15"}, {0.2, "#0", "0"},
        {1.6666, "0.0", "1.7"}, {2, "0.0", "2.0"}, {0.25, "0.0", "0.3"}, {-1.25, "0.0", "-1.3"}, {2, "0.#", "2."},
        {1.666, "0.#", "1.7"}, {0, "0.#", "0."}, {12.34, "##.0", "12.3"}, {0.5, "##.0", ".5"},
        {1234.56, "##.0", "1234.6"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_number(c.value, c.pattern), c.want) << c.value << " " << c.pattern;
    EXPECT_EQ(with_sign_position(25), " 25");
    EXPECT_EQ(with_sign_position(-3), "-3");

    set_number_separators({",", "."});
    EXPECT_EQ(format_number(7168, "###,###"), "7.168");
    EXPECT_EQ(format_number(1.666, "0.0"), "1,7");
    EXPECT_EQ(text_to_int16("41,5"), 42);
    set_number_separators({".", ","});
}

// The time of day of a number of seconds: halves to the even second, wrapping at 24 hours,
// negatives counting back into the previous day.
TEST(ClockText, ShowsTheTimeOfDay) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00:00"},      {59, "0:00:59"},       {3600, "1:00:00"},      {86399, "23:59:59"}, {3723.4, "1:02:03"},
        {86400, "0:00:00"},  {90061, "1:01:01"},    {-1, "23:59:59"},       {-86401, "23:59:59"}, {2.5, "0:00:02"},
        {3.5, "0:00:04"},    {-0.5, "0:00:00"},     {-1.5, "23:59:58"},     {std::nan(""), "0:00:00"},
    };
    for (auto [seconds, want] : cases) EXPECT_EQ(Clock_Text(seconds), want) << seconds;
    EXPECT_EQ(Clock_Text(1e12), Clock_Text(std::fmod(1e12, 86400.0)));
}

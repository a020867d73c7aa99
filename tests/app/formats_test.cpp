#include <gtest/gtest.h>

#include <cmath>

#include "app/clock_text.h"
#include "app/formats.h"
#include "platform/error.h"

using namespace shardex;

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(round_half_even(12.5), 12);
    EXPECT_EQ(round_half_even(13.5), 14);
    EXPECT_EQ(round_half_even(-2.5), -2);
    EXPECT_EQ(round_half_even(-3.5), -4);
    EXPECT_EQ(round_half_even(2.4999), 2);
    EXPECT_EQ(round_half_even(49382.4), 49382);
    EXPECT_EQ(to_int16(40.5), 40);
    EXPECT_EQ(to_int16(41.5), 42);
    EXPECT_EQ(to_int32(1171.875), 1172);
}

TEST(Rounding, ConversionsFailOnOverflowWithADescription) {
    EXPECT_EQ(to_int16(32767.4), 32767);
    EXPECT_EQ(to_int16(-32768.5), -32768);  // -32768.5 rounds to the even -32768
    EXPECT_THROW(to_int16(32767.5), Error);
    EXPECT_THROW(to_int16(-32769), Error);
    EXPECT_THROW(to_int32(3e9), Error);
    EXPECT_THROW(to_int16(std::nan("")), Error);
    try {
        to_int16(40000);
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Overflow");
    }
}

TEST(Rounding, TextsConvertWithBlanksIgnoredAndRejectOthers) {
    EXPECT_EQ(text_to_int16(" 40 "), 40);
    EXPECT_EQ(text_to_int16("41.5"), 42);
    EXPECT_EQ(text_to_int16("-20"), -20);
    EXPECT_EQ(text_to_int16("00"), 0);
    for (const char* bad : {"", "   ", "abc", "4 0", "40%", "0x10", "1,5"}) EXPECT_THROW(text_to_int16(bad), Error) << bad;
    EXPECT_THROW(text_to_int16("40000"), Error);
}

TEST(Formats, PatternsRoundHalvesAwayFromZero) {
    EXPECT_EQ(format_number(7168, "###,###"), "7,168");
    EXPECT_EQ(format_number(1536.4, "###,###"), "1,536");
    EXPECT_EQ(format_number(2.5, "###,###"), "3");
    EXPECT_EQ(format_number(0.4, "###,###"), "");
    EXPECT_EQ(format_number(0, "###,###"), "");
    EXPECT_EQ(format_number(1234567, "###,###"), "1,234,567");
    EXPECT_EQ(format_number(1500, "###"), "1500");
    EXPECT_EQ(format_number(126.5, "###"), "127");
    EXPECT_EQ(format_number(0, "00,000"), "00,000");
    EXPECT_EQ(format_number(1500, "00,000"), "01,500");
    EXPECT_EQ(format_number(123456, "00,000"), "123,456");
    EXPECT_EQ(format_number(14.56, "#0"), "15");
    EXPECT_EQ(format_number(0.2, "#0"), "0");
    EXPECT_EQ(format_number(1.6666, "0.0"), "1.7");
    EXPECT_EQ(format_number(2, "0.0"), "2.0");
    EXPECT_EQ(format_number(0, "0.0"), "0.0");
    EXPECT_EQ(format_number(0.25, "0.0"), "0.3");
    EXPECT_EQ(format_number(2, "0.#"), "2.");
    EXPECT_EQ(format_number(1.666, "0.#"), "1.7");
    EXPECT_EQ(format_number(0, "0.#"), "0.");
    EXPECT_EQ(format_number(12.34, "##.0"), "12.3");
    EXPECT_EQ(format_number(0.5, "##.0"), ".5");
    EXPECT_EQ(format_number(1234.56, "##.0"), "1234.6");
    EXPECT_EQ(format_number(-1.25, "0.0"), "-1.3");
}

TEST(Formats, UseTheLocaleSeparators) {
    set_number_separators({",", "."});
    EXPECT_EQ(format_number(7168, "###,###"), "7.168");
    EXPECT_EQ(format_number(1.666, "0.0"), "1,7");
    EXPECT_EQ(text_to_int16("41,5"), 42);
    set_number_separators({".", ","});
}

TEST(Formats, SignPosition) {
    EXPECT_EQ(with_sign_position(25), " 25");
    EXPECT_EQ(with_sign_position(0), " 0");
    EXPECT_EQ(with_sign_position(-3), "-3");
}

TEST(ClockText, ShowsTheTimeOfDay) {
    EXPECT_EQ(Clock_Text(0), "0:00:00");
    EXPECT_EQ(Clock_Text(59), "0:00:59");
    EXPECT_EQ(Clock_Text(3599), "0:59:59");
    EXPECT_EQ(Clock_Text(3600), "1:00:00");
    EXPECT_EQ(Clock_Text(86399), "23:59:59");
    EXPECT_EQ(Clock_Text(12.4), "0:00:12");
    EXPECT_EQ(Clock_Text(3723.4), "1:02:03");
}

TEST(ClockText, WrapsPastMidnightAndCountsBackForNegatives) {
    EXPECT_EQ(Clock_Text(86400), "0:00:00");
    EXPECT_EQ(Clock_Text(90061), "1:01:01");
    EXPECT_EQ(Clock_Text(-1), "23:59:59");
    EXPECT_EQ(Clock_Text(-5), "23:59:55");
    EXPECT_EQ(Clock_Text(-86401), "23:59:59");
    EXPECT_EQ(Clock_Text(1e12), Clock_Text(std::fmod(1e12, 86400.0)));
    EXPECT_EQ(Clock_Text(std::nan("")), "0:00:00");
}

TEST(ClockText, ExactHalvesGoToTheEvenSecond) {
    EXPECT_EQ(Clock_Text(2.5), "0:00:02");
    EXPECT_EQ(Clock_Text(3.5), "0:00:04");
    EXPECT_EQ(Clock_Text(-0.5), "0:00:00");
    EXPECT_EQ(Clock_Text(-1.5), "23:59:58");
}

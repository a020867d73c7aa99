// Number conversions and display formats shared by every routine of the window.
//
// Conversions to integers round to the nearest whole number with halves going to the even
// neighbour (12.5 -> 12, 13.5 -> 14) and fail when the result does not fit. Display
// patterns round halves away from zero and use the locale's separators.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace shardex {

// Round to the nearest whole number, halves to even. NaN stays NaN.
double round_half_even(double x);

// Conversions that fail (shardex::Error "Overflow") when the rounded value leaves the range.
std::int16_t to_int16(double x);
std::int32_t to_int32(double x);

// Reads a text as a number: blanks around it are ignored, the decimal point may be '.' or
// the locale's decimal separator. Fails with shardex::Error "Type mismatch" on anything else
// (an empty text included).
double text_to_number(std::string_view text);

// text_to_number, then to_int16.
std::int16_t text_to_int16(std::string_view text);

// Separators used by format_number; by default '.' and ','. The window sets them from the
// user's locale at start-up.
struct NumberSeparators {
    std::string decimal = ".";
    std::string group = ",";
};
void set_number_separators(NumberSeparators separators);
const NumberSeparators& number_separators();

// Formats `value` with a digit pattern: '0' is a digit always shown, '#' a digit shown only
// when significant, ',' in the integer part asks for thousands grouping, '.' marks the
// decimal point, which is always written when the pattern has one. Examples:
//   "###,###" 7168.0 -> "7,168", 0.4 -> ""     "00,000" 1500 -> "01,500"
//   "0.#"     2      -> "2."                   "##.0"   0.5  -> ".5"
//   "0.0"     1.666  -> "1.7"                  "#0"     14.56 -> "15"
std::string format_number(double value, std::string_view pattern);

// A whole number the way the window writes numbers with a sign position: one leading blank
// for a non-negative number, a minus sign otherwise (25 -> " 25", -3 -> "-3").
std::string with_sign_position(long long value);

}  // namespace shardex

#include "app/formats.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/error.h"

namespace shardex {
namespace {

NumberSeparators& separators() {
    static NumberSeparators s;
    return s;
}

std::string trim(std::string_view text) {
    auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t b = 0, e = text.size();
    while (b < e && is_blank(text[b])) ++b;
    while (e > b && is_blank(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

template <typename T>
T to_integer(double x) {
    double r = round_half_even(x);
    if (std::isnan(r) || r < static_cast<double>(std::numeric_limits<T>::min()) ||
        r > static_cast<double>(std::numeric_limits<T>::max()))
        throw Error("Overflow");
    return static_cast<T>(r);
}

}  // namespace

double round_half_even(double x) {
    if (!std::isfinite(x)) return x;
    double f = std::floor(x);
    double diff = x - f;
    if (diff > 0.5) return f + 1.0;
    if (diff < 0.5) return f;
    return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

std::int16_t to_int16(double x) { return to_integer<std::int16_t>(x); }
std::int32_t to_int32(double x) { return to_integer<std::int32_t>(x); }

double text_to_number(std::string_view text) {
    std::string t = trim(text);
    const std::string& dec = separators().decimal;
    if (dec != "." && !dec.empty()) {
        auto pos = t.find(dec);
        if (pos != std::string::npos) t.replace(pos, dec.size(), ".");
    }
    if (t.empty()) throw Error("Type mismatch");
    // Only plain decimal numbers: an optional sign, digits, one point, an optional exponent.
    for (char c : t)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-' || c == 'e' ||
              c == 'E'))
            throw Error("Type mismatch");
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size()) throw Error("Type mismatch");
    if (errno == ERANGE || !std::isfinite(v)) throw Error("Overflow");
    return v;
}

std::int16_t text_to_int16(std::string_view text) { return to_int16(text_to_number(text)); }

void set_number_separators(NumberSeparators s) { separators() = std::move(s); }
const NumberSeparators& number_separators() { return separators(); }

std::string format_number(double value, std::string_view pattern) {
    auto point = pattern.find('.');
    std::string_view int_part = pattern.substr(0, point);
    std::string_view frac_part = point == std::string_view::npos ? std::string_view{} : pattern.substr(point + 1);
    bool grouping = int_part.find(',') != std::string_view::npos;
    int min_int = 0, min_frac = 0, max_frac = 0;
    for (char c : int_part)
        if (c == '0') ++min_int;
    for (char c : frac_part) {
        if (c == '0') ++min_frac;
        if (c == '0' || c == '#') ++max_frac;
    }
    if (!std::isfinite(value)) return value != value ? "NaN" : (value < 0 ? "-Inf" : "Inf");

    // Round halves away from zero at the last decimal the pattern can show. The value is
    // first rounded to 12 significant places so that 2.675 stored as 2.67499.. rounds as written.
    bool negative = value < 0;
    long double scaled = std::fabs(static_cast<long double>(value)) * std::pow(10.0L, max_frac);
    scaled = std::round(scaled * 1e6L) / 1e6L;
    long double rounded = std::floor(scaled + 0.5L);
    long double unit = std::pow(10.0L, max_frac);
    long double whole = std::floor(rounded / unit);
    long double frac = rounded - whole * unit;

    std::string digits;
    if (whole >= 1) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.0Lf", whole);
        digits = buf;
    }
    while (static_cast<int>(digits.size()) < min_int) digits.insert(digits.begin(), '0');
    if (grouping && digits.size() > 3) {
        std::string grouped;
        int n = static_cast<int>(digits.size());
        for (int i = 0; i < n; ++i) {
            if (i > 0 && (n - i) % 3 == 0) grouped += separators().group;
            grouped += digits[i];
        }
        digits = grouped;
    }
    std::string out = digits;
    if (point != std::string_view::npos) {
        std::string fd;
        if (max_frac > 0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%0*.0Lf", max_frac, frac);
            fd = buf;
            while (static_cast<int>(fd.size()) > min_frac && fd.back() == '0') fd.pop_back();
        }
        out += separators().decimal + fd;
    }
    if (negative && rounded > 0) out.insert(out.begin(), '-');
    return out;
}

std::string with_sign_position(long long value) {
    return value < 0 ? std::to_string(value) : " " + std::to_string(value);
}

}  // namespace shardex

#include "platform/shown_text.h"

#include <algorithm>

namespace shardex::platform {
namespace {

// The length of the UTF-8 sequence starting at `at` (1 to 4 bytes), or 0 when the bytes
// there are not valid UTF-8 (overlong forms, surrogates and code points past U+10FFFF are not).
std::size_t sequence_length(const std::string& s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = byte(at);
    if (b < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else
        return 0;
    if (at + n > s.size()) return 0;
    if (byte(at + 1) < lo || byte(at + 1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    return n;
}

// C0 and C1 control characters, and the marks that reverse or isolate the text after them
// (U+202A..U+202E, U+2066..U+2069), which would make a line read as something else.
bool hidden(const std::string& s, std::size_t at, std::size_t n) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[at + i]); };
    if (n == 1) return byte(0) < 0x20 || byte(0) == 0x7F;
    if (n == 2) return byte(0) == 0xC2 && byte(1) < 0xA0;
    if (n == 3 && byte(0) == 0xE2 && byte(1) == 0x80) return byte(2) >= 0xAA && byte(2) <= 0xAE;
    if (n == 3 && byte(0) == 0xE2 && byte(1) == 0x81) return byte(2) >= 0xA6 && byte(2) <= 0xA9;
    return false;
}

std::string clean(const std::string& text, std::size_t limit, bool keepLines) {
    std::string out;
    out.reserve(std::min(text.size(), limit) + 3);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t n = sequence_length(text, at);
        const std::size_t taken = n == 0 ? 1 : n;
        if (at + taken > limit) break;
        const char c = text[at];
        if (n == 0 || (hidden(text, at, n) && !(keepLines && (c == '\n' || c == '\t'))))
            out += '?';
        else
            out.append(text, at, n);
        at += taken;
    }
    if (at < text.size()) out += "...";
    return out;
}

}  // namespace

std::string printable(const std::string& text, std::size_t limit) { return clean(text, limit, false); }

std::string readable(const std::string& text, std::size_t limit) { return clean(text, limit, true); }

std::string shown(const std::string& name) { return "'" + printable(name, kShownName) + "'"; }

}  // namespace shardex::platform

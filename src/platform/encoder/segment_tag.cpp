#include "platform/encoder/segment_tag.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <sstream>

namespace shardex::encoder {
namespace {

constexpr std::string_view kVersion = "shardex-segment/1";
constexpr std::string_view kProfileKey = " profile=";

bool number(std::string_view text, std::int64_t& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string SegmentTag::text() const {
    std::ostringstream s;
    s << kVersion << " stretch=" << stretchStartMs << ':' << stretchEndMs << " segment=" << startMs << ':' << endMs
      << " fps=" << fpsNum << '/' << fpsDen << " vbps=" << videoBitrate << " slot0us=" << slot0Us << " slot=" << firstSlot
      << " soundframe=" << soundFrame << " soundfirst=" << firstSoundFrame << " bps=" << profileBitrate << kProfileKey
      << profile;
    return s.str();
}

std::optional<SegmentTag> SegmentTag::parse(std::string_view text) {
    if (text.size() > 4096 || text.substr(0, kVersion.size()) != kVersion) return std::nullopt;
    const std::size_t named = text.find(kProfileKey);
    if (named == std::string_view::npos) return std::nullopt;
    SegmentTag t;
    t.profile = std::string(text.substr(named + kProfileKey.size()));
    std::string_view words = text.substr(kVersion.size(), named - kVersion.size());
    // Each word is key=a or key=a<sep>b; every key must be there once.
    struct Field {
        std::string_view key;
        std::int64_t* first;
        char sep;
        std::int64_t* second;
        bool seen = false;
    };
    Field fields[] = {
        {"stretch", &t.stretchStartMs, ':', &t.stretchEndMs}, {"segment", &t.startMs, ':', &t.endMs},
        {"fps", &t.fpsNum, '/', &t.fpsDen},                   {"vbps", &t.videoBitrate, 0, nullptr},
        {"slot0us", &t.slot0Us, 0, nullptr},
        {"slot", &t.firstSlot, 0, nullptr},                   {"soundframe", &t.soundFrame, 0, nullptr},
        {"soundfirst", &t.firstSoundFrame, 0, nullptr},       {"bps", &t.profileBitrate, 0, nullptr},
    };
    while (!words.empty()) {
        if (words.front() != ' ') return std::nullopt;
        words.remove_prefix(1);
        const std::size_t end = std::min(words.find(' '), words.size());
        const std::string_view word = words.substr(0, end);
        words.remove_prefix(end);
        const std::size_t eq = word.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        Field* f = nullptr;
        for (auto& candidate : fields)
            if (candidate.key == word.substr(0, eq)) f = &candidate;
        if (!f || f->seen) return std::nullopt;
        f->seen = true;
        std::string_view value = word.substr(eq + 1);
        if (f->second) {
            const std::size_t sep = value.find(f->sep);
            if (sep == std::string_view::npos || !number(value.substr(sep + 1), *f->second)) return std::nullopt;
            value = value.substr(0, sep);
        }
        if (!number(value, *f->first)) return std::nullopt;
    }
    for (const auto& f : fields)
        if (!f.seen) return std::nullopt;
    const bool sane = t.stretchStartMs >= 0 && t.stretchStartMs <= t.startMs && t.startMs <= t.endMs &&
                      t.endMs <= t.stretchEndMs && t.fpsNum >= 0 && t.fpsDen > 0 && t.videoBitrate >= 0 && t.videoBitrate <= INT32_MAX && t.firstSlot >= 0 &&
                      t.soundFrame >= 0 && t.soundFrame <= (1 << 20) && t.firstSoundFrame >= 0 && t.profileBitrate >= 0;
    if (!sane) return std::nullopt;
    return t;
}

}  // namespace shardex::encoder

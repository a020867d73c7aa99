// The profile file parser: any text is either a profile that passes its own checks and writes
// back as itself, or a refusal naming what is wrong. A user's profiles folder may hold anything.
#include <array>
#include <tuple>

#include "fuzz_target.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/profiles.h"
#include "platform/error.h"

namespace {

using namespace shardex;
using shardex::fuzz::expect;

// What a profile says, with the fields of a stream it does not have left out.
auto meaning(const encoder::ProfileData& p) {
    const long long v = p.hasVideo(), a = p.hasAudio();
    std::vector<std::array<long long, 9>> audiences;
    for (const auto& x : p.audiences)
        audiences.push_back({v * x.videoCodec, v * x.width, v * x.height, v * x.fps, v * x.videoBitrate, v * x.quality,
                             a * x.audioBitrate, a * x.audioSampleRate, a * x.audioChannels});
    return std::tuple(p.name, p.description, p.contentType, v * p.videoMode, a * p.audioMode, audiences);
}

void one_input(const std::string& text) {
    encoder::ProfileData parsed;
    try {
        parsed = encoder::parse_profile(text);
    } catch (const Error& e) {
        expect(e.code() == encoder::errors::kBadProfile, "a refused profile carries the bad-profile code", e.what());
        expect(std::string(e.what()).rfind("profile", 0) == 0 || std::string(e.what()).rfind("cannot read profile", 0) == 0,
               "a refusal says it is about a profile", e.what());
        return;
    }
    expect(!parsed.name.empty() && !parsed.audiences.empty() && (parsed.hasVideo() || parsed.hasAudio()),
           "an accepted profile has a name, an audience and a stream", text);
    for (const auto& a : parsed.audiences) {
        if (parsed.hasVideo()) {
            expect(a.width >= 16 && a.width <= 4096 && a.height >= 16 && a.height <= 4096 && a.width % 2 == 0 &&
                       a.height % 2 == 0 && a.fps >= 1000 && a.fps <= 120000,
                   "frame size even and in range, frame rate in range", text);
            std::string fourcc;
            encoder::video_codec_name(a.videoCodec, &fourcc);  // throws for an unknown codec
        }
        if (parsed.hasAudio()) {
            expect((a.audioChannels == 1 || a.audioChannels == 2) && a.audioSampleRate >= 8000 && a.audioSampleRate <= 48000,
                   "one or two audio channels, sample rate in range", text);
        }
    }
    // What the program writes back (the definition an agent sends) reads as the same profile.
    const std::string written = encoder::profile_to_json(parsed);
    try {
        expect(meaning(encoder::parse_profile(written)) == meaning(parsed), "a definition reads back as itself", written);
    } catch (const Error& e) {
        expect(false, "a profile's own definition reads back", e.what());
    }
    // The editor and a collection take it as the program does.
    auto collection = encoder::make_profile_collection({text});
    expect(collection->count() == 1, "a collection offers a profile that parses");
    auto editor = encoder::make_profile_editor();
    editor->load(collection->item(0));
    expect(editor->audienceCount() == static_cast<std::int32_t>(parsed.audiences.size()), "the editor sees every audience");
}

// Inputs too large for a seed file; the others are in fuzz/corpus/profile.
std::vector<std::string> table() {
    return {std::string(100000, '['), std::string(100000, '{'), "{\"name\":\"" + std::string(1 << 20, 'n') + "\"}"};
}

SHARDEX_FUZZ_TARGET("profile", one_input, table);

}  // namespace

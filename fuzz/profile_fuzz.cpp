// The profile file parser: any text is either a profile that passes its own checks and
// writes back as itself, or a refusal naming what is wrong. A user's profiles folder may
// hold anything.
#include <string>

#include "fuzz_target.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/profiles.h"
#include "platform/error.h"

namespace {

using namespace shardex;
using shardex::fuzz::expect;

bool same(const encoder::ProfileData& a, const encoder::ProfileData& b) {
    if (a.name != b.name || a.description != b.description || a.contentType != b.contentType ||
        a.audiences.size() != b.audiences.size())
        return false;
    if (a.hasVideo() && a.videoMode != b.videoMode) return false;
    if (a.hasAudio() && a.audioMode != b.audioMode) return false;
    for (std::size_t i = 0; i < a.audiences.size(); ++i) {
        const auto &x = a.audiences[i], &y = b.audiences[i];
        if (a.hasVideo() && (x.videoCodec != y.videoCodec || x.width != y.width || x.height != y.height ||
                             x.fps != y.fps || x.videoBitrate != y.videoBitrate || x.quality != y.quality))
            return false;
        if (a.hasAudio() && (x.audioBitrate != y.audioBitrate || x.audioSampleRate != y.audioSampleRate ||
                             x.audioChannels != y.audioChannels))
            return false;
    }
    return true;
}

void check_accepted(const encoder::ProfileData& p) {
    expect(!p.name.empty(), "an accepted profile has a name");
    expect(!p.audiences.empty(), "an accepted profile has an audience");
    expect(p.hasVideo() || p.hasAudio(), "an accepted profile has a stream");
    for (const auto& a : p.audiences) {
        if (p.hasVideo()) {
            expect(a.width >= 16 && a.width <= 4096 && a.height >= 16 && a.height <= 4096, "frame size in range");
            expect(a.width % 2 == 0 && a.height % 2 == 0, "frame size even");
            expect(a.fps >= 1000 && a.fps <= 120000, "frame rate in range");
            std::string fourcc;
            encoder::video_codec_name(a.videoCodec, &fourcc);  // throws for an unknown codec
        }
        if (p.hasAudio()) {
            expect(a.audioChannels == 1 || a.audioChannels == 2, "audio channels 1 or 2");
            expect(a.audioSampleRate >= 8000 && a.audioSampleRate <= 48000, "sample rate in range");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    encoder::ProfileData parsed;
    try {
        parsed = encoder::parse_profile(text);
    } catch (const Error& e) {
        expect(e.code() == encoder::errors::kBadProfile, "a refused profile carries the bad-profile code", e.what());
        expect(std::string(e.what()).rfind("profile", 0) == 0 || std::string(e.what()).rfind("cannot read profile", 0) == 0,
               "a refusal says it is about a profile", e.what());
        return 0;
    }
    check_accepted(parsed);
    // What the program writes back (the definition an agent sends) reads as the same profile.
    const std::string written = encoder::profile_to_json(parsed);
    encoder::ProfileData again;
    try {
        again = encoder::parse_profile(written);
    } catch (const Error& e) {
        expect(false, "a profile's own definition reads back", e.what());
    }
    expect(same(parsed, again), "a profile's definition reads back as the same profile", written);
    // The editor and a collection take it as the program does.
    auto collection = encoder::make_profile_collection({text});
    expect(collection->count() == 1, "a collection offers a profile that parses");
    auto editor = encoder::make_profile_editor();
    editor->load(collection->item(0));
    expect(editor->audienceCount() == static_cast<std::int32_t>(parsed.audiences.size()), "the editor sees every audience");
    return 0;
}

std::vector<std::string> shardex::fuzz::nasty_inputs() {
    const std::string ok = R"({"name":"x","contentType":1,"audiences":[{"audioBitrate":24000,"audioSampleRate":8000,"audioChannels":1}]})";
    return {
        "",
        std::string(1, '\0'),
        "null",
        "[]",
        "{}",
        std::string("{\"name\":\"a\0b\"}", 14),
        R"({"name":"x","contentType":17,"audiences":[{}]})",
        R"({"name":"x","contentType":1e400,"audiences":[]})",
        R"({"name":"x","contentType":18446744073709551615,"audiences":[1]})",
        R"({"name":"x","contentType":-9223372036854775808,"audiences":[1]})",
        R"({"name":"x","contentType":1,"modes":[1,2],"audiences":[{"audioBitrate":4294967296,"audioSampleRate":8000,"audioChannels":1}]})",
        R"({"name":"x","contentType":16,"modes":7,"audiences":[{"width":4096,"height":4096,"fps":120000,"videoBitrate":1,"videoCodec":2}]})",
        R"({"name":"x","contentType":17,"modes":{"video":3},"audiences":[{"width":16,"height":16,"fps":1000,"quality":-1,"audioBitrate":24000,"audioSampleRate":8000,"audioChannels":2}]})",
        R"({"name":"\ud800","contentType":1,"audiences":[{"audioBitrate":24000,"audioSampleRate":8000,"audioChannels":1}]})",
        "{\"name\":\"\xff\xfe\",\"contentType\":1,\"audiences\":[{\"audioBitrate\":24000,\"audioSampleRate\":8000,\"audioChannels\":1}]}",
        ok,
        ok + ok,
        std::string(100000, '['),
        std::string(100000, '{'),
        "{\"name\":\"" + std::string(1 << 20, 'n') + "\"}",
    };
}

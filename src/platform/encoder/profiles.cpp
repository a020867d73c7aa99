#include "platform/encoder/profiles.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/encoder/errors.h"
#include "platform/paths.h"

namespace shardex::encoder {
namespace {

using nlohmann::json;

// The stock set. It lives in the program so it ships whatever the working directory is.
// Audio rates stay at 24 Kbps or more: the Windows Media Audio encoder refuses less.
constexpr const char* kStockProfiles = R"JSON([
 {"name": "Windows Media Video 8 for Local Area Network (768 Kbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 700000,
                 "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 for Local Area Network (384 Kbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 320000,
                 "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 for Local Area Network (2 Mbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 640, "height": 480, "fps": 29970, "videoBitrate": 1872000,
                 "videoBufferMs": 5000, "audioBitrate": 128000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 for Broadband (NTSC, 1400 Kbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 640, "height": 480, "fps": 29970, "videoBitrate": 1336000,
                 "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 for Broadband (NTSC, 700 Kbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 636000,
                 "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 for Broadband (PAL, 384 Kbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 384, "height": 288, "fps": 25000, "videoBitrate": 320000,
                 "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 176, "height": 144, "fps": 15000, "videoBitrate": 32000,
                 "videoBufferMs": 5000, "audioBitrate": 24000, "audioSampleRate": 22050, "audioChannels": 1}]},
 {"name": "Windows Media Video 8 for Dial-up Modems (No audio, 28.8 Kbps)", "contentType": 16,
  "modes": {"video": 1},
  "audiences": [{"videoCodec": 0, "width": 160, "height": 120, "fps": 15000, "videoBitrate": 22000,
                 "videoBufferMs": 5000}]},
 {"name": "Windows Media Video 8 for Local Area Network (No audio, 500 Kbps)", "contentType": 16,
  "modes": {"video": 1},
  "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 500000,
                 "videoBufferMs": 5000}]},
 {"name": "Windows Media Audio 8 for Dial-up Modem (Mono, 28.8 Kbps)", "contentType": 1,
  "modes": {"audio": 1},
  "audiences": [{"audioBitrate": 24000, "audioSampleRate": 16000, "audioChannels": 1}]},
 {"name": "Windows Media Audio 8 for Dial-up Modem (FM Radio Stereo, 28.8 Kbps)", "contentType": 1,
  "modes": {"audio": 1},
  "audiences": [{"audioBitrate": 24000, "audioSampleRate": 22050, "audioChannels": 2}]},
 {"name": "Windows Media Audio 8 for Broadband (CD Quality, 128 Kbps)", "contentType": 1,
  "modes": {"audio": 1},
  "audiences": [{"audioBitrate": 128000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 Peak-constrained VBR (Two-pass, 1 Mbps peak)", "contentType": 17,
  "modes": {"video": 2, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 500000,
                 "videoBufferMs": 5000, "peakBitrate": 1000000,
                 "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 Quality-based VBR (Quality 90)", "contentType": 17,
  "modes": {"video": 3, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "quality": 90,
                 "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 8 Unconstrained VBR (Two-pass, 768 Kbps)", "contentType": 17,
  "modes": {"video": 4, "audio": 1},
  "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 700000,
                 "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]},
 {"name": "Windows Media Video 7 for Local Area Network (384 Kbps)", "contentType": 17,
  "modes": {"video": 1, "audio": 1},
  "audiences": [{"videoCodec": 1, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 320000,
                 "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]}
])JSON";

int get_int(const json& j, const char* key, int fallback) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return fallback;
    if (!it->is_number_integer()) throw std::runtime_error(std::string("\"") + key + "\" is not a whole number");
    // Read wide and checked, so that 4295667296 is refused instead of wrapping to 700000.
    const bool fits = it->is_number_unsigned() ? it->get<std::uint64_t>() <= static_cast<std::uint64_t>(INT32_MAX)
                                               : it->get<std::int64_t>() >= INT32_MIN &&
                                                     it->get<std::int64_t>() <= INT32_MAX;
    if (!fits) throw std::runtime_error(std::string("\"") + key + "\" is out of range (" + it->dump() + ")");
    return static_cast<int>(it->get<std::int64_t>());
}

ProfileData from_json(const json& j) {
    ProfileData p;
    if (!j.is_object()) throw std::runtime_error("not a JSON object");
    auto name = j.find("name");
    if (name == j.end() || !name->is_string() || name->get<std::string>().empty())
        throw std::runtime_error("no \"name\"");
    p.name = name->get<std::string>();
    if (auto d = j.find("description"); d != j.end() && d->is_string()) p.description = d->get<std::string>();
    p.contentType = get_int(j, "contentType", 0);
    if (p.contentType != kContentAudio && p.contentType != kContentVideo && p.contentType != kContentAudioVideo)
        throw std::runtime_error("\"contentType\" must be 1, 16 or 17");
    if (auto m = j.find("modes"); m != j.end()) {
        p.videoMode = get_int(*m, "video", kModeCbr);
        p.audioMode = get_int(*m, "audio", kModeCbr);
    }
    auto aud = j.find("audiences");
    if (aud == j.end() || !aud->is_array() || aud->empty()) throw std::runtime_error("no \"audiences\"");
    for (const auto& a : *aud) {
        AudienceData d;
        d.videoCodec = get_int(a, "videoCodec", 0);
        d.width = get_int(a, "width", 0);
        d.height = get_int(a, "height", 0);
        d.fps = get_int(a, "fps", 0);
        d.videoBitrate = get_int(a, "videoBitrate", 0);
        d.videoBufferMs = get_int(a, "videoBufferMs", 0);
        d.peakBitrate = get_int(a, "peakBitrate", 0);
        d.quality = get_int(a, "quality", 0);
        d.keyframeMs = get_int(a, "keyframeMs", 5000);
        d.audioBitrate = get_int(a, "audioBitrate", 0);
        d.audioSampleRate = get_int(a, "audioSampleRate", 0);
        d.audioChannels = get_int(a, "audioChannels", 0);
        if (p.hasVideo()) {
            if (d.videoCodec < 0 || d.videoCodec >= video_codec_count())
                throw std::runtime_error("unknown \"videoCodec\"");
            if (d.width < 16 || d.height < 16 || d.width > 4096 || d.height > 4096 || d.width % 2 || d.height % 2)
                throw std::runtime_error("frame size must be even and between 16 and 4096");
            if (d.fps < 1000 || d.fps > 120000) throw std::runtime_error("\"fps\" out of range");
            if (p.videoMode < kModeCbr || p.videoMode > kModeVbrUnconstrained)
                throw std::runtime_error("video mode must be 1 to 4");
            if (p.videoMode == kModeVbrQuality ? (d.quality < 0 || d.quality > 100) : d.videoBitrate <= 0)
                throw std::runtime_error("video bit rate or quality missing");
        }
        if (p.hasAudio()) {
            if (d.audioBitrate < 24000) throw std::runtime_error("audio bit rate below 24000");
            if (d.audioSampleRate < 8000 || d.audioSampleRate > 48000)
                throw std::runtime_error("audio sample rate out of range");
            if (d.audioChannels < 1 || d.audioChannels > 2) throw std::runtime_error("audio channels must be 1 or 2");
        }
        p.audiences.push_back(d);
    }
    return p;
}

class ProfileImpl final : public Profile {
public:
    explicit ProfileImpl(ProfileData d) : data_(std::move(d)), text_(profile_to_json(data_)) {}
    std::string name() const override { return data_.name; }
    std::string definition() const override { return text_; }

private:
    ProfileData data_;
    std::string text_;
};

class CollectionImpl final : public ProfileCollection {
public:
    // fixed: profile texts always included, in order; folder: read on refresh when not empty.
    CollectionImpl(std::vector<std::string> fixed, std::filesystem::path folder, bool stock)
        : fixed_(std::move(fixed)), folder_(std::move(folder)), stock_(stock) {
        refresh();
    }

    void refresh() override {
        std::vector<std::shared_ptr<Profile>> items;
        if (stock_)
            for (const auto& p : stock_profiles()) items.push_back(make_profile(p));
        for (const auto& text : fixed_) add_parsed(items, text);
        if (!folder_.empty()) {
            std::error_code ec;
            std::vector<std::filesystem::path> files;
            for (std::filesystem::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
                if (it->path().extension() == ".json" && it->is_regular_file(ec)) files.push_back(it->path());
            }
            std::sort(files.begin(), files.end(),
                      [](const auto& a, const auto& b) { return a.filename() < b.filename(); });
            for (const auto& f : files) {
                std::ifstream in(f, std::ios::binary);
                std::stringstream ss;
                ss << in.rdbuf();
                add_parsed(items, ss.str());
            }
        }
        std::lock_guard lock(mutex_);
        items_ = std::move(items);
    }

    std::int32_t count() override {
        std::lock_guard lock(mutex_);
        return static_cast<std::int32_t>(items_.size());
    }

    std::shared_ptr<Profile> item(std::int32_t index) override {
        std::lock_guard lock(mutex_);
        if (index < 0 || index >= static_cast<std::int32_t>(items_.size()))
            throw Error("profile index " + std::to_string(index) + " out of range (0 to " +
                            std::to_string(static_cast<int>(items_.size()) - 1) + ")",
                        errors::kBadConfiguration);
        return items_[static_cast<std::size_t>(index)];
    }

private:
    static void add_parsed(std::vector<std::shared_ptr<Profile>>& items, const std::string& text) {
        try {
            items.push_back(make_profile(parse_profile(text)));
        } catch (const Error&) {
            // A broken profile file must not take the others down; it is simply not offered.
        }
    }

    std::vector<std::string> fixed_;
    std::filesystem::path folder_;
    bool stock_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Profile>> items_;
};

[[noreturn]] void fail(const std::string& what) { throw Error(what, errors::kBadProfile); }

class AudienceImpl final : public Audience {
public:
    explicit AudienceImpl(AudienceData d) : d_(d) {}
    std::int32_t videoCodec(std::int32_t s) override { return check(s), d_.videoCodec; }
    std::int32_t videoWidth(std::int32_t s) override { return check(s), d_.width; }
    std::int32_t videoHeight(std::int32_t s) override { return check(s), d_.height; }
    std::int32_t videoFps(std::int32_t s) override { return check(s), d_.fps; }
    std::int32_t audioBitrate(std::int32_t s) override { return check(s), d_.audioBitrate; }
    std::int32_t videoBitrate(std::int32_t s) override { return check(s), d_.videoBitrate; }
    std::int32_t videoBufferSize(std::int32_t s) override { return check(s), d_.videoBufferMs; }
    std::int32_t videoPeakBitrate() override { return d_.peakBitrate; }
    std::int32_t videoQuality(std::int32_t s) override { return check(s), d_.quality; }

private:
    static void check(std::int32_t stream) {
        if (stream != 0) fail("stream index " + std::to_string(stream) + " out of range (a profile has one stream of each kind)");
    }
    AudienceData d_;
};

class EditorImpl final : public ProfileEditor {
public:
    void load(const std::shared_ptr<Profile>& profile) override {
        if (!profile) fail("no profile to load");
        data_ = parse_profile(profile->definition());
        loaded_ = true;
    }
    std::int32_t contentType() override { return need().contentType; }
    std::int32_t audienceCount() override { return static_cast<std::int32_t>(need().audiences.size()); }
    std::shared_ptr<Audience> audience(std::int32_t index) override {
        const auto& d = need();
        if (index < 0 || index >= static_cast<std::int32_t>(d.audiences.size()))
            fail("audience index " + std::to_string(index) + " out of range");
        return std::make_shared<AudienceImpl>(d.audiences[static_cast<std::size_t>(index)]);
    }
    std::int32_t bitrateMode(std::int32_t streamType, std::int32_t streamIndex) override {
        const auto& d = need();
        if (streamIndex != 0) fail("stream index " + std::to_string(streamIndex) + " out of range");
        if (streamType == kSourceVideo && d.hasVideo()) return d.videoMode;
        if (streamType == kSourceAudio && d.hasAudio()) return d.audioMode;
        fail("profile '" + d.name + "' has no stream of type " + std::to_string(streamType));
    }
    std::int32_t videoCodecCount() override { return video_codec_count(); }
    std::string videoCodecName(std::int32_t codecIndex, std::string* fourcc) override {
        return video_codec_name(codecIndex, fourcc);
    }

private:
    const ProfileData& need() const {
        if (!loaded_) fail("no profile loaded");
        return data_;
    }
    bool loaded_ = false;
    ProfileData data_;
};

}  // namespace

ProfileData parse_profile(const std::string& text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        fail(std::string("cannot read profile: ") + e.what());
    }
    std::string name = j.is_object() && j.contains("name") && j["name"].is_string() ? j["name"].get<std::string>() : "";
    try {
        return from_json(j);
    } catch (const std::exception& e) {
        fail("profile '" + name + "': " + e.what());
    }
}

std::string profile_to_json(const ProfileData& p) {
    json j;
    j["name"] = p.name;
    if (!p.description.empty()) j["description"] = p.description;
    j["contentType"] = p.contentType;
    json modes = json::object();
    if (p.hasVideo()) modes["video"] = p.videoMode;
    if (p.hasAudio()) modes["audio"] = p.audioMode;
    j["modes"] = modes;
    json auds = json::array();
    for (const auto& a : p.audiences) {
        json o;
        if (p.hasVideo()) {
            o["videoCodec"] = a.videoCodec;
            o["width"] = a.width;
            o["height"] = a.height;
            o["fps"] = a.fps;
            o["videoBitrate"] = a.videoBitrate;
            o["videoBufferMs"] = a.videoBufferMs;
            o["peakBitrate"] = a.peakBitrate;
            o["quality"] = a.quality;
            o["keyframeMs"] = a.keyframeMs;
        }
        if (p.hasAudio()) {
            o["audioBitrate"] = a.audioBitrate;
            o["audioSampleRate"] = a.audioSampleRate;
            o["audioChannels"] = a.audioChannels;
        }
        auds.push_back(o);
    }
    j["audiences"] = auds;
    return j.dump(2);
}

const std::vector<ProfileData>& stock_profiles() {
    static const std::vector<ProfileData> profiles = [] {
        std::vector<ProfileData> out;
        for (const auto& j : json::parse(kStockProfiles)) out.push_back(from_json(j));
        return out;
    }();
    return profiles;
}

std::shared_ptr<Profile> find_stock_profile(const std::string& name) {
    for (const auto& p : stock_profiles())
        if (p.name == name) return make_profile(p);
    return nullptr;
}

std::shared_ptr<Profile> make_profile(const ProfileData& data) { return std::make_shared<ProfileImpl>(data); }

std::shared_ptr<ProfileCollection> make_profile_collection(const std::vector<std::string>& definitions) {
    return std::make_shared<CollectionImpl>(definitions, std::filesystem::path(), false);
}

std::shared_ptr<ProfileCollection> make_installed_profile_collection(std::filesystem::path folder) {
    return std::make_shared<CollectionImpl>(std::vector<std::string>{}, std::move(folder), true);
}

std::shared_ptr<ProfileCollection> make_installed_profile_collection() {
    return make_installed_profile_collection(platform::user_profiles_folder());
}

std::shared_ptr<ProfileEditor> make_profile_editor() { return std::make_shared<EditorImpl>(); }

}  // namespace shardex::encoder

// Encoding profiles: the data a profile file holds, the stock set compiled into the program,
// collections built from it and the user's profiles folder, and the profile-editing object.
//
// A profile file is JSON:
//   {
//     "name": "Windows Media Video 8 for Local Area Network (768 Kbps)",
//     "description": "...",                      (optional)
//     "contentType": 17,                          17 audio+video, 1 audio only, 16 video only
//     "modes": { "video": 1, "audio": 1 },        BitrateMode per stream
//     "audiences": [ {
//        "videoCodec": 0,                         0 Windows Media Video 8, 1 Windows Media Video 7
//        "width": 320, "height": 240,
//        "fps": 29970,                            thousandths of a frame per second
//        "videoBitrate": 700000,                  bits per second
//        "videoBufferMs": 5000,
//        "peakBitrate": 0,                        bits per second (mode 2)
//        "quality": 0,                            0..100 (mode 3)
//        "keyframeMs": 5000,                      (optional) longest distance between key frames
//        "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2
//     } ]
//   }
// Fields a content type does not use may be left out.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/encoder/encoder.h"

namespace shardex::encoder {

struct AudienceData {
    int videoCodec = 0;
    int width = 0;
    int height = 0;
    int fps = 0;  // thousandths
    int videoBitrate = 0;
    int videoBufferMs = 0;
    int peakBitrate = 0;
    int quality = 0;
    int keyframeMs = 5000;
    int audioBitrate = 0;
    int audioSampleRate = 0;
    int audioChannels = 0;
};

struct ProfileData {
    std::string name;
    std::string description;
    int contentType = kContentAudioVideo;
    int videoMode = kModeCbr;
    int audioMode = kModeCbr;
    std::vector<AudienceData> audiences;

    bool hasVideo() const { return contentType == kContentVideo || contentType == kContentAudioVideo; }
    bool hasAudio() const { return contentType == kContentAudio || contentType == kContentAudioVideo; }
};

// Reads a profile file's text. Throws shardex::Error naming what is wrong ("profile 'x': ...").
ProfileData parse_profile(const std::string& json);
// The profile file text of `data` (what Profile::definition() returns).
std::string profile_to_json(const ProfileData& data);

// The name and fourcc of a video codec index; count of known video codecs (the table is in
// codecs.h).
int video_codec_count();
std::string video_codec_name(int index, std::string* fourcc = nullptr);  // throws for unknown

// The stock set, in its fixed order.
const std::vector<ProfileData>& stock_profiles();
// A stock profile by exact name; empty when there is none.
std::shared_ptr<Profile> find_stock_profile(const std::string& name);

std::shared_ptr<Profile> make_profile(const ProfileData& data);

// A collection of exactly the given profile texts, in that order (refresh keeps them).
// Texts that do not parse are skipped.
std::shared_ptr<ProfileCollection> make_profile_collection(const std::vector<std::string>& definitions);

// The installed collection: the stock set, then the *.json files of `folder` sorted by file
// name. refresh() reads the folder again; a file that does not parse is skipped.
std::shared_ptr<ProfileCollection> make_installed_profile_collection(std::filesystem::path folder);
// The same with the user's profiles folder.
std::shared_ptr<ProfileCollection> make_installed_profile_collection();

std::shared_ptr<ProfileEditor> make_profile_editor();

}  // namespace shardex::encoder

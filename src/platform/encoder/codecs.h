// The Windows Media encoders of an encode: which video codecs there are (one table: the name a
// profile shows, the fourcc, FFmpeg's encoder) and how a profile's settings become an opened
// encoder: frame rate, key-frame distance, rate control for each bit-rate mode, the rate the
// container leaves the video, and the passes of a two-pass encode.
#pragma once

#include <cstdint>
#include <string>

#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/profiles.h"
#include "platform/encoder/transcoder.h"

namespace shardex::encoder {

struct VideoCodec {
    const char* name;  // as the profile-editing object names it
    const char* fourcc;
    AVCodecID id;
};

// Indexed by a profile's video codec.
inline constexpr VideoCodec kVideoCodecs[] = {
    {"Windows Media Video 8", "WMV2", AV_CODEC_ID_WMV2},
    {"Windows Media Video 7", "WMV1", AV_CODEC_ID_WMV1},
};

// The codec of a profile's index; throws shardex::Error for an unknown one.
const VideoCodec& video_codec(int index);

// The profile's frame rate (thousandths of a frame per second) as an exact rational: the NTSC
// family (29.97 and friends) maps to n*1000/1001 so that timestamps stay exact.
AVRational frame_rate_of(int thousandths);

struct VideoEncoderPlan {
    int pass = 0;                          // 0 one pass, 1 analysis pass, 2 final pass of two
    std::string* passStats = nullptr;      // the analysis pass's statistics, read by the final pass
    double seconds = 0;                    // media the run writes, 0 when not known
    const Metadata* metadata = nullptr;    // the output's, which the container carries too
    int threads = 1;
    bool globalHeader = false;             // the container wants the codec set-up in its header
    AVRational sourceAspect{0, 1};         // the source's pictures' shape as shown; {0, 1}: square pixels
};

// The pixel shape that shows a `width` x `height` picture in the shape `displayAspect`: square
// ({1, 1}) when it is unknown or within half a percent of square. The container carries it,
// and players stretch the picture to it, so a wide source keeps its shape in a 4:3 profile
// without bars taking a part of the profile's pixels.
AVRational pixel_aspect_for(AVRational displayAspect, int width, int height);

// The profile's video encoder, opened for `plan`. A final pass that could not keep to its rate
// (see final_pass_reachable) is opened as one pass instead. Throws shardex::Error when the
// encoder refuses the profile.
ff::CodecContextPtr open_video_encoder(const ProfileData& profile, const VideoEncoderPlan& plan);

// The profile's audio encoder at its rate, opened. Throws shardex::Error when it refuses.
ff::CodecContextPtr open_audio_encoder(const ProfileData& profile, bool globalHeader);

}  // namespace shardex::encoder

// What the ASF container costs, and so what is left for the video encoder, and whether a
// final pass can keep to its rate. Pure functions without state: the container's cost is
// measured by running the ASF muxer on stand-in packets into an output that only counts
// bytes, so it follows the muxer's own packet size and layout rather than a table of ours.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/transcoder.h"

namespace shardex::encoder {

// The streams of an output as the container sees them.
struct MuxedStreams {
    AVCodecID videoCodec = AV_CODEC_ID_NONE;  // none: no video stream
    int width = 0, height = 0;
    AVRational fps{30, 1};
    int gop = 1;
    std::int64_t videoBitRate = 0;
    const AVCodecContext* audio = nullptr;  // an opened audio encoder; null: no audio stream
    const Metadata* metadata = nullptr;
};

// The longest stretch muxed to measure the container's cost: a longer segment costs the same
// per second, less its (spread) fixed part.
inline constexpr double kLongestMeasuredSeconds = 120;

// What the ASF muxer adds, in bits per second, to the encoders' own bits over `seconds` of
// media: its header objects, each packet's header, each payload's header, the padding of a
// packet that an audio frame did not fit, the part-filled last packet and the index. The
// stand-in packets are video frames of the mean size and the audio encoder's fixed-size
// frames. `packetSize` 0 leaves the muxer's own packet size. 0 when the muxer cannot be run
// (the budget is then the bare profile rate).
double asf_overhead_bps(const MuxedStreams& m, double seconds, int packetSize = 0);

// The ASF muxer's own packet size (0 when it cannot be read).
int asf_default_packet_size();

// The packet size for a file of sound alone from the audio encoder `audio` over `seconds`
// (0: not known); 0 keeps the muxer's own. ASF packets are fixed-size and a packet an audio
// frame does not fit is padded out, so at the muxer's own size a stream of large frames pays
// up to a frame's worth of padding a packet (128 Kbps stereo: 8% of the file).
int packet_size_for_sound(const AVCodecContext& audio, const Metadata& metadata, double seconds);

// The rate the video encoder is given for the profile's video rate `profileRate`: what is
// left once the container has taken its share for the streams `m` over `seconds` (0: not
// known), so that the file as a whole keeps to the profile's total. Never below a tenth of
// `profileRate`, which no real container cost comes near.
std::int64_t video_budget(std::int64_t profileRate, MuxedStreams m, double seconds);

// How far the rate must clear the analysed floor for a final pass to be worth running.
// FFmpeg's two-pass model takes a frame's texture bits as inversely proportional to its
// quantiser, which flatters the coarsest quantisers: a final pass given less than half as
// much again as that floor misses its buffer ("rc buffer underflow", dozens of times in ten
// seconds at dial-up rates), where one pass at the coarsest quantiser does not.
inline constexpr double kFinalPassHeadroom = 1.5;

// Whether a final pass of the configured encoder `c` can keep its bit rate over the frames
// the analysis pass described in `passStats` (FFmpeg's statistics lines): the bits they need
// at the largest quantiser (key frames at theirs), motion and header bits unshrunk, fit the
// rate with the headroom above. True when there is nothing to judge by.
bool final_pass_reachable(const AVCodecContext& c, std::string_view passStats);

}  // namespace shardex::encoder

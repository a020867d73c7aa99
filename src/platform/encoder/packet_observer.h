// What watches the encoded video of a run (the data view decodes it again for the window).
// Private to the encoder library: it names FFmpeg's types.
#pragma once

#include "platform/encoder/ffmpeg_util.h"

namespace shardex::encoder {

// Sees every encoded video packet (the data view decodes them for the window).
class PacketObserver {
public:
    virtual ~PacketObserver() = default;
    virtual void begin(const AVCodecContext* encoder) = 0;
    virtual void packet(const AVPacket* packet, AVRational timeBase) = 0;
    virtual void end() = 0;
};

}  // namespace shardex::encoder

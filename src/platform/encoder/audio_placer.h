// The sound of an encode placed by its timestamps on the output's sample grid: a gap in the
// source becomes silence and an overlap is dropped, so everything after them stays in step
// with the picture; a frame within kAudioSlackMs of where the last one ended is taken to
// follow on from it. Owns the resampler to the encoder's format, the FIFO that cuts the sound
// into the encoder's frames, and the closing frame of silence.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/source_input.h"

namespace shardex::encoder {

class AudioPlacer {
public:
    // Hands an encoder frame of sound, its pts the output sample it starts at, to the encoder.
    using Emit = std::function<void(AVFrame*)>;

    // Containers round their timestamps, and such jitter must not chop the sound.
    static constexpr int kAudioSlackMs = 2;

    // `encoder` is the opened audio encoder the sound is made for.
    AudioPlacer(AVCodecContext& encoder, Emit emit);

    // Starts a pass over `segment`.
    void start(const Segment& segment);
    // Takes a decoded source frame timed `pts` in `tb` from the time origin (NOPTS: right
    // after the last one); `decoderRate` stands in for a frame without a sample rate. False
    // once the frame lies at or past the segment's end: the sound is done.
    bool take(const AVFrame* f, std::int64_t pts, AVRational tb, int decoderRate);
    // Silence up to output sample `end`: a source without sound keeps pace with the picture.
    void silence_until(std::int64_t end);
    // Flushes the resampler and lets the encoder complete the last sound: a frame of silence
    // after it, the rest of the last encoder frame padded with silence.
    void finish();

private:
    AVAudioFifo* fifo();
    void add_silence(std::int64_t samples);
    void drain(bool all);
    void ensure_resampler(const AVFrame* f);
    void resample_into_fifo(const AVFrame* f, int offset, int count);
    int frame_size() const { return enc_.frame_size > 0 ? enc_.frame_size : 2048; }

    AVCodecContext& enc_;  // not const: FFmpeg 5.1's resampler set-up takes its layout as non-const
    Emit emit_;
    Segment seg_;
    ff::SwrPtr swr_;
    ff::AudioFifoPtr fifo_;
    std::int64_t written_ = 0;  // samples handed to the encoder (output rate)
    // Source position (input samples from the time origin) where the segment's sound has
    // reached; the next frame's samples go there.
    std::int64_t next_ = AV_NOPTS_VALUE;
    bool started_ = false;
};

}  // namespace shardex::encoder

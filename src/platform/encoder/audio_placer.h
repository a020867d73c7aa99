// The sound of an encode placed by its timestamps on the output's sample grid: a gap in the
// source becomes silence and an overlap is dropped, so everything after them stays in step
// with the picture; a frame within kAudioSlackMs of where the last one ended is taken to
// follow on from it. Owns the resampler to the encoder's format, the FIFO that cuts the sound
// into the encoder's frames, and the closing frame of silence.
//
// A segment made to be joined puts its sound on the frame grid of its whole stretch: the
// encoder's frames are the stretch's from its start, the first one the frame that holds the
// mark-in (so the first packet, which has no sound before it, only primes the encoder), and a
// segment that does not end the stretch goes on to the end of the frame after the one that
// holds its mark-out. The encoder keeps nothing from frame to frame but the last frame's
// sound, so every packet from the second on equals the packet of an encode of the whole
// stretch, and the join splices them. Where the source's rate differs from the profile's, the
// resampler starts on a sample where the two rates meet, far enough ahead to have filled its
// filter, and what it gives before the grid is dropped.
#pragma once

#include <climits>
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
    // Where a joinable segment's sound starts in ms from the time origin, with the sound the
    // decoder and the resampler need to settle first: where its source should be read from.
    std::int64_t read_from_ms(int sourceRate) const;
    // The stretch's sound frame the segment's first packet is made from (0 on its own).
    std::int64_t first_grid_frame() const;
    // Silence up to output sample `end`: a source without sound keeps pace with the picture.
    void silence_until(std::int64_t end);
    // Flushes the resampler and lets the encoder complete the last sound: a frame of silence
    // after it, the rest of the last encoder frame padded with silence.
    void finish();

    // Sound read ahead of a joinable segment's first frame: decoders of compressed sound
    // settle within a few of their frames after a seek.
    static constexpr int kSettleMs = 250;

private:
    struct Span {
        std::int64_t from = 0, to = 0;  // input samples from the time origin; to: INT64_MAX to the end
    };
    struct Grid;
    Grid grid() const;
    std::int64_t lead_of(const Grid& g, std::int64_t sourceRate) const;
    Span span_at(std::int64_t sourceRate) const;
    void begin(std::int64_t sourceRate);
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
    std::int64_t written_ = 0;  // output samples handed to the encoder or dropped, from the mark-in
    std::int64_t skip_ = 0;     // output samples still to drop before the first frame
    std::int64_t outEnd_ = INT64_MAX;  // the output sample (from the mark-in) the sound stops at
    bool begun_ = false;        // the output's first sample is placed (written_ set)
    // Source position (input samples from the time origin) where the segment's sound has
    // reached; the next frame's samples go there.
    std::int64_t next_ = AV_NOPTS_VALUE;
    bool started_ = false;
};

}  // namespace shardex::encoder

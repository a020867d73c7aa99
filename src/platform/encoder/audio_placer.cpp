#include "platform/encoder/audio_placer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <numeric>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"

namespace shardex::encoder {

namespace {

// Output samples the resampler is run ahead of a joinable segment's first frame, on top of
// the meeting point of the two rates: far more than its filter spans.
constexpr std::int64_t kResamplerLead = 256;

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

AudioPlacer::AudioPlacer(AVCodecContext& encoder, Emit emit) : enc_(encoder), emit_(std::move(emit)) {}

void AudioPlacer::start(const Segment& segment) {
    seg_ = segment;
    swr_.reset();
    fifo_.reset();
    written_ = 0;
    skip_ = 0;
    outEnd_ = INT64_MAX;
    begun_ = false;
    next_ = AV_NOPTS_VALUE;
    started_ = false;
}

// A joinable segment's place on the stretch's sound grid, in output samples from the
// stretch's start: the mark-in, the first frame's start, and where the sound stops (INT64_MAX:
// at the end of the segment's sound, for the segment that ends the stretch).
struct AudioPlacer::Grid {
    std::int64_t in = 0, first = 0, stop = INT64_MAX;
};

AudioPlacer::Grid AudioPlacer::grid() const {
    const std::int64_t rate = enc_.sample_rate, fs = frame_size();
    Grid g;
    g.in = av_rescale(seg_.inMs - seg_.stretchInMs, rate, 1000);
    g.first = floor_div(g.in, fs) * fs;
    if (!seg_.endsStretch && seg_.outMs > 0)
        g.stop = (floor_div(av_rescale(seg_.outMs - seg_.stretchInMs, rate, 1000), fs) + 1) * fs;
    return g;
}

// Where the resampler starts, in output samples from the stretch's start: on the grid's first
// sample when the rates are equal, else on a sample where the two rates meet, ahead of it.
std::int64_t AudioPlacer::lead_of(const Grid& g, std::int64_t sourceRate) const {
    const std::int64_t rate = enc_.sample_rate;
    if (sourceRate <= 0 || sourceRate == rate) return g.first;
    const std::int64_t period = rate / std::gcd(rate, sourceRate);
    return std::max<std::int64_t>(0, floor_div(g.first - kResamplerLead, period) * period);
}

AudioPlacer::Span AudioPlacer::span_at(std::int64_t sourceRate) const {
    Span span;
    if (!seg_.joinable) {
        span.from = av_rescale(seg_.inMs, sourceRate, 1000);
        span.to = seg_.outMs > 0 ? av_rescale(seg_.outMs, sourceRate, 1000) : INT64_MAX;
        return span;
    }
    const Grid g = grid();
    const std::int64_t rate = enc_.sample_rate;
    const std::int64_t stretch = av_rescale(seg_.stretchInMs, sourceRate, 1000);
    span.from = stretch + av_rescale(lead_of(g, sourceRate), sourceRate, rate);
    if (g.stop != INT64_MAX) {
        const std::int64_t margin = sourceRate == rate ? 0 : kResamplerLead;
        span.to = stretch + av_rescale_rnd(g.stop + margin, sourceRate, rate, AV_ROUND_UP);
    } else {
        span.to = seg_.outMs > 0 ? av_rescale(seg_.outMs, sourceRate, 1000) : INT64_MAX;
    }
    return span;
}

// Places the output's first sample: at the mark-in, or for a joinable segment where the
// resampler starts, with what lies before the grid to be dropped.
void AudioPlacer::begin(std::int64_t sourceRate) {
    if (begun_) return;
    begun_ = true;
    if (!seg_.joinable) return;
    const Grid g = grid();
    const std::int64_t lead = lead_of(g, sourceRate);
    written_ = lead - g.in;
    skip_ = g.first - lead;
    if (g.stop != INT64_MAX) outEnd_ = g.stop - g.in;
}

std::int64_t AudioPlacer::read_from_ms(int sourceRate) const {
    if (!seg_.joinable || sourceRate <= 0) return seg_.inMs;
    const std::int64_t from = span_at(sourceRate).from;
    return std::max<std::int64_t>(0, from * 1000 / sourceRate - kSettleMs);
}

std::int64_t AudioPlacer::first_grid_frame() const { return seg_.joinable ? grid().first / frame_size() : 0; }

AVAudioFifo* AudioPlacer::fifo() {
    if (!fifo_) {
        fifo_.reset(av_audio_fifo_alloc(enc_.sample_fmt, enc_.ch_layout.nb_channels, 4096));
        if (!fifo_) throw std::bad_alloc();
    }
    return fifo_.get();
}

void AudioPlacer::add_silence(std::int64_t samples) {
    if (samples <= 0) return;
    AVAudioFifo* ff = fifo();
    const int channels = enc_.ch_layout.nb_channels;
    ff::FramePtr zero = ff::make_frame();
    const int chunk = 4096;
    zero->nb_samples = chunk;
    zero->format = enc_.sample_fmt;
    av_channel_layout_copy(&zero->ch_layout, &enc_.ch_layout);
    if (av_frame_get_buffer(zero.get(), 0) < 0) throw std::bad_alloc();
    av_samples_set_silence(zero->extended_data, 0, chunk, channels, enc_.sample_fmt);
    while (samples > 0) {
        int n = static_cast<int>(std::min<std::int64_t>(samples, chunk));
        if (av_audio_fifo_write(ff, reinterpret_cast<void**>(zero->extended_data), n) < n) throw std::bad_alloc();
        samples -= n;
    }
}

// Encodes whole encoder frames from the FIFO; with `all`, pads the rest with silence.
void AudioPlacer::drain(bool all) {
    AVAudioFifo* ff = fifo();
    if (skip_ > 0) {
        const int n = static_cast<int>(std::min<std::int64_t>(skip_, av_audio_fifo_size(ff)));
        av_audio_fifo_drain(ff, n);
        written_ += n;
        skip_ -= n;
        if (skip_ > 0) return;
    }
    const int fs = frame_size();
    if (all && av_audio_fifo_size(ff) % fs) add_silence(fs - av_audio_fifo_size(ff) % fs);
    while (av_audio_fifo_size(ff) >= fs) {
        ff::FramePtr fr = ff::make_frame();
        fr->nb_samples = fs;
        fr->format = enc_.sample_fmt;
        fr->sample_rate = enc_.sample_rate;
        av_channel_layout_copy(&fr->ch_layout, &enc_.ch_layout);
        if (av_frame_get_buffer(fr.get(), 0) < 0) throw std::bad_alloc();
        av_audio_fifo_read(ff, reinterpret_cast<void**>(fr->extended_data), fs);
        fr->pts = written_;
        written_ += fs;
        emit_(fr.get());
    }
}

// Sets up the conversion of the source's sound (in the format of its first frame `f`).
void AudioPlacer::ensure_resampler(const AVFrame* f) {
    if (swr_) return;
    AVChannelLayout inLayout{};
    if (f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_copy(&inLayout, &f->ch_layout);
    else av_channel_layout_default(&inLayout, f->ch_layout.nb_channels);
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &enc_.ch_layout, enc_.sample_fmt, enc_.sample_rate, &inLayout,
                                 static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    swr_.reset(raw);
    if (rc >= 0) rc = swr_init(swr_.get());
    if (rc < 0) fail("cannot convert the source's sound: " + ff::error_text(rc), errors::kDecodeFailed);
}

// Converts `count` samples of `f` from `offset` on (null f: flush the resampler).
void AudioPlacer::resample_into_fifo(const AVFrame* f, int offset, int count) {
    if (!swr_) {
        if (!f) return;
        ensure_resampler(f);
    }
    const std::uint8_t* in[AV_NUM_DATA_POINTERS] = {};
    int inCount = 0;
    if (f) {
        const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(f->format));
        const int bps = av_get_bytes_per_sample(static_cast<AVSampleFormat>(f->format));
        const int chans = f->ch_layout.nb_channels;
        const int planes = planar ? chans : 1;
        for (int i = 0; i < planes && i < AV_NUM_DATA_POINTERS; ++i)
            in[i] = f->extended_data[i] + static_cast<std::ptrdiff_t>(offset) * bps * (planar ? 1 : chans);
        inCount = count;
    }
    const int maxOut = swr_get_out_samples(swr_.get(), inCount);
    if (maxOut <= 0) return;
    ff::FramePtr tmp = ff::make_frame();
    tmp->nb_samples = maxOut;
    tmp->format = enc_.sample_fmt;
    av_channel_layout_copy(&tmp->ch_layout, &enc_.ch_layout);
    if (av_frame_get_buffer(tmp.get(), 0) < 0) throw std::bad_alloc();
    const int got = swr_convert(swr_.get(), tmp->extended_data, maxOut, f ? in : nullptr, inCount);
    if (got < 0) fail("cannot convert the source's sound: " + ff::error_text(got), errors::kDecodeFailed);
    // Nothing past where the sound stops: the resampler was fed beyond it to fill its filter.
    const std::int64_t room = outEnd_ == INT64_MAX ? got : outEnd_ - written_ - av_audio_fifo_size(fifo());
    const int keep = static_cast<int>(std::clamp<std::int64_t>(room, 0, got));
    if (keep > 0 && av_audio_fifo_write(fifo(), reinterpret_cast<void**>(tmp->extended_data), keep) < keep)
        throw std::bad_alloc();
}

bool AudioPlacer::take(const AVFrame* f, std::int64_t pts, AVRational tb, int decoderRate) {
    const std::int64_t sr = f->sample_rate > 0 ? f->sample_rate : decoderRate;
    if (sr <= 0 || f->nb_samples <= 0) return true;
    if (seg_.empty) return false;
    const Span span = span_at(sr);
    const std::int64_t from = span.from, to = span.to;
    if (next_ == AV_NOPTS_VALUE) {
        next_ = from;
        begin(sr);
    }
    std::int64_t first = next_;  // without a timestamp: right after the last frame
    if (pts != AV_NOPTS_VALUE) {
        const std::int64_t at = av_rescale_q(pts, tb, {1, static_cast<int>(sr)});
        if (!started_ || std::llabs(at - next_) > sr * kAudioSlackMs / 1000) first = at;
    }
    if (first >= to) return false;
    const std::int64_t lo = std::max(first, next_);
    const std::int64_t hi = std::min<std::int64_t>(first + f->nb_samples, to);
    if (hi <= lo) return true;
    ensure_resampler(f);
    if (lo > next_) {
        // Sound that begins after the mark-in, or a hole in it: silence, in step with the picture.
        const int rc = swr_inject_silence(swr_.get(), static_cast<int>(std::min<std::int64_t>(lo - next_, INT32_MAX)));
        if (rc < 0) fail("cannot convert the source's sound: " + ff::error_text(rc), errors::kDecodeFailed);
    }
    started_ = true;
    resample_into_fifo(f, static_cast<int>(lo - first), static_cast<int>(hi - lo));
    next_ = hi;
    drain(false);
    return true;
}

void AudioPlacer::silence_until(std::int64_t end) {
    begin(0);
    add_silence(std::min(end, outEnd_) - written_ - av_audio_fifo_size(fifo()));
    drain(false);
}

void AudioPlacer::finish() {
    if (swr_) resample_into_fifo(nullptr, 0, 0);
    // A joinable segment that stops short of the stretch's end fills its frames to the end,
    // sound or not: the join counts on them.
    if (seg_.joinable && !seg_.empty && grid().stop != INT64_MAX) silence_until(grid().stop - grid().in);
    if (!begun_ || (written_ == 0 && av_audio_fifo_size(fifo()) == 0)) return;
    // Each encoded frame overlaps the next one: a frame of silence after the last sound lets
    // the encoder complete it instead of fading it out.
    add_silence(frame_size());
    drain(true);
}

}  // namespace shardex::encoder

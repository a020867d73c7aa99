#include "platform/encoder/audio_placer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"

namespace shardex::encoder {

AudioPlacer::AudioPlacer(AVCodecContext& encoder, Emit emit) : enc_(encoder), emit_(std::move(emit)) {}

void AudioPlacer::start(const Segment& segment) {
    seg_ = segment;
    swr_.reset();
    fifo_.reset();
    written_ = 0;
    next_ = AV_NOPTS_VALUE;
    started_ = false;
}

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
    if (got > 0 && av_audio_fifo_write(fifo(), reinterpret_cast<void**>(tmp->extended_data), got) < got)
        throw std::bad_alloc();
}

bool AudioPlacer::take(const AVFrame* f, std::int64_t pts, AVRational tb, int decoderRate) {
    const std::int64_t sr = f->sample_rate > 0 ? f->sample_rate : decoderRate;
    if (sr <= 0 || f->nb_samples <= 0) return true;
    if (seg_.empty) return false;
    const std::int64_t from = av_rescale(seg_.inMs, sr, 1000);
    const std::int64_t to = seg_.outMs > 0 ? av_rescale(seg_.outMs, sr, 1000) : INT64_MAX;
    if (next_ == AV_NOPTS_VALUE) next_ = from;
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
    add_silence(end - written_ - av_audio_fifo_size(fifo()));
    drain(false);
}

void AudioPlacer::finish() {
    if (swr_) resample_into_fifo(nullptr, 0, 0);
    if (written_ == 0 && av_audio_fifo_size(fifo()) == 0) return;
    // Each encoded frame overlaps the next one: a frame of silence after the last sound lets
    // the encoder complete it instead of fading it out.
    add_silence(frame_size());
    drain(true);
}

}  // namespace shardex::encoder

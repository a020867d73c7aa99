#include "platform/encoder/source_input.h"

#include <algorithm>
#include <cstdio>

#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"
#include "platform/encoder/source_open.h"

namespace shardex::encoder {
std::shared_ptr<ByteSource> SourceOpener::source_for(const std::string& path) {
    if (!opener_) return nullptr;
    auto it = sources_.find(path);
    if (it != sources_.end()) return it->second;
    std::shared_ptr<ByteSource> source;
    try {
        source = opener_(path);
    } catch (const Error& e) {
        if (e.code() != 0) throw;
        fail("cannot open source " + in_quotes(path) + ": " + e.what(), errors::kSourceUnreadable);
    }
    return sources_.emplace(path, std::move(source)).first->second;
}

SourceInput::SourceInput(const std::string& path, const std::shared_ptr<ByteSource>& source, AVMediaType type,
                         const OpenBounds& bounds, int threads)
    : path_(path), video_(type == AVMEDIA_TYPE_VIDEO), interrupt_(bounds.interrupt),
      demux_(open_demuxer(path, source, bounds)) {
    const int idx = av_find_best_stream(fmt(), type, -1, -1, nullptr, 0);
    if (idx < 0) return;
    stream_ = idx;
    for (unsigned i = 0; i < fmt()->nb_streams; ++i)
        fmt()->streams[i]->discard = static_cast<int>(i) == idx ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* s = st();
    tb_ = s->time_base;
    // Every stream of a file is timed from the file's start (the earliest of its streams), so
    // a sound that starts later than the picture stays behind it by the same amount.
    if (fmt()->start_time != AV_NOPTS_VALUE) startPts_ = av_rescale_q(fmt()->start_time, AV_TIME_BASE_Q, tb_);
    else startPts_ = s->start_time == AV_NOPTS_VALUE ? 0 : s->start_time;
    if (video_) {
        AVRational rate = s->avg_frame_rate.num > 0 ? s->avg_frame_rate : s->r_frame_rate;
        if (rate.num > 0 && rate.den > 0) frameTicks_ = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), tb_));
    }
    const char* kind = video_ ? "video" : "audio";
    const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
    if (!codec)
        fail(std::string("cannot decode the ") + kind + " of " + in_quotes(path) + ": no decoder for " +
                 avcodec_get_name(s->codecpar->codec_id),
             errors::kSourceUnreadable);
    dec_.reset(avcodec_alloc_context3(codec));
    if (!dec_) throw std::bad_alloc();
    int rc = avcodec_parameters_to_context(dec_.get(), s->codecpar);
    if (rc >= 0) {
        dec_->thread_count = threads;
        dec_->pkt_timebase = s->time_base;
        rc = avcodec_open2(dec_.get(), codec, nullptr);
    }
    if (rc < 0)
        fail(std::string("cannot decode the ") + kind + " of " + in_quotes(path) + ": " + ff::error_text(rc),
             errors::kSourceUnreadable);
    if (video_ && (dec_->width <= 0 || dec_->height <= 0))
        fail("cannot read source " + in_quotes(path) + ": the video has no frame size", errors::kSourceUnreadable);
}

SourceInput::~SourceInput() = default;

AVFormatContext* SourceInput::fmt() const { return demux_ ? demux_->fmt() : nullptr; }

void SourceInput::end_open_limit() { demux_->endOpenLimit(); }

bool SourceInput::interrupted() const { return interrupt_ && interrupt_->triggered(); }
AVStream* SourceInput::st() const { return fmt()->streams[stream_]; }

std::int64_t SourceInput::duration_ms() const {
    const AVFormatContext* f = fmt();
    if (f->duration != AV_NOPTS_VALUE && f->duration > 0) return f->duration / 1000;
    std::int64_t best = 0;
    for (unsigned i = 0; i < f->nb_streams; ++i) {
        const AVStream* s = f->streams[i];
        if (s->duration != AV_NOPTS_VALUE && s->duration > 0)
            best = std::max(best, av_rescale_q(s->duration, s->time_base, {1, 1000}));
    }
    return best;
}

AVRational SourceInput::display_aspect() const {
    if (!video_ || !dec_ || dec_->width <= 0 || dec_->height <= 0) return {0, 1};
    AVRational sar = av_guess_sample_aspect_ratio(fmt(), st(), nullptr);
    if (sar.num <= 0 || sar.den <= 0) sar = {1, 1};
    AVRational dar{};
    av_reduce(&dar.num, &dar.den, static_cast<std::int64_t>(dec_->width) * sar.num,
              static_cast<std::int64_t>(dec_->height) * sar.den, 1 << 16);
    return dar;
}

// A read that failed is an error, unless the job was stopped meanwhile: the stop's interrupt
// is what ended the read, and the encode then ends as stopped, its file finished.
void SourceInput::failed(const char* what, const std::string& why) const {
    if (interrupted()) throw ReadingStopped{};
    fail(std::string(what) + " " + in_quotes(path_) + ": " + why, errors::kSourceUnreadable);
}

// After a seek: decoding starts afresh, and how the stream is timed is learnt again.
void SourceInput::restart_timing() {
    avcodec_flush_buffers(dec_.get());
    firstPacket_ = true;
    decodeTimed_ = false;
    lastTs_ = AV_NOPTS_VALUE;
}

// Seeks to `targetMs` from the time origin.
void SourceInput::seek_to(std::int64_t targetMs) {
    std::int64_t ts = startPts_ + av_rescale_q(targetMs, {1, 1000}, tb_);
    int rc = avformat_seek_file(fmt(), stream_, INT64_MIN, ts, ts, 0);
    if (rc < 0) rc = avformat_seek_file(fmt(), stream_, INT64_MIN, startPts_, startPts_, 0);
    if (rc < 0) rc = av_seek_frame(fmt(), stream_, startPts_, AVSEEK_FLAG_BACKWARD);
    if ((rc < 0 && targetMs > 0) || !demux_->readError().empty())
        failed("cannot seek in source", reason(*demux_, rc));
    restart_timing();
}

// Notes the first packet after a seek: without a presentation time the stream is timed by
// decode times.
void SourceInput::note_packet(const AVPacket* p) {
    if (!firstPacket_) return;
    firstPacket_ = false;
    decodeTimed_ = p->pts == AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE && frameTicks_ > 0;
}

std::int64_t SourceInput::picture_ts(const AVFrame* f) {
    std::int64_t ts;
    if (decodeTimed_) {
        ts = f->pkt_dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : f->pkt_dts - dec_->has_b_frames * frameTicks_;
        if (lastTs_ != AV_NOPTS_VALUE && (ts == AV_NOPTS_VALUE || ts <= lastTs_)) ts = lastTs_ + frameTicks_;
        if (ts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
        lastTs_ = ts;
    } else {
        ts = f->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) ts = f->pts;
        if (ts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
    }
    return ts - startPts_;
}

std::int64_t SourceInput::sound_ts(const AVFrame* f) const {
    const std::int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    return ts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ts - startPts_;
}

double SourceInput::picture_seconds(const AVFrame* f, AVRational fallbackFps) const {
    if (decodeTimed_) return static_cast<double>(frameTicks_) * av_q2d(tb_);
    if (ff::frame_duration(*f) > 0) return static_cast<double>(ff::frame_duration(*f)) * av_q2d(tb_);
    if (st()->avg_frame_rate.num > 0) return 1.0 / av_q2d(st()->avg_frame_rate);
    return 1.0 / av_q2d(fallbackFps);
}

std::int64_t SourceInput::first_picture_from(std::int64_t ms) {
    rewind(ms);
    std::int64_t found = AV_NOPTS_VALUE;
    while (!done_ && found == AV_NOPTS_VALUE) {
        step([&](AVFrame* f) {
            const std::int64_t ts = picture_ts(f);
            if (ts == AV_NOPTS_VALUE || av_compare_ts(ts, tb_, ms, {1, 1000}) < 0) return Next::kMore;
            found = ts;
            return Next::kStop;
        });
    }
    return found;
}

// Reads after a seek until the first decoded frame; returns its time from the time origin
// (NOPTS: none within a bounded number of packets).
std::int64_t SourceInput::first_frame_ts() {
    AVPacket* pkt = pkt_.get();
    for (int i = 0; i < 4096; ++i) {
        int rc = av_read_frame(fmt(), pkt);
        if (!demux_->readError().empty()) {
            if (rc >= 0) av_packet_unref(pkt);
            failed("cannot read source", demux_->readError());
        }
        if (rc >= 0 && pkt->stream_index != stream_) {
            av_packet_unref(pkt);
            continue;
        }
        if (rc >= 0) note_packet(pkt);
        avcodec_send_packet(dec_.get(), rc >= 0 ? pkt : nullptr);
        if (rc >= 0) av_packet_unref(pkt);
        if (avcodec_receive_frame(dec_.get(), decoded_.get()) >= 0) {
            const std::int64_t ts = video_ ? picture_ts(decoded_.get()) : sound_ts(decoded_.get());
            av_frame_unref(decoded_.get());
            return ts;
        }
        if (rc < 0) break;
    }
    return AV_NOPTS_VALUE;
}

// A seek lands on a key frame at or before its target in most containers, but not in all
// (some index only roughly, some not at all): the first decoded frame is checked, and the
// seek goes further back until decoding starts at or before the mark-in, in the end at the
// file's first byte.
void SourceInput::rewind(std::int64_t markInMs) {
    done_ = false;
    clock_ = 0;
    if (!fmt()) return;
    std::int64_t backMs = 0;
    for (;;) {
        const std::int64_t targetMs = std::max<std::int64_t>(0, markInMs - backMs);
        seek_to(targetMs);
        const std::int64_t first = first_frame_ts();
        if (first != AV_NOPTS_VALUE && av_compare_ts(first, tb_, markInMs, {1, 1000}) <= 0) {
            seek_to(targetMs);
            return;
        }
        if (targetMs == 0) break;
        backMs = backMs ? backMs * 2 : 1000;
    }
    // Nothing earlier to seek to by time: read from the very start.
    int rc = av_seek_frame(fmt(), -1, 0, AVSEEK_FLAG_BYTE);
    if (rc < 0) rc = avformat_seek_file(fmt(), -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
    if (!demux_->readError().empty())
        failed("cannot seek in source", reason(*demux_, rc));
    if (rc < 0) seek_to(0);
    restart_timing();
}

void SourceInput::step(const FrameHandler& onFrame) {
    AVPacket* pkt = pkt_.get();
    const int rc = av_read_frame(fmt(), pkt);
    // (A packet the failure cut short comes back as a packet; it is not decoded either.)
    // A stop ends a read in flight: this stream's part then ends as stopped, not failed.
    if (!demux_->readError().empty()) {
        if (rc >= 0) av_packet_unref(pkt);
        if (interrupted()) {
            done_ = true;
            return;
        }
        failed("cannot read source", demux_->readError());
    }
    ff::PacketPtr own;
    if (rc >= 0) {
        if (pkt->stream_index != stream_) {
            av_packet_unref(pkt);
            return;
        }
        note_packet(pkt);
        const std::int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        if (ts != AV_NOPTS_VALUE) clock_ = static_cast<double>(ts - startPts_) * av_q2d(tb_);
        own = ff::make_packet();
        av_packet_move_ref(own.get(), pkt);
    }
    decode(own.get(), onFrame);
    // At the end of the file, or of a damaged or truncated one, the decoder was drained: what
    // could be read is encoded.
    if (!own) done_ = true;
}

// Decodes `p` (null: drains the decoder), handing each frame to `onFrame`.
void SourceInput::decode(const AVPacket* p, const FrameHandler& onFrame) {
    const int sent = avcodec_send_packet(dec_.get(), p);
    if (sent < 0 && sent != AVERROR_EOF) return;  // a damaged packet: skip it and go on with the next
    for (;;) {
        // A failure inside the decoder is damaged data; later packets may still decode.
        if (avcodec_receive_frame(dec_.get(), decoded_.get()) < 0) return;
        const Next next = onFrame(decoded_.get());
        av_frame_unref(decoded_.get());
        if (next == Next::kEnd) done_ = true;
        if (next != Next::kMore) return;
    }
}

}  // namespace shardex::encoder

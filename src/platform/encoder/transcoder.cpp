#include "platform/encoder/transcoder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include "platform/encoder/errors.h"

namespace shardex::encoder {
namespace {

[[noreturn]] void fail(const std::string& what, std::int32_t code) { throw Error(what, code); }

std::string in_quotes(const std::string& s) { return "'" + s + "'"; }

// Why writing the output failed, in words a user acts on: a full disk (or a used-up quota)
// says so first, since the user then frees room rather than looks for a broken file.
std::string write_failure(const std::string& what, const std::string& path, int rc) {
    const std::string text = what + " " + in_quotes(path) + ": " + ff::error_text(rc);
    if (rc == AVERROR(ENOSPC) || rc == AVERROR(EDQUOT)) return "the disk is full: " + text;
    return text;
}

// The profile's frame rate as an exact rational: the NTSC family (29.97 and friends) maps
// to n*1000/1001 so that timestamps stay exact.
AVRational frame_rate_of(int thousandths) {
    for (int n : {24, 30, 48, 60, 120}) {
        if (thousandths == static_cast<int>(std::lround(n * 1000.0 * 1000.0 / 1001.0))) return {n * 1000, 1001};
    }
    AVRational r{thousandths, 1000};
    av_reduce(&r.num, &r.den, r.num, r.den, 1 << 30);
    return r;
}

// A ByteSource read by one demuxer: its own position, and the text of the last failure,
// which cannot cross FFmpeg's C callbacks as an exception and is told to the user instead
// of FFmpeg's bare "I/O error".
struct SourceReader {
    std::shared_ptr<ByteSource> source;
    std::int64_t pos = 0;
    std::string error;

    static int read(void* opaque, std::uint8_t* buf, int size) {
        auto* r = static_cast<SourceReader*>(opaque);
        try {
            const std::int64_t n = r->source->read(r->pos, buf, size);
            if (n <= 0) return AVERROR_EOF;
            r->pos += n;
            return static_cast<int>(n);
        } catch (const std::exception& e) {
            r->error = e.what();
        } catch (...) {
            r->error = "unexpected failure";
        }
        return AVERROR(EIO);
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* r = static_cast<SourceReader*>(opaque);
        try {
            switch (whence & ~AVSEEK_FORCE) {
                case AVSEEK_SIZE: return r->source->size();
                case SEEK_SET: break;
                case SEEK_CUR: offset += r->pos; break;
                case SEEK_END: offset += r->source->size(); break;
                default: return AVERROR(EINVAL);
            }
            if (offset < 0) return AVERROR(EINVAL);
            r->pos = offset;
            return offset;
        } catch (const std::exception& e) {
            r->error = e.what();
        } catch (...) {
            r->error = "unexpected failure";
        }
        return AVERROR(EIO);
    }
};

// An I/O context frees its buffer (FFmpeg may have replaced the one it was given) and itself.
struct AvioDeleter {
    void operator()(AVIOContext* c) const {
        if (c == nullptr) return;
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
};
using AvioPtr = std::unique_ptr<AVIOContext, AvioDeleter>;

// An opened source file. Over a ByteSource it owns the reader and the I/O context too; the
// members are destroyed in reverse order, so the format context is closed before the I/O
// context it reads through is freed.
struct Demuxer {
    std::unique_ptr<SourceReader> reader;  // null for a local file
    AvioPtr avio;
    ff::InputFormatPtr fmt;

    // What the reader last failed with, "" when it did not (or there is none).
    std::string readError() const { return reader ? reader->error : std::string(); }
};

// One demuxer reading one stream of a source file (the other streams are discarded so the
// demuxer skips their data).
struct Input {
    std::string path;
    std::unique_ptr<Demuxer> demux;
    int stream = -1;
    ff::CodecContextPtr dec;
    AVRational tb{1, 1};
    std::int64_t startPts = 0;
    bool done = false;
    double clock = 0;  // seconds of the last packet read; the input behind is read first

    AVFormatContext* fmt() const { return demux ? demux->fmt.get() : nullptr; }
    AVStream* st() const { return fmt()->streams[stream]; }
};

// A failure of FFmpeg on a source: the reader's own description when it has one.
std::string reason(const Demuxer& d, int rc) {
    std::string e = d.readError();
    return e.empty() ? ff::error_text(rc) : e;
}

constexpr int kAvioBufferBytes = 64 << 10;

// Opens `path`, as a local file when `source` is null, else through `source`.
std::unique_ptr<Demuxer> open_format(const std::string& path, const std::shared_ptr<ByteSource>& source) {
    auto d = std::make_unique<Demuxer>();
    AVFormatContext* raw = nullptr;
    if (source) {
        d->reader = std::make_unique<SourceReader>();
        d->reader->source = source;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kAvioBufferBytes));
        if (!buffer) throw std::bad_alloc();
        d->avio.reset(avio_alloc_context(buffer, kAvioBufferBytes, 0, d->reader.get(), &SourceReader::read, nullptr,
                                         &SourceReader::seek));
        if (!d->avio) {
            av_free(buffer);
            throw std::bad_alloc();
        }
        raw = avformat_alloc_context();
        if (!raw) throw std::bad_alloc();
        raw->pb = d->avio.get();
        raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    // On failure FFmpeg frees the format context (not a custom I/O context, which stays ours).
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) fail("cannot open source " + in_quotes(path) + ": " + reason(*d, rc), errors::kSourceUnreadable);
    d->fmt.reset(raw);
    rc = avformat_find_stream_info(d->fmt.get(), nullptr);
    if (rc < 0 || !d->readError().empty())
        fail("cannot read source " + in_quotes(path) + ": " + reason(*d, rc), errors::kSourceUnreadable);
    return d;
}

// Opens `path` for its best stream of `type`; returns an Input without a stream (-1) when
// the file has none.
Input open_input(const std::string& path, const std::shared_ptr<ByteSource>& source, AVMediaType type, int threads) {
    Input in;
    in.path = path;
    in.demux = open_format(path, source);
    int idx = av_find_best_stream(in.fmt(), type, -1, -1, nullptr, 0);
    if (idx < 0) return in;
    in.stream = idx;
    for (unsigned i = 0; i < in.fmt()->nb_streams; ++i)
        in.fmt()->streams[i]->discard = static_cast<int>(i) == idx ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* st = in.st();
    in.tb = st->time_base;
    in.startPts = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    const char* kind = type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec)
        fail(std::string("cannot decode the ") + kind + " of " + in_quotes(path) + ": no decoder for " +
                 avcodec_get_name(st->codecpar->codec_id),
             errors::kSourceUnreadable);
    in.dec.reset(avcodec_alloc_context3(codec));
    if (!in.dec) throw std::bad_alloc();
    int rc = avcodec_parameters_to_context(in.dec.get(), st->codecpar);
    if (rc >= 0) {
        in.dec->thread_count = threads;
        in.dec->pkt_timebase = st->time_base;
        rc = avcodec_open2(in.dec.get(), codec, nullptr);
    }
    if (rc < 0)
        fail(std::string("cannot decode the ") + kind + " of " + in_quotes(path) + ": " + ff::error_text(rc),
             errors::kSourceUnreadable);
    if (type == AVMEDIA_TYPE_VIDEO && (in.dec->width <= 0 || in.dec->height <= 0))
        fail("cannot read source " + in_quotes(path) + ": the video has no frame size", errors::kSourceUnreadable);
    return in;
}

std::int64_t duration_ms_of(const AVFormatContext* fmt) {
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) return fmt->duration / 1000;
    std::int64_t best = 0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            best = std::max(best, av_rescale_q(st->duration, st->time_base, {1, 1000}));
    }
    return best;
}

}  // namespace

struct Transcoder::Impl {
    TranscodeSettings s;
    Input video, audio;
    bool silentAudio = false;  // the profile wants audio but the source has none
    std::int64_t durationMs = 0;
    ff::OutputFormatPtr out;

    // Per run.
    ff::CodecContextPtr venc, aenc;
    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    std::string passStats;   // analysis pass output, read by the final pass
    bool analysis = false;   // running the analysis pass (nothing is written)
    bool headerWritten = false;
    std::int64_t markIn = 0, markOut = 0;  // ms; markOut 0 = to the end
    bool emptySegment = false;             // a mark-out at or before the mark-in: nothing to encode
    AVRational fps{30, 1};
    const RunControl* control = nullptr;
    LiveFigures* figures = nullptr;
    ff::PacketPtr pkt = ff::make_packet();
    ff::FramePtr decoded = ff::make_frame();

    // Video timing: slot n of the output is shown at anchor + n / fps, the anchor being the
    // first source frame of the segment, so a source at the profile's rate maps one to one.
    std::int64_t nextSlot = 0;
    double anchor = -1;  // seconds of source time; < 0 until the first frame
    ff::FramePtr held;          // latest source frame not yet superseded
    ff::FramePtr heldScaled;    // `held` converted to the encoder's format, made on first use
    double lastPos = -1, lastDur = 0;  // in output frame units
    bool videoEnded = false;    // a frame at or past mark-out was seen
    ff::SwsPtr sws;
    int swsW = 0, swsH = 0, swsFmt = -1;

    // Audio.
    ff::SwrPtr swr;
    ff::AudioFifoPtr fifo;
    std::int64_t audioWritten = 0;     // samples handed to the encoder (output rate)
    std::int64_t audioRunning = AV_NOPTS_VALUE;  // next expected input sample index
    bool audioStarted = false;
    std::vector<std::uint8_t> convBuf;

    // ---- set-up ----

    void open(const TranscodeSettings& settings) {
        s = settings;
        const ProfileData& p = s.profile;
        if (p.audiences.empty()) fail("profile " + in_quotes(p.name) + " has no audience", errors::kBadProfile);
        // One opener answer per path: the video and audio demuxers of one file share its
        // ByteSource, and so its cache.
        std::map<std::string, std::shared_ptr<ByteSource>> sources;
        auto source_of = [&](const std::string& path) -> std::shared_ptr<ByteSource> {
            if (!s.openInput) return nullptr;
            auto it = sources.find(path);
            if (it == sources.end()) it = sources.emplace(path, open_source(path)).first;
            return it->second;
        };
        if (p.hasVideo()) {
            if (s.videoPath.empty()) fail("no input set for the video source", errors::kBadConfiguration);
            video = open_input(s.videoPath, source_of(s.videoPath), AVMEDIA_TYPE_VIDEO, s.decodeThreads);
            if (video.stream < 0) fail("source " + in_quotes(s.videoPath) + " has no video", errors::kSourceUnreadable);
            durationMs = duration_ms_of(video.fmt());
        }
        if (p.hasAudio()) {
            std::string path = s.audioPath.empty() ? s.videoPath : s.audioPath;
            if (path.empty()) fail("no input set for the audio source", errors::kBadConfiguration);
            audio = open_input(path, source_of(path), AVMEDIA_TYPE_AUDIO, s.decodeThreads);
            if (audio.stream < 0) {
                if (!p.hasVideo()) fail("source " + in_quotes(path) + " has no audio", errors::kSourceUnreadable);
                silentAudio = true;
                audio = Input{};
            }
            if (!p.hasVideo()) durationMs = duration_ms_of(audio.fmt());
        }
        // Try the encoders now so that a profile they refuse fails here, not mid-encode.
        if (p.hasVideo()) open_video_encoder(0);
        if (p.hasAudio()) open_audio_encoder();
        venc.reset();
        aenc.reset();

        AVFormatContext* raw = nullptr;
        int rc = avformat_alloc_output_context2(&raw, nullptr, "asf", s.outputPath.c_str());
        if (rc < 0 || !raw) fail("cannot set up the output: " + ff::error_text(rc), errors::kInternal);
        out.reset(raw);
        rc = avio_open(&out->pb, s.outputPath.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0)
            fail(write_failure("cannot create output file", s.outputPath, rc), errors::kOutputUnavailable);
    }

    // The opener's ByteSource for `path` (null: a local file). Its refusals keep their own
    // text and gain the source's code.
    std::shared_ptr<ByteSource> open_source(const std::string& path) {
        try {
            return s.openInput(path);
        } catch (const Error& e) {
            if (e.code() != 0) throw;
            fail("cannot open source " + in_quotes(path) + ": " + e.what(), errors::kSourceUnreadable);
        }
    }

    // pass: 0 one pass, 1 analysis pass, 2 final pass of two.
    void open_video_encoder(int pass) {
        const AudienceData& a = s.profile.audiences.front();
        AVCodecID id = a.videoCodec == 1 ? AV_CODEC_ID_WMV1 : AV_CODEC_ID_WMV2;
        const AVCodec* codec = avcodec_find_encoder(id);
        if (!codec) fail(std::string("no encoder for ") + video_codec_name(a.videoCodec), errors::kEncodeFailed);
        venc.reset(avcodec_alloc_context3(codec));
        if (!venc) throw std::bad_alloc();
        AVCodecContext* c = venc.get();
        fps = frame_rate_of(a.fps);
        c->width = a.width;
        c->height = a.height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->sample_aspect_ratio = {1, 1};
        c->time_base = av_inv_q(fps);
        c->framerate = fps;
        c->gop_size = std::max(1, static_cast<int>(std::lround(av_q2d(fps) * a.keyframeMs / 1000.0)));
        c->max_b_frames = 0;
        c->thread_count = std::max(1, s.codecThreads);
        const int bufferMs = a.videoBufferMs > 0 ? a.videoBufferMs : 5000;
        switch (s.profile.videoMode) {
            case kModeCbr:
                c->bit_rate = a.videoBitrate;
                c->rc_max_rate = a.videoBitrate;
                c->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(
                    INT32_MAX, static_cast<std::int64_t>(a.videoBitrate) * bufferMs / 1000));
                c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
                break;
            case kModeVbrPeak: {
                c->bit_rate = a.videoBitrate;
                std::int64_t peak = std::max(a.peakBitrate, a.videoBitrate);
                c->rc_max_rate = peak;
                c->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(INT32_MAX, peak * bufferMs / 1000));
                break;
            }
            case kModeVbrQuality: {
                int q = std::clamp(a.quality, 0, 100);
                c->flags |= AV_CODEC_FLAG_QSCALE;
                c->global_quality = FF_QP2LAMBDA * (2 + (100 - q) * 29 / 100);
                c->bit_rate = a.videoBitrate;
                break;
            }
            default:
                c->bit_rate = a.videoBitrate;
                break;
        }
        if (pass == 1) c->flags |= AV_CODEC_FLAG_PASS1;
        if (pass == 2) {
            c->flags |= AV_CODEC_FLAG_PASS2;
            c->stats_in = passStats.data();  // stays owned by passStats; detached before freeing
        }
        if (out && (out->oformat->flags & AVFMT_GLOBALHEADER)) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int rc = avcodec_open2(c, codec, nullptr);
        c->stats_in = nullptr;  // read during open only
        if (rc < 0)
            fail("the " + video_codec_name(a.videoCodec) + " encoder refused profile " + in_quotes(s.profile.name) +
                     ": " + ff::error_text(rc),
                 errors::kEncodeFailed);
    }

    void open_audio_encoder() {
        const AudienceData& a = s.profile.audiences.front();
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
        if (!codec) fail("no Windows Media Audio encoder", errors::kEncodeFailed);
        aenc.reset(avcodec_alloc_context3(codec));
        if (!aenc) throw std::bad_alloc();
        AVCodecContext* c = aenc.get();
        c->sample_rate = a.audioSampleRate;
        av_channel_layout_default(&c->ch_layout, a.audioChannels);
        c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        c->bit_rate = a.audioBitrate;
        c->time_base = {1, a.audioSampleRate};
        c->thread_count = 1;
        if (out && (out->oformat->flags & AVFMT_GLOBALHEADER)) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int rc = avcodec_open2(c, codec, nullptr);
        if (rc < 0)
            fail("the Windows Media Audio encoder refused profile " + in_quotes(s.profile.name) + ": " +
                     ff::error_text(rc),
                 errors::kEncodeFailed);
    }

    // ---- running ----

    void rewind(Input& in) {
        in.done = false;
        in.clock = 0;
        if (!in.fmt()) return;
        std::int64_t ts = in.startPts + av_rescale_q(markIn, {1, 1000}, in.tb);
        int rc = avformat_seek_file(in.fmt(), in.stream, INT64_MIN, ts, ts, 0);
        if (rc < 0) rc = avformat_seek_file(in.fmt(), in.stream, INT64_MIN, in.startPts, in.startPts, 0);
        if (rc < 0) rc = av_seek_frame(in.fmt(), in.stream, in.startPts, AVSEEK_FLAG_BACKWARD);
        if ((rc < 0 && markIn > 0) || !in.demux->readError().empty())
            fail("cannot seek in source " + in_quotes(in.path) + ": " + reason(*in.demux, rc), errors::kSourceUnreadable);
        avcodec_flush_buffers(in.dec.get());
    }

    void reset_pass_state() {
        nextSlot = 0;
        held.reset();
        heldScaled.reset();
        lastPos = -1;
        lastDur = 0;
        anchor = -1;
        videoEnded = false;
        swr.reset();
        fifo.reset();
        audioWritten = 0;
        audioRunning = AV_NOPTS_VALUE;
        audioStarted = false;
    }

    bool stop_requested() const { return control->stopRequested && control->stopRequested(); }

    void write_packet(AVPacket* p, AVCodecContext* enc, AVStream* st) {
        if (st == vst && control->observer) control->observer->packet(p, enc->time_base);
        const std::int64_t endMs = av_rescale_q(p->pts + std::max<std::int64_t>(p->duration, 0), enc->time_base, {1, 1000});
        av_packet_rescale_ts(p, enc->time_base, st->time_base);
        p->stream_index = st->index;
        int rc = av_interleaved_write_frame(out.get(), p);
        if (rc < 0)
            fail(write_failure("cannot write output file", s.outputPath, rc), errors::kWriteFailed);
        figures->bytes.store(std::max<std::int64_t>(0, avio_tell(out->pb)), std::memory_order_relaxed);
        if (endMs > figures->mediaMs.load(std::memory_order_relaxed))
            figures->mediaMs.store(endMs, std::memory_order_relaxed);
    }

    // Sends one frame (null: flush) and writes or analyses what comes out.
    void encode(AVCodecContext* enc, AVStream* st, AVFrame* frame) {
        int rc = avcodec_send_frame(enc, frame);
        if (rc < 0 && rc != AVERROR_EOF)
            fail(std::string("encoding the ") + (enc == venc.get() ? "video" : "audio") + " failed: " + ff::error_text(rc),
                 errors::kEncodeFailed);
        for (;;) {
            rc = avcodec_receive_packet(enc, pkt.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0)
                fail(std::string("encoding the ") + (enc == venc.get() ? "video" : "audio") + " failed: " +
                         ff::error_text(rc),
                     errors::kEncodeFailed);
            if (analysis) {
                if (enc->stats_out) passStats += enc->stats_out;
                av_packet_unref(pkt.get());
                continue;
            }
            if (pkt->duration <= 0 && enc == venc.get()) pkt->duration = 1;
            write_packet(pkt.get(), enc, st);
            av_packet_unref(pkt.get());
        }
    }

    // ---- video ----

    AVFrame* scaled_held() {
        if (heldScaled) return heldScaled.get();
        AVFrame* src = held.get();
        if (!sws || swsW != src->width || swsH != src->height || swsFmt != src->format) {
            sws.reset(sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format), venc->width,
                                     venc->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
            if (!sws) fail("cannot convert the source's pictures (unsupported pixel format)", errors::kDecodeFailed);
            swsW = src->width;
            swsH = src->height;
            swsFmt = src->format;
        }
        // A new picture each time: the encoder may still hold references to the last one.
        heldScaled = ff::make_frame();
        heldScaled->width = venc->width;
        heldScaled->height = venc->height;
        heldScaled->format = AV_PIX_FMT_YUV420P;
        if (av_frame_get_buffer(heldScaled.get(), 0) < 0) throw std::bad_alloc();
        sws_scale(sws.get(), src->data, src->linesize, 0, src->height, heldScaled->data, heldScaled->linesize);
        return heldScaled.get();
    }

    void emit_slot() {
        AVFrame* f = scaled_held();
        f->pts = nextSlot++;
        f->pict_type = AV_PICTURE_TYPE_NONE;
        encode(venc.get(), vst, f);
        if (silentAudio && aenc && !analysis) {
            std::int64_t target = av_rescale_q(nextSlot, av_inv_q(fps), {1, aenc->sample_rate});
            add_silence(target - audioWritten - av_audio_fifo_size(fifo_ptr()));
            drain_fifo(false);
        }
    }

    // Output frames up to (not including) slot position `limit`.
    void fill_slots_before(double limit) {
        while (held && static_cast<double>(nextSlot) < limit) {
            if (stop_requested()) return;
            emit_slot();
        }
    }

    void on_video_frame(AVFrame* f) {
        std::int64_t pts = f->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = f->pts;
        if (pts == AV_NOPTS_VALUE) return;
        pts -= video.startPts;
        if (!emptySegment && av_compare_ts(pts, video.tb, markIn, {1, 1000}) < 0) return;  // before the segment
        if (emptySegment || (markOut > 0 && av_compare_ts(pts, video.tb, markOut, {1, 1000}) >= 0)) {
            videoEnded = true;
            video.done = true;
            return;
        }
        const double t = static_cast<double>(pts) * av_q2d(video.tb);
        if (anchor < 0) anchor = t;
        const double pos = (t - anchor) * av_q2d(fps);
        double dur = 0;
        if (f->pkt_duration > 0) dur = static_cast<double>(f->pkt_duration) * av_q2d(video.tb);
        else if (video.st()->avg_frame_rate.num > 0) dur = 1.0 / av_q2d(video.st()->avg_frame_rate);
        else dur = 1.0 / av_q2d(fps);
        // Slot n shows the latest frame that starts no later than half a slot after it.
        fill_slots_before(pos - 0.5);
        held = ff::make_frame();
        av_frame_move_ref(held.get(), f);
        heldScaled.reset();
        lastPos = pos;
        lastDur = dur * av_q2d(fps);
    }

    void finish_video() {
        if (!held) return;
        double end = lastPos + lastDur;
        if (markOut > 0) end = std::min(end, (static_cast<double>(markOut) / 1000.0 - anchor) * av_q2d(fps));
        // Slots that start before the end of the segment; the tolerance absorbs rounding.
        fill_slots_before(end - 1e-3);
        held.reset();
        heldScaled.reset();
    }

    // ---- audio ----

    AVAudioFifo* fifo_ptr() {
        if (!fifo) {
            fifo.reset(av_audio_fifo_alloc(aenc->sample_fmt, aenc->ch_layout.nb_channels, 4096));
            if (!fifo) throw std::bad_alloc();
        }
        return fifo.get();
    }

    void add_silence(std::int64_t samples) {
        if (samples <= 0) return;
        AVAudioFifo* ff = fifo_ptr();
        const int channels = aenc->ch_layout.nb_channels;
        ff::FramePtr zero = ff::make_frame();
        const int chunk = 4096;
        zero->nb_samples = chunk;
        zero->format = aenc->sample_fmt;
        av_channel_layout_copy(&zero->ch_layout, &aenc->ch_layout);
        if (av_frame_get_buffer(zero.get(), 0) < 0) throw std::bad_alloc();
        av_samples_set_silence(zero->extended_data, 0, chunk, channels, aenc->sample_fmt);
        while (samples > 0) {
            int n = static_cast<int>(std::min<std::int64_t>(samples, chunk));
            if (av_audio_fifo_write(ff, reinterpret_cast<void**>(zero->extended_data), n) < n) throw std::bad_alloc();
            samples -= n;
        }
    }

    // Encodes whole encoder frames from the FIFO; with `all`, pads the rest with silence.
    void drain_fifo(bool all) {
        AVAudioFifo* ff = fifo_ptr();
        const int fs = aenc->frame_size > 0 ? aenc->frame_size : 2048;
        if (all && av_audio_fifo_size(ff) % fs) add_silence(fs - av_audio_fifo_size(ff) % fs);
        while (av_audio_fifo_size(ff) >= fs) {
            ff::FramePtr fr = ff::make_frame();
            fr->nb_samples = fs;
            fr->format = aenc->sample_fmt;
            fr->sample_rate = aenc->sample_rate;
            av_channel_layout_copy(&fr->ch_layout, &aenc->ch_layout);
            if (av_frame_get_buffer(fr.get(), 0) < 0) throw std::bad_alloc();
            av_audio_fifo_read(ff, reinterpret_cast<void**>(fr->extended_data), fs);
            fr->pts = audioWritten;
            audioWritten += fs;
            encode(aenc.get(), ast, fr.get());
        }
    }

    // Converts `count` samples of `f` from `offset` on (null f: flush the resampler).
    void resample_into_fifo(const AVFrame* f, int offset, int count) {
        if (!swr) {
            AVChannelLayout inLayout{};
            if (f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_copy(&inLayout, &f->ch_layout);
            else av_channel_layout_default(&inLayout, f->ch_layout.nb_channels);
            SwrContext* raw = nullptr;
            int rc = swr_alloc_set_opts2(&raw, &aenc->ch_layout, aenc->sample_fmt, aenc->sample_rate, &inLayout,
                                         static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&inLayout);
            swr.reset(raw);
            if (rc >= 0) rc = swr_init(swr.get());
            if (rc < 0) fail("cannot convert the source's sound: " + ff::error_text(rc), errors::kDecodeFailed);
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
        const int maxOut = swr_get_out_samples(swr.get(), inCount);
        if (maxOut <= 0) return;
        ff::FramePtr tmp = ff::make_frame();
        tmp->nb_samples = maxOut;
        tmp->format = aenc->sample_fmt;
        av_channel_layout_copy(&tmp->ch_layout, &aenc->ch_layout);
        if (av_frame_get_buffer(tmp.get(), 0) < 0) throw std::bad_alloc();
        int got = swr_convert(swr.get(), tmp->extended_data, maxOut, f ? in : nullptr, inCount);
        if (got < 0) fail("cannot convert the source's sound: " + ff::error_text(got), errors::kDecodeFailed);
        if (got > 0 && av_audio_fifo_write(fifo_ptr(), reinterpret_cast<void**>(tmp->extended_data), got) < got)
            throw std::bad_alloc();
    }

    void on_audio_frame(AVFrame* f) {
        const std::int64_t sr = f->sample_rate > 0 ? f->sample_rate : audio.dec->sample_rate;
        if (sr <= 0 || f->nb_samples <= 0) return;
        std::int64_t first = audioRunning;
        std::int64_t pts = f->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = f->pts;
        if (pts != AV_NOPTS_VALUE) first = av_rescale_q(pts - audio.startPts, audio.tb, {1, static_cast<int>(sr)});
        if (first == AV_NOPTS_VALUE) first = 0;
        audioRunning = first + f->nb_samples;
        const std::int64_t from = av_rescale(markIn, sr, 1000);
        const std::int64_t to = markOut > 0 ? av_rescale(markOut, sr, 1000) : INT64_MAX;
        const std::int64_t lo = std::max(first, from);
        const std::int64_t hi = std::min<std::int64_t>(first + f->nb_samples, to);
        if (first >= to || emptySegment) {
            audio.done = true;
            return;
        }
        if (hi <= lo) return;
        if (!audioStarted) {
            audioStarted = true;
            // Sound that begins after mark-in starts with silence, so it stays in step with the picture.
            add_silence(av_rescale(lo - from, aenc->sample_rate, sr));
        }
        resample_into_fifo(f, static_cast<int>(lo - first), static_cast<int>(hi - lo));
        drain_fifo(false);
    }

    void finish_audio() {
        if (!aenc) return;
        if (swr) resample_into_fifo(nullptr, 0, 0);
        if (silentAudio && venc) {
            std::int64_t target = av_rescale_q(nextSlot, av_inv_q(fps), {1, aenc->sample_rate});
            add_silence(target - audioWritten - av_audio_fifo_size(fifo_ptr()));
        }
        if (av_audio_fifo_size(fifo_ptr()) > 0) drain_fifo(true);
    }

    // ---- reading ----

    void decode_packet(Input& in, const AVPacket* p) {
        int rc = avcodec_send_packet(in.dec.get(), p);
        if (rc < 0 && rc != AVERROR_EOF) return;  // a damaged packet: skip it and go on with the next
        for (;;) {
            rc = avcodec_receive_frame(in.dec.get(), decoded.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) return;  // damaged data inside the decoder; later packets may still decode
            if (&in == &video) on_video_frame(decoded.get());
            else on_audio_frame(decoded.get());
            av_frame_unref(decoded.get());
            if (in.done || stop_requested()) return;
        }
    }

    // Reads and decodes one packet of `in`; at the end of the file drains the decoder.
    void step(Input& in) {
        int rc = av_read_frame(in.fmt(), pkt.get());
        // A source read through its share that fails to answer is an error, not an end:
        // encoding what was read would give a file silently cut short. (A packet the failure
        // cut short comes back as a packet; it is not decoded either.)
        if (!in.demux->readError().empty()) {
            if (rc >= 0) av_packet_unref(pkt.get());
            fail("cannot read source " + in_quotes(in.path) + ": " + in.demux->readError(), errors::kSourceUnreadable);
        }
        if (rc < 0) {
            // End of file, or a damaged/truncated file: what could be read is encoded.
            decode_packet(in, nullptr);
            in.done = true;
            return;
        }
        if (pkt->stream_index == in.stream) {
            std::int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
            if (ts != AV_NOPTS_VALUE) in.clock = static_cast<double>(ts - in.startPts) * av_q2d(in.tb);
            ff::PacketPtr own = ff::make_packet();
            av_packet_move_ref(own.get(), pkt.get());
            decode_packet(in, own.get());
        } else {
            av_packet_unref(pkt.get());
        }
    }

    // One pass over the segment. Returns false when stopped.
    bool pass(bool withAudio) {
        reset_pass_state();
        Input* v = venc ? &video : nullptr;
        Input* a = (withAudio && aenc && !silentAudio) ? &audio : nullptr;
        if (v) rewind(*v);
        if (a) rewind(*a);
        for (;;) {
            if (control->waitWhilePaused) control->waitWhilePaused();
            if (stop_requested()) break;
            const bool vLive = v && !v->done;
            const bool aLive = a && !a->done;
            if (!vLive && !aLive) break;
            if (vLive && (!aLive || v->clock <= a->clock)) step(*v);
            else step(*a);
        }
        const bool stopped = stop_requested();
        if (v) {
            if (!stopped) finish_video();
            encode(venc.get(), vst, nullptr);
        }
        if (aenc && !analysis) {
            finish_audio();
            encode(aenc.get(), ast, nullptr);
        }
        return !stopped;
    }

    void add_streams_and_header() {
        if (venc) {
            vst = avformat_new_stream(out.get(), nullptr);
            if (!vst) throw std::bad_alloc();
            avcodec_parameters_from_context(vst->codecpar, venc.get());
            vst->time_base = venc->time_base;
            vst->avg_frame_rate = fps;
            vst->r_frame_rate = fps;
        }
        if (aenc) {
            ast = avformat_new_stream(out.get(), nullptr);
            if (!ast) throw std::bad_alloc();
            avcodec_parameters_from_context(ast->codecpar, aenc.get());
            ast->time_base = aenc->time_base;
        }
        auto set = [&](const char* key, const std::string& v) {
            if (!v.empty()) av_dict_set(&out->metadata, key, v.c_str(), 0);
        };
        set("title", s.metadata.title);
        set("author", s.metadata.author);
        set("copyright", s.metadata.copyright);
        set("comment", s.metadata.description);
        int rc = avformat_write_header(out.get(), nullptr);
        if (rc < 0)
            fail(write_failure("cannot write output file", s.outputPath, rc), errors::kWriteFailed);
        headerWritten = true;
        figures->bytes.store(avio_tell(out->pb), std::memory_order_relaxed);
        if (control->observer && venc) control->observer->begin(venc.get());
    }

    void finish_file() {
        if (!headerWritten) return;
        headerWritten = false;
        if (control->observer && venc) control->observer->end();
        int rc = av_write_trailer(out.get());
        avio_flush(out->pb);
        // The muxer went back to complete the header; the file's size is its end.
        figures->bytes.store(std::max<std::int64_t>(0, avio_size(out->pb)), std::memory_order_relaxed);
        avio_closep(&out->pb);
        if (rc < 0)
            fail(write_failure("cannot finish output file", s.outputPath, rc), errors::kWriteFailed);
    }

    void run(std::int64_t in, std::int64_t outMs, bool twoPass, const RunControl& ctl, LiveFigures& figs) {
        if (!out || !out->pb) fail("the encoder is not prepared", errors::kBadConfiguration);
        control = &ctl;
        figures = &figs;
        markIn = std::max<std::int64_t>(0, in);
        // A mark-out that was never set (negative) or lies at or beyond the end runs to the
        // end; one at or before the mark-in is an empty segment, which still gives a valid file.
        emptySegment = outMs >= 0 && outMs <= markIn && !(durationMs > 0 && outMs >= durationMs);
        markOut = outMs > markIn && (durationMs <= 0 || outMs < durationMs) ? outMs : 0;
        const ProfileData& p = s.profile;
        const bool analyse = twoPass && p.hasVideo() && p.videoMode != kModeVbrQuality;
        try {
            bool finalTwoPass = false;
            if (analyse) {
                open_video_encoder(1);
                analysis = true;
                passStats.clear();
                const bool completed = pass(false);
                analysis = false;
                finalTwoPass = completed && !passStats.empty();
                venc.reset();
            }
            if (p.hasVideo()) open_video_encoder(finalTwoPass ? 2 : 0);
            if (p.hasAudio()) open_audio_encoder();
            add_streams_and_header();
            if (!stop_requested()) pass(true);
            finish_file();
        } catch (...) {
            analysis = false;
            try {
                finish_file();  // keep what was written readable
            } catch (...) {
            }
            throw;
        }
    }
};

Transcoder::Transcoder() : impl_(std::make_unique<Impl>()) {}
Transcoder::~Transcoder() = default;

void Transcoder::open(const TranscodeSettings& settings) { impl_->open(settings); }
std::int64_t Transcoder::durationMs() const { return impl_->durationMs; }
void Transcoder::run(std::int64_t markInMs, std::int64_t markOutMs, bool twoPass, const RunControl& control,
                     LiveFigures& figures) {
    impl_->run(markInMs, markOutMs, twoPass, control, figures);
}

}  // namespace shardex::encoder

// The encode of one segment, step by step: open the sources, try the encoders and check that
// the output can be made; then, for a run, an analysis pass when two passes are asked for,
// the encoders, the file's header, the pass that writes the segment, and the trailer. The
// parts own the details: source_input (reading, seeking, timestamps), codecs (the encoders'
// settings), asf_budget (what the container costs), asf_writer (the output file),
// video_retimer and audio_placer (the frame and sample grids of the output).
#include "platform/encoder/transcoder.h"

#include <algorithm>

#include "platform/encoder/asf_budget.h"
#include "platform/encoder/asf_writer.h"
#include "platform/encoder/audio_placer.h"
#include "platform/encoder/codecs.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"
#include "platform/encoder/packet_observer.h"
#include "platform/encoder/segment_tag.h"
#include "platform/encoder/source_input.h"
#include "platform/encoder/video_retimer.h"

namespace shardex::encoder {

struct Transcoder::Impl {
    TranscodeSettings s;
    std::unique_ptr<SourceInput> video, audio;
    bool silentAudio = false;  // the profile wants audio but the source has none
    std::int64_t durationMs = 0;
    std::unique_ptr<AsfWriter> writer;

    // Per run.
    Segment seg;
    std::int64_t stretchOutMs = 0;  // a joinable segment's stretch's end, resolved
    double stretchAnchor = -1;      // the time of the stretch's first picture, in seconds
    const RunControl* control = nullptr;
    LiveFigures* figures = nullptr;
    ff::CodecContextPtr venc, aenc;
    std::unique_ptr<VideoRetimer> retimer;  // made for venc
    std::unique_ptr<AudioPlacer> placer;    // made for aenc
    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    std::string passStats;  // analysis pass output, read by the final pass
    bool analysis = false;  // running the analysis pass (nothing is written)
    ff::PacketPtr pkt = ff::make_packet();

    void open(const TranscodeSettings& settings) {
        s = settings;
        const ProfileData& p = s.profile;
        if (p.audiences.empty()) fail("profile " + in_quotes(p.name) + " has no audience", errors::kBadProfile);
        SourceOpener sources(s.openInput);
        // Both sources are open within one limit, whichever of them takes its time.
        const OpenBounds bounds{s.interrupt.get(), s.openLimit, std::chrono::steady_clock::now() + s.openLimit};
        if (p.hasVideo()) {
            if (s.videoPath.empty()) fail("no input set for the video source", errors::kBadConfiguration);
            video = std::make_unique<SourceInput>(s.videoPath, sources.source_for(s.videoPath), AVMEDIA_TYPE_VIDEO,
                                                  bounds, s.decodeThreads);
            if (!video->has_stream())
                fail("source " + in_quotes(s.videoPath) + " has no video", errors::kSourceUnreadable);
            durationMs = video->duration_ms();
        }
        if (p.hasAudio()) {
            const std::string path = s.audioPath.empty() ? s.videoPath : s.audioPath;
            if (path.empty()) fail("no input set for the audio source", errors::kBadConfiguration);
            audio = std::make_unique<SourceInput>(path, sources.source_for(path), AVMEDIA_TYPE_AUDIO, bounds,
                                                  s.decodeThreads);
            if (!audio->has_stream()) {
                if (!p.hasVideo()) fail("source " + in_quotes(path) + " has no audio", errors::kSourceUnreadable);
                silentAudio = true;
                audio.reset();
            }
            if (!p.hasVideo()) durationMs = audio->duration_ms();
        }
        // Sources interrupted as their open ended have nothing left to read.
        if (s.interrupt && s.interrupt->triggered())
            fail("cannot open source " + in_quotes(s.videoPath.empty() ? s.audioPath : s.videoPath) +
                     ": reading it was stopped",
                 errors::kSourceUnreadable);
        for (SourceInput* in : {video.get(), audio.get()})
            if (in) in->end_open_limit();
        // Try the encoders now (and let them go) so that a profile they refuse fails here, not
        // mid-encode.
        if (p.hasVideo()) open_video_encoder(p, video_plan(0));
        if (p.hasAudio()) open_audio_encoder(p, global_header());
        writer = std::make_unique<AsfWriter>(s.outputPath, s.refuseLinkedOutput);
        writer->check_output_can_be_created();
    }

    void run(std::int64_t markInMs, std::int64_t markOutMs, const Stretch& stretch, bool twoPass, const RunControl& ctl,
             LiveFigures& figs) {
        if (!writer || !writer->idle()) fail("the encoder is not prepared", errors::kBadConfiguration);
        control = &ctl;
        figures = &figs;
        seg = segment_of(markInMs, markOutMs);
        if (stretch.set()) join_stretch(stretch);
        const ProfileData& p = s.profile;
        const bool analyse = twoPass && p.hasVideo() && p.videoMode != kModeVbrQuality;
        try {
            bool finalTwoPass = false;
            if (analyse) {
                open_video(1);
                analysis = true;
                passStats.clear();
                const bool completed = pass(false);
                analysis = false;
                finalTwoPass = completed && !passStats.empty();
                retimer.reset();
                venc.reset();
            }
            if (p.hasVideo()) open_video(finalTwoPass ? 2 : 0);
            if (p.hasAudio()) open_audio();
            add_streams_and_header();
            if (!stop_requested()) pass(true);
            finish_file();
        } catch (const ReadingStopped&) {
            analysis = false;
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

    // A mark-out that was never set (negative) or lies at or beyond the end runs to the end;
    // one at or before the mark-in is an empty segment, which still gives a valid file.
    Segment segment_of(std::int64_t markInMs, std::int64_t markOutMs) const {
        Segment g;
        g.inMs = std::max<std::int64_t>(0, markInMs);
        g.empty = markOutMs >= 0 && markOutMs <= g.inMs && !(durationMs > 0 && markOutMs >= durationMs);
        g.outMs = markOutMs > g.inMs && (durationMs <= 0 || markOutMs < durationMs) ? markOutMs : 0;
        return g;
    }

    // Makes the segment one of the consecutive segments of `stretch`, to be joined: checks that
    // it lies within it and finds the stretch's first picture, which anchors the picture grid.
    void join_stretch(const Stretch& stretch) {
        check_within(seg, stretch);
        stretchOutMs = stretch_end(stretch);
        const std::int64_t end = seg.outMs > 0 ? seg.outMs : durationMs;
        seg.joinable = true;
        seg.stretchInMs = stretch.startMs;
        seg.endsStretch = stretchOutMs <= 0 || end >= stretchOutMs;
        stretchAnchor = -1;
        if (video && s.profile.hasVideo()) {
            const std::int64_t ts = video->first_picture_from(stretch.startMs);
            if (ts != AV_NOPTS_VALUE) stretchAnchor = static_cast<double>(ts) * av_q2d(video->time_base());
        }
    }

    std::int64_t stretch_end(const Stretch& stretch) const {
        return stretch.endMs < 0 || (durationMs > 0 && stretch.endMs >= durationMs) ? durationMs : stretch.endMs;
    }

    void check_within(const Segment& g, const Stretch& stretch) const {
        const std::int64_t end = g.outMs > 0 ? g.outMs : durationMs;
        const std::int64_t stretchEnd = stretch_end(stretch);
        if (g.inMs < stretch.startMs || (!g.empty && stretchEnd > 0 && end > stretchEnd))
            fail("the segment from " + std::to_string(g.inMs) + " to " + std::to_string(end) +
                     " ms lies outside the stretch from " + std::to_string(stretch.startMs) + " to " +
                     std::to_string(stretchEnd) + " ms that its run splits",
                 errors::kBadConfiguration);
    }

    // Seconds of media this run writes: the segment (or the stretch of a segment made to be
    // joined: every segment gets the same budget), or the whole source before the marks are
    // known. 0 when not known.
    double segment_seconds() const {
        const std::int64_t from = seg.joinable ? seg.stretchInMs : seg.inMs;
        const std::int64_t end = seg.joinable && stretchOutMs > 0 ? stretchOutMs : seg.outMs > 0 ? seg.outMs : durationMs;
        return end > from ? static_cast<double>(end - from) / 1000.0 : 0.0;
    }

    // What a joinable segment's header says of its place in the run.
    SegmentTag segment_tag() {
        const AudienceData& a = s.profile.audiences.front();
        SegmentTag t;
        t.stretchStartMs = seg.stretchInMs;
        t.stretchEndMs = stretchOutMs;
        t.startMs = seg.inMs;
        t.endMs = seg.empty ? seg.inMs : seg.outMs > 0 ? seg.outMs : durationMs;
        if (venc) {
            retimer->start(seg, stretchAnchor);
            t.fpsNum = venc->framerate.num;
            t.fpsDen = venc->framerate.den;
            t.videoBitrate = venc->bit_rate;
            t.firstSlot = retimer->first_slot();
            if (stretchAnchor >= 0)
                t.slot0Us = std::llround((stretchAnchor - static_cast<double>(seg.stretchInMs) / 1000.0) * 1e6);
        }
        if (aenc) {
            placer->start(seg);
            t.soundFrame = aenc->frame_size;
            t.firstSoundFrame = placer->first_grid_frame();
        }
        t.profileBitrate = (s.profile.hasVideo() ? a.videoBitrate : 0) + (s.profile.hasAudio() ? a.audioBitrate : 0);
        t.profile = s.profile.name;
        return t;
    }

    bool stop_requested() const { return control->stopRequested && control->stopRequested(); }

    // The encoders tried at open() come before the writer and so without its header set-up.
    bool global_header() const { return writer && writer->wants_global_header(); }

    VideoEncoderPlan video_plan(int pass) {
        VideoEncoderPlan plan;
        plan.pass = pass;
        plan.passStats = &passStats;
        plan.seconds = segment_seconds();
        plan.metadata = &s.metadata;
        if (video) plan.sourceAspect = video->display_aspect();
        plan.threads = s.codecThreads;
        plan.globalHeader = global_header();
        return plan;
    }

    // pass: 0 one pass, 1 analysis pass, 2 final pass of two.
    void open_video(int pass) {
        venc = open_video_encoder(s.profile, video_plan(pass));
        retimer = std::make_unique<VideoRetimer>(
            *venc, [this](AVFrame* f) { on_slot(f); }, [this] { return stop_requested(); });
    }

    // Sound keeps the profile's rate even alone in a file: its frames have a fixed size, so
    // the ASF packets (a whole number of frames each, the rest padding) cost much the same
    // whether the encoder is given a little less or not. Alone, it gets packets cut to its
    // frames instead.
    void open_audio() {
        aenc = open_audio_encoder(s.profile, global_header());
        if (!s.profile.hasVideo()) {
            const int size = packet_size_for_sound(*aenc, s.metadata, segment_seconds());
            if (size > 0) writer->set_packet_size(size);
        }
        placer = std::make_unique<AudioPlacer>(*aenc, [this](AVFrame* f) { encode(aenc.get(), ast, f); });
    }

    void add_streams_and_header() {
        if (venc) vst = writer->add_stream(*venc, venc->framerate);
        if (aenc) ast = writer->add_stream(*aenc);
        writer->set_metadata(s.metadata);
        if (seg.joinable) writer->set_tag(SegmentTag::kKey, segment_tag().text());
        writer->write_header(figures->bytes);
        if (control->observer && venc) control->observer->begin(venc.get());
    }

    void finish_file() {
        if (writer->header_written() && control->observer && venc) control->observer->end();
        writer->finish();
    }

    // One pass over the segment. Returns false when stopped.
    bool pass(bool withAudio) {
        if (retimer) retimer->start(seg, stretchAnchor);
        if (placer) placer->start(seg);
        SourceInput* v = venc ? video.get() : nullptr;
        SourceInput* a = (withAudio && aenc && !silentAudio) ? audio.get() : nullptr;
        if (v) v->rewind(seg.inMs);
        if (a) a->rewind(placer->read_from_ms(a->decoder().sample_rate));
        // The input behind in media time is read first, so the two stay interleaved.
        for (;;) {
            if (control->waitWhilePaused) control->waitWhilePaused();
            if (stop_requested()) break;
            const bool vLive = v && !v->done();
            const bool aLive = a && !a->done();
            if (!vLive && !aLive) break;
            if (vLive && (!aLive || v->clock() <= a->clock())) v->step([this](AVFrame* f) { return on_picture(f); });
            else a->step([this](AVFrame* f) { return on_sound(f); });
        }
        const bool stopped = stop_requested();
        if (v) {
            if (!stopped) retimer->finish();
            encode(venc.get(), vst, nullptr);
        }
        if (aenc && !analysis) {
            if (silentAudio && venc) placer->silence_until(retimer->end_in_samples(aenc->sample_rate));
            placer->finish();
            encode(aenc.get(), ast, nullptr);
        }
        return !stopped;
    }

    SourceInput::Next next_after(bool taken) const {
        if (!taken) return SourceInput::Next::kEnd;
        return stop_requested() ? SourceInput::Next::kStop : SourceInput::Next::kMore;
    }

    SourceInput::Next on_picture(AVFrame* f) {
        const std::int64_t pts = video->picture_ts(f);
        if (pts == AV_NOPTS_VALUE) return next_after(true);
        return next_after(retimer->take(f, pts, video->time_base(), video->picture_seconds(f, venc->framerate)));
    }

    SourceInput::Next on_sound(AVFrame* f) {
        return next_after(placer->take(f, audio->sound_ts(f), audio->time_base(), audio->decoder().sample_rate));
    }

    // A slot of the picture grid goes to the encoder; a source without sound gets silence
    // that keeps pace with it.
    void on_slot(AVFrame* f) {
        encode(venc.get(), vst, f);
        if (silentAudio && aenc && !analysis) placer->silence_until(retimer->end_in_samples(aenc->sample_rate));
    }

    // Sends one frame (null: flush) and writes or analyses what comes out.
    void encode(AVCodecContext* enc, AVStream* st, AVFrame* frame) {
        const char* kind = enc == venc.get() ? "video" : "audio";
        int rc = avcodec_send_frame(enc, frame);
        if (rc < 0 && rc != AVERROR_EOF)
            fail(std::string("encoding the ") + kind + " failed: " + ff::error_text(rc), errors::kEncodeFailed);
        for (;;) {
            rc = avcodec_receive_packet(enc, pkt.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0)
                fail(std::string("encoding the ") + kind + " failed: " + ff::error_text(rc), errors::kEncodeFailed);
            if (analysis) {
                if (enc->stats_out) passStats += enc->stats_out;
            } else {
                if (pkt->duration <= 0 && enc == venc.get()) pkt->duration = 1;
                write_packet(pkt.get(), enc, st);
            }
            av_packet_unref(pkt.get());
        }
    }

    void write_packet(AVPacket* p, AVCodecContext* enc, AVStream* st) {
        if (st == vst && control->observer) control->observer->packet(p, enc->time_base);
        const std::int64_t offsetUs = st == vst ? retimer->offset_us() : 0;
        const std::int64_t endMs =
            av_rescale_q(p->pts + std::max<std::int64_t>(p->duration, 0), enc->time_base, {1, 1000}) + offsetUs / 1000;
        writer->write(p, enc->time_base, st, offsetUs);
        if (endMs > figures->mediaMs.load(std::memory_order_relaxed))
            figures->mediaMs.store(endMs, std::memory_order_relaxed);
    }
};

Transcoder::Transcoder() : impl_(std::make_unique<Impl>()) {}
Transcoder::~Transcoder() = default;

void Transcoder::open(const TranscodeSettings& settings) { impl_->open(settings); }
std::int64_t Transcoder::durationMs() const { return impl_->durationMs; }
void Transcoder::check_segment(std::int64_t markInMs, std::int64_t markOutMs, const Stretch& stretch) const {
    if (stretch.set()) impl_->check_within(impl_->segment_of(markInMs, markOutMs), stretch);
}
void Transcoder::run(std::int64_t markInMs, std::int64_t markOutMs, const Stretch& stretch, bool twoPass,
                     const RunControl& control, LiveFigures& figures) {
    impl_->run(markInMs, markOutMs, stretch, twoPass, control, figures);
}

}  // namespace shardex::encoder

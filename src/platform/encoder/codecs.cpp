#include "platform/encoder/codecs.h"

#include <algorithm>
#include <climits>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "platform/encoder/asf_budget.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"

namespace shardex::encoder {
namespace {

// Frames between key frames for a longest distance of `keyframeMs`.
int gop_of(AVRational fps, int keyframeMs) {
    return std::max(1, static_cast<int>(std::lround(av_q2d(fps) * keyframeMs / 1000.0)));
}

// Rate control aims this much under a ceiling it must not pass: the buffer model then has
// room to absorb a hard scene without the encoder being asked for a mean equal to its peak,
// which FFmpeg's rate control cannot reach ("impossible bitrate constraints").
std::int64_t aim_under(std::int64_t ceiling) { return ceiling - std::max<std::int64_t>(1, ceiling / 50); }

// The rate the video encoder is given for the profile: what the container leaves of the
// profile's video rate, with the profile's sound beside it.
std::int64_t video_budget_of(const ProfileData& p, const VideoEncoderPlan& plan) {
    const AudienceData& a = p.audiences.front();
    ff::CodecContextPtr audio;
    if (p.hasAudio()) audio = open_audio_encoder(p, plan.globalHeader);
    MuxedStreams m;
    m.videoCodec = video_codec(a.videoCodec).id;
    m.width = a.width;
    m.height = a.height;
    m.fps = frame_rate_of(a.fps);
    m.gop = gop_of(m.fps, a.keyframeMs);
    m.audio = audio.get();
    m.metadata = plan.metadata;
    return video_budget(a.videoBitrate, m, plan.seconds);
}

}  // namespace

const VideoCodec& video_codec(int index) {
    if (index < 0 || index >= video_codec_count())
        fail("video codec index " + std::to_string(index) + " out of range", errors::kBadProfile);
    return kVideoCodecs[index];
}

int video_codec_count() { return static_cast<int>(std::size(kVideoCodecs)); }

std::string video_codec_name(int index, std::string* fourcc) {
    const VideoCodec& codec = video_codec(index);
    if (fourcc) *fourcc = codec.fourcc;
    return codec.name;
}

AVRational frame_rate_of(int thousandths) {
    for (int n : {24, 30, 48, 60, 120}) {
        if (thousandths == static_cast<int>(std::lround(n * 1000.0 * 1000.0 / 1001.0))) return {n * 1000, 1001};
    }
    AVRational r{thousandths, 1000};
    av_reduce(&r.num, &r.den, r.num, r.den, 1 << 30);
    return r;
}

AVRational pixel_aspect_for(AVRational displayAspect, int width, int height) {
    if (displayAspect.num <= 0 || displayAspect.den <= 0 || width <= 0 || height <= 0) return {1, 1};
    AVRational sar{};
    av_reduce(&sar.num, &sar.den, static_cast<std::int64_t>(displayAspect.num) * height,
              static_cast<std::int64_t>(displayAspect.den) * width, 255);
    if (sar.num <= 0 || sar.den <= 0 || std::fabs(av_q2d(sar) - 1.0) < 0.005) return {1, 1};
    return sar;
}

ff::CodecContextPtr open_video_encoder(const ProfileData& profile, const VideoEncoderPlan& plan) {
    const AudienceData& a = profile.audiences.front();
    const VideoCodec& vc = video_codec(a.videoCodec);
    const AVCodec* codec = avcodec_find_encoder(vc.id);
    if (!codec) fail(std::string("no encoder for ") + vc.name, errors::kEncodeFailed);
    // Worked out before the encoder is allocated: it opens encoders of its own.
    const bool rated = profile.videoMode != kModeVbrQuality;
    const std::int64_t budget = rated ? video_budget_of(profile, plan) : a.videoBitrate;
    const std::int64_t containerShare = a.videoBitrate - budget;
    ff::CodecContextPtr enc(avcodec_alloc_context3(codec));
    if (!enc) throw std::bad_alloc();
    AVCodecContext* c = enc.get();
    const AVRational fps = frame_rate_of(a.fps);
    c->width = a.width;
    c->height = a.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->sample_aspect_ratio = pixel_aspect_for(plan.sourceAspect, a.width, a.height);
    c->time_base = av_inv_q(fps);
    c->framerate = fps;
    c->gop_size = gop_of(fps, a.keyframeMs);
    c->max_b_frames = 0;
    c->thread_count = std::max(1, plan.threads);
    const int bufferMs = a.videoBufferMs > 0 ? a.videoBufferMs : 5000;
    auto buffer_of = [&](std::int64_t rate) {
        return static_cast<int>(std::min<std::int64_t>(INT32_MAX, rate * bufferMs / 1000));
    };
    switch (profile.videoMode) {
        case kModeCbr:
            // The budget is the video's share of the channel: the buffer model keeps every
            // stretch of the stream within it, the mean lands just under it.
            c->rc_max_rate = budget;
            c->bit_rate = aim_under(budget);
            c->rc_buffer_size = buffer_of(budget);
            c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
            break;
        case kModeVbrPeak: {
            // The peak pays the same container share as the mean.
            const std::int64_t peak = std::max(budget, std::max(a.peakBitrate, a.videoBitrate) - containerShare);
            c->rc_max_rate = peak;
            c->bit_rate = peak > budget ? budget : aim_under(peak);
            c->rc_buffer_size = buffer_of(peak);
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
            c->bit_rate = budget;
            break;
    }
    // How far the running total may drift from the mean before rate control pulls it back:
    // one second of the stream. FFmpeg's default (4,000,000 bits) is minutes of a low-rate
    // stream, so a one-pass encode would hardly correct at all.
    if (rated) c->bit_rate_tolerance = static_cast<int>(std::clamp<std::int64_t>(c->bit_rate, 1, INT32_MAX));
    // A final pass asked for fewer bits than the analysis says the segment needs at the
    // coarsest quantiser is refused by FFmpeg's rate control, whose failure path frees its
    // state twice (FFmpeg 5.1). Such a segment is encoded in one pass instead, which gets as
    // close to the rate as the quantiser allows.
    int pass = plan.pass;
    if (pass == 2 && (!plan.passStats || !final_pass_reachable(*c, *plan.passStats))) pass = 0;
    if (pass == 1) c->flags |= AV_CODEC_FLAG_PASS1;
    if (pass == 2) {
        c->flags |= AV_CODEC_FLAG_PASS2;
        c->stats_in = plan.passStats->data();  // stays owned by the caller; detached before freeing
    }
    if (plan.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int rc = avcodec_open2(c, codec, nullptr);
    c->stats_in = nullptr;  // read during open only
    if (rc < 0)
        fail("the " + std::string(vc.name) + " encoder refused profile " + in_quotes(profile.name) + ": " +
                 ff::error_text(rc),
             errors::kEncodeFailed);
    return enc;
}

ff::CodecContextPtr open_audio_encoder(const ProfileData& profile, bool globalHeader) {
    const AudienceData& a = profile.audiences.front();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    if (!codec) fail("no Windows Media Audio encoder", errors::kEncodeFailed);
    ff::CodecContextPtr enc(avcodec_alloc_context3(codec));
    if (!enc) throw std::bad_alloc();
    AVCodecContext* c = enc.get();
    c->sample_rate = a.audioSampleRate;
    av_channel_layout_default(&c->ch_layout, a.audioChannels);
    c->sample_fmt = ff::preferred_sample_format(*codec, AV_SAMPLE_FMT_FLTP);
    c->bit_rate = a.audioBitrate;
    c->time_base = {1, a.audioSampleRate};
    c->thread_count = 1;
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0)
        fail("the Windows Media Audio encoder refused profile " + in_quotes(profile.name) + ": " + ff::error_text(rc),
             errors::kEncodeFailed);
    return enc;
}

}  // namespace shardex::encoder

#include "platform/encoder/stretch_plan.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/encoder/audio_placer.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"
#include "platform/encoder/video_retimer.h"

namespace shardex::encoder {
namespace {

std::int64_t end_of(const Segment& g, std::int64_t durationMs) { return g.outMs > 0 ? g.outMs : durationMs; }

}  // namespace

Segment segment_of(std::int64_t markInMs, std::int64_t markOutMs, std::int64_t durationMs) {
    Segment g;
    g.inMs = std::max<std::int64_t>(0, markInMs);
    g.empty = markOutMs >= 0 && markOutMs <= g.inMs && !(durationMs > 0 && markOutMs >= durationMs);
    g.outMs = markOutMs > g.inMs && (durationMs <= 0 || markOutMs < durationMs) ? markOutMs : 0;
    return g;
}

std::int64_t stretch_end_ms(const Stretch& stretch, std::int64_t durationMs) {
    return stretch.endMs < 0 || (durationMs > 0 && stretch.endMs >= durationMs) ? durationMs : stretch.endMs;
}

void check_within(const Segment& g, const Stretch& stretch, std::int64_t durationMs) {
    const std::int64_t end = end_of(g, durationMs);
    const std::int64_t stretchEnd = stretch_end_ms(stretch, durationMs);
    if (g.inMs < stretch.startMs || (!g.empty && stretchEnd > 0 && end > stretchEnd))
        fail("the segment from " + std::to_string(g.inMs) + " to " + std::to_string(end) +
                 " ms lies outside the stretch from " + std::to_string(stretch.startMs) + " to " +
                 std::to_string(stretchEnd) + " ms that its run splits",
             errors::kBadConfiguration);
}

std::int64_t join_to_stretch(Segment& seg, const Stretch& stretch, std::int64_t durationMs) {
    check_within(seg, stretch, durationMs);
    const std::int64_t stretchOut = stretch_end_ms(stretch, durationMs);
    seg.joinable = true;
    seg.stretchInMs = stretch.startMs;
    seg.endsStretch = stretchOut <= 0 || end_of(seg, durationMs) >= stretchOut;
    return stretchOut;
}

double budget_seconds(const Segment& seg, std::int64_t stretchOutMs, std::int64_t durationMs) {
    const std::int64_t from = seg.joinable ? seg.stretchInMs : seg.inMs;
    const std::int64_t end = seg.joinable && stretchOutMs > 0 ? stretchOutMs : end_of(seg, durationMs);
    return end > from ? static_cast<double>(end - from) / 1000.0 : 0.0;
}

SegmentTag segment_tag_for(const TagInputs& in) {
    const Segment& seg = *in.seg;
    const ProfileData& p = *in.profile;
    const AudienceData& a = p.audiences.front();
    SegmentTag t;
    t.stretchStartMs = seg.stretchInMs;
    t.stretchEndMs = in.stretchOutMs;
    t.startMs = seg.inMs;
    t.endMs = seg.empty ? seg.inMs : end_of(seg, in.durationMs);
    if (in.venc && in.retimer) {
        in.retimer->start(seg, in.stretchAnchor);
        t.fpsNum = in.venc->framerate.num;
        t.fpsDen = in.venc->framerate.den;
        t.videoBitrate = in.venc->bit_rate;
        t.firstSlot = in.retimer->first_slot();
        if (in.stretchAnchor >= 0)
            t.slot0Us = std::llround((in.stretchAnchor - static_cast<double>(seg.stretchInMs) / 1000.0) * 1e6);
    }
    if (in.aenc && in.placer) {
        in.placer->start(seg);
        t.soundFrame = in.aenc->frame_size;
        t.firstSoundFrame = in.placer->first_grid_frame();
    }
    t.profileBitrate = (p.hasVideo() ? a.videoBitrate : 0) + (p.hasAudio() ? a.audioBitrate : 0);
    t.profile = p.name;
    return t;
}

}  // namespace shardex::encoder

#include "platform/encoder/video_retimer.h"

#include <algorithm>
#include <cmath>

#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"

namespace shardex::encoder {

VideoRetimer::VideoRetimer(const AVCodecContext& encoder, Emit emit, StopRequested stop)
    : enc_(encoder), fps_(encoder.framerate), emit_(std::move(emit)), stop_(std::move(stop)) {}

void VideoRetimer::start(const Segment& segment, double stretchAnchorSeconds) {
    seg_ = segment;
    nextSlot_ = 0;
    firstSlot_ = 0;
    held_.reset();
    heldScaled_.reset();
    lastPos_ = -1;
    lastDur_ = 0;
    anchor_ = -1;
    offsetUs_ = 0;
    endSlot_ = -1;
    if (seg_.joinable && stretchAnchorSeconds >= 0) {
        anchor_ = stretchAnchorSeconds;
        firstSlot_ = nextSlot_ = slot_at_or_after(static_cast<double>(seg_.inMs) / 1000.0);
        if (seg_.outMs > 0) endSlot_ = slot_at_or_after(static_cast<double>(seg_.outMs) / 1000.0);
        const double first = anchor_ + static_cast<double>(firstSlot_) / av_q2d(fps_);
        offsetUs_ = std::max<std::int64_t>(0, std::llround((first - static_cast<double>(seg_.inMs) / 1000.0) * 1e6));
    }
}

// The first slot shown at or after `seconds` of source time. The same tolerance as the end
// of a segment's slots, so that consecutive segments share out the slots exactly.
std::int64_t VideoRetimer::slot_at_or_after(double seconds) const {
    return std::max<std::int64_t>(0, static_cast<std::int64_t>(std::ceil((seconds - anchor_) * av_q2d(fps_) - kSlotTolerance)));
}

std::int64_t VideoRetimer::end_in_samples(int rate) const {
    return av_rescale_q(nextSlot_ - firstSlot_, av_inv_q(fps_), {1, rate}) + av_rescale(offsetUs_, rate, 1000000);
}

AVFrame* VideoRetimer::scaled_held() {
    if (heldScaled_) return heldScaled_.get();
    AVFrame* src = held_.get();
    if (!sws_ || swsW_ != src->width || swsH_ != src->height || swsFmt_ != src->format) {
        sws_.reset(sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format), enc_.width,
                                  enc_.height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!sws_) fail("cannot convert the source's pictures (unsupported pixel format)", errors::kDecodeFailed);
        swsW_ = src->width;
        swsH_ = src->height;
        swsFmt_ = src->format;
    }
    // A new picture each time: the encoder may still hold references to the last one.
    heldScaled_ = ff::make_frame();
    heldScaled_->width = enc_.width;
    heldScaled_->height = enc_.height;
    heldScaled_->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(heldScaled_.get(), 0) < 0) throw std::bad_alloc();
    sws_scale(sws_.get(), src->data, src->linesize, 0, src->height, heldScaled_->data, heldScaled_->linesize);
    return heldScaled_.get();
}

void VideoRetimer::emit_slot() {
    AVFrame* f = scaled_held();
    f->pts = nextSlot_++ - firstSlot_;
    f->pict_type = AV_PICTURE_TYPE_NONE;
    emit_(f);
}

// Emits slots up to (not including) slot position `limit`.
void VideoRetimer::fill_slots_before(double limit) {
    while (held_ && static_cast<double>(nextSlot_) < limit) {
        if (stop_()) return;
        emit_slot();
    }
}

bool VideoRetimer::take(AVFrame* f, std::int64_t pts, AVRational tb, double seconds) {
    const bool early = av_compare_ts(pts, tb, seg_.inMs, {1, 1000}) < 0;
    const bool late = seg_.outMs > 0 && av_compare_ts(pts, tb, seg_.outMs, {1, 1000}) >= 0;
    // A picture before the segment, or after it, may still fill the first or last slots of a
    // joinable segment, whose slots lie on the stretch's grid.
    if (!seg_.empty && early && !seg_.joinable) return true;
    if (seg_.empty || (late && endSlot_ < 0)) return false;
    const double t = static_cast<double>(pts) * av_q2d(tb);
    if (anchor_ < 0) {
        anchor_ = t;
        offsetUs_ = std::max<std::int64_t>(0, av_rescale_q(pts, tb, {1, 1000000}) - seg_.inMs * 1000);
    }
    const double pos = (t - anchor_) * av_q2d(fps_);
    // Slot n shows the latest picture that starts no later than half a slot after it.
    if (late && pos - 0.5 >= static_cast<double>(endSlot_) - kSlotTolerance) return false;
    fill_slots_before(endSlot_ < 0 ? pos - 0.5 : std::min(pos - 0.5, static_cast<double>(endSlot_) - kSlotTolerance));
    held_ = ff::make_frame();
    av_frame_move_ref(held_.get(), f);
    heldScaled_.reset();
    lastPos_ = pos;
    lastDur_ = seconds * av_q2d(fps_);
    return true;
}

void VideoRetimer::finish() {
    if (!held_) return;
    double end = lastPos_ + lastDur_;
    if (endSlot_ >= 0) end = std::min(end, static_cast<double>(endSlot_));
    else if (seg_.outMs > 0) end = std::min(end, (static_cast<double>(seg_.outMs) / 1000.0 - anchor_) * av_q2d(fps_));
    // Slots that start before the end of the segment; the tolerance absorbs rounding.
    fill_slots_before(end - kSlotTolerance);
    held_.reset();
    heldScaled_.reset();
}

}  // namespace shardex::encoder

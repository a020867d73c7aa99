// The pictures of an encode on the output's frame grid. Slot n of the output shows source time
// anchor + n / fps, the anchor being the first source picture of the segment, so a source at
// the profile's rate maps one to one; a slot shows the latest picture that starts no later
// than half a slot after it, so pictures are repeated or dropped to fill the grid. The
// output's time zero is the mark-in: slot n is shown at (anchor - mark-in) + n / fps, so a
// mark-in between two pictures keeps picture and sound together. A segment made to be joined
// keeps the grid of its whole stretch instead: the anchor is the stretch's first picture, the
// segment holds the slots whose time lies within it (so consecutive segments hold each slot
// once), and a picture from before its mark-in or after its mark-out still fills its first or
// last slots as it would in an encode of the whole stretch. Owns the held
// picture and its conversion to the encoder's size and pixel format.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/source_input.h"

namespace shardex::encoder {

class VideoRetimer {
public:
    // Hands a slot's picture, its pts the slot's number, to the encoder.
    using Emit = std::function<void(AVFrame*)>;
    // Asked between slots: true ends the filling early.
    using StopRequested = std::function<bool()>;

    // `encoder` is the opened video encoder the pictures are made for.
    VideoRetimer(const AVCodecContext& encoder, Emit emit, StopRequested stop);

    // Starts a pass over `segment`. A joinable segment's grid is anchored at
    // `stretchAnchorSeconds`, the time of the stretch's first picture from the time origin.
    void start(const Segment& segment, double stretchAnchorSeconds = -1);
    // Takes a decoded source picture, timed `pts` in `tb` from the time origin and lasting
    // `seconds`; fills the slots before it with the picture held until now. False when the
    // picture lies at or past the segment's end: the picture stream is done.
    bool take(AVFrame* f, std::int64_t pts, AVRational tb, double seconds);
    // Fills the slots to the end of the last picture (or of the segment) and lets it go.
    void finish();

    // The output time of the segment's first slot, in microseconds from the mark-in.
    std::int64_t offset_us() const { return offsetUs_; }
    // The first slot of the segment on the stretch's grid (0 for a segment on its own).
    std::int64_t first_slot() const { return firstSlot_; }
    // Where the slots emitted so far end, as a count of samples at `rate` from the output's
    // time zero: where a soundless source's silence reaches.
    std::int64_t end_in_samples(int rate) const;

private:
    // How far short of a whole slot a boundary may fall and still count as on it: absorbs
    // the rounding of times in milliseconds.
    static constexpr double kSlotTolerance = 1e-3;

    AVFrame* scaled_held();
    void emit_slot();
    void fill_slots_before(double limit);
    std::int64_t slot_at_or_after(double seconds) const;

    const AVCodecContext& enc_;
    AVRational fps_;
    Emit emit_;
    StopRequested stop_;
    Segment seg_;
    std::int64_t nextSlot_ = 0;
    std::int64_t firstSlot_ = 0;
    std::int64_t endSlot_ = -1;     // a joinable segment's first slot past its end; -1: none (to the end)
    double anchor_ = -1;            // seconds of source time; < 0 until the first picture
    std::int64_t offsetUs_ = 0;     // the first slot's time - mark-in
    ff::FramePtr held_;             // latest source picture not yet superseded
    ff::FramePtr heldScaled_;       // `held_` converted to the encoder's format, made on first use
    double lastPos_ = -1, lastDur_ = 0;  // in output frame units
    ff::SwsPtr sws_;
    int swsW_ = 0, swsH_ = 0, swsFmt_ = -1;
};

}  // namespace shardex::encoder

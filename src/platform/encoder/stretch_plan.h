// The segment an encode writes, from its marks; and a segment made to be joined: where the
// stretch its run splits ends, whether the segment lies within it, how many seconds the rate
// budget is spread over (the stretch's, so that every segment of a run gets the same budget),
// and what its header says of its place in the run.
#pragma once

#include <cstdint>

#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/profiles.h"
#include "platform/encoder/segment_tag.h"
#include "platform/encoder/source_input.h"
#include "platform/encoder/transcoder.h"

namespace shardex::encoder {

class VideoRetimer;
class AudioPlacer;

// A mark-out that was never set (negative) or lies at or beyond the end runs to the end;
// one at or before the mark-in is an empty segment, which still gives a valid file.
Segment segment_of(std::int64_t markInMs, std::int64_t markOutMs, std::int64_t durationMs);

// The end of `stretch` in the source's milliseconds: the source's end when it is open or
// beyond it.
std::int64_t stretch_end_ms(const Stretch& stretch, std::int64_t durationMs);

// Marks `seg` as a segment of `stretch` (throws kBadConfiguration when it lies outside it).
// Returns the stretch's resolved end.
std::int64_t join_to_stretch(Segment& seg, const Stretch& stretch, std::int64_t durationMs);

// Throws kBadConfiguration when `seg` does not lie within `stretch`.
void check_within(const Segment& seg, const Stretch& stretch, std::int64_t durationMs);

// Seconds of media the rate budget is spread over: a joinable segment's stretch, else the
// segment, else (marks not known yet) the whole source; 0 when not known.
double budget_seconds(const Segment& seg, std::int64_t stretchOutMs, std::int64_t durationMs);

// The header tag of a joinable segment. Starts the retimer and the placer (either may be
// null) on `seg`, whose first slot and sound frame it records.
struct TagInputs {
    const Segment* seg = nullptr;
    std::int64_t stretchOutMs = 0, durationMs = 0;
    double stretchAnchor = -1;  // the time of the stretch's first picture, in seconds; -1 none
    const ProfileData* profile = nullptr;
    const AVCodecContext* venc = nullptr;
    const AVCodecContext* aenc = nullptr;
    VideoRetimer* retimer = nullptr;
    AudioPlacer* placer = nullptr;
};
SegmentTag segment_tag_for(const TagInputs& in);

}  // namespace shardex::encoder

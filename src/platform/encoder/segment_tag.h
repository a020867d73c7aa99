// What a segment made to be joined says of its place in its run, written into its file's
// header under one tag, so that the join needs nothing but the files: the stretch the run
// split, the segment's own bounds, where its pictures and its sound lie on the stretch's
// frame grids, and the profile's rate. No FFmpeg here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace shardex::encoder {

struct SegmentTag {
    // The header tag (an ASF extended content description) that carries the text.
    static constexpr const char* kKey = "ShardexSegment";

    std::int64_t stretchStartMs = 0, stretchEndMs = 0;  // the run's stretch, its end resolved
    std::int64_t startMs = 0, endMs = 0;                // this segment, its end resolved
    // Pictures: slot n of the stretch's grid is shown at slot0Us + n / fps from the stretch's
    // start; the segment holds the slots from firstSlot on, one packet each.
    std::int64_t fpsNum = 0, fpsDen = 1;  // 0: no video
    std::int64_t videoBitrate = 0;        // the video encoder's rate, which the header's total holds
    std::int64_t slot0Us = 0;
    std::int64_t firstSlot = 0;
    // Sound: frame k of the stretch's sound grid covers samples [k, k + 1) * soundFrame from
    // the stretch's start at the profile's rate. The segment's encoder started on frame
    // firstSoundFrame, so its first packet only primes the encoder and its k-th packet equals
    // packet firstSoundFrame + k of an encode of the whole stretch.
    std::int64_t soundFrame = 0;  // samples per frame; 0: no sound
    std::int64_t firstSoundFrame = 0;
    std::int64_t profileBitrate = 0;  // the profile's total rate, bits per second
    std::string profile;             // the profile's name

    // One line of key=value words, the profile's name last (it may hold anything).
    std::string text() const;
    // The tag read back; empty when `text` is not one (hostile text included).
    static std::optional<SegmentTag> parse(std::string_view text);
};

}  // namespace shardex::encoder

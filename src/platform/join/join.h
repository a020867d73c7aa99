// The join: the consecutive segment files of one run, made by Shardex's encoders on this
// computer and its clients, put together into the one file of the whole stretch. No Qt, and
// no FFmpeg type in this header.
//
// Nothing is encoded again. The video packets are copied (each segment starts on a key frame
// and holds its own slots of the stretch's frame grid); the sound packets are spliced: every
// segment's sound encoder worked on the stretch's sound frame grid, so its packets equal
// those of an encode of the whole stretch and each seam is taken from the segment whose
// packet there has a frame of real sound before it. Timestamps are the grids' own, so they
// run on evenly across every seam, and the muxer writes the header's duration, bit rates and
// index for the whole file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace shardex::join {

struct JoinRequest {
    std::vector<std::string> inputs;  // the segment files, in any order
    std::string output;               // the joined file; replaced if it exists
    // Called on the caller's thread between packets with the share done (0..1).
    std::function<void(double)> onProgress;
    // Polled between packets: true ends the join, which then leaves no output.
    std::function<bool()> cancelled;
};

struct JoinResult {
    bool completed = false;            // false: cancelled, nothing written
    std::int64_t bytes = 0;            // the joined file's size
    std::int64_t durationMs = 0;       // its media's length
    std::int64_t profileBitrate = 0;   // the profile's total rate, bits per second
    std::string profile;               // the profile's name
    std::string rateWarning;           // rate_warning() of the joined file, "" when within its rate
};

// Joins `request.inputs` into `request.output`. The output is written under a temporary
// name in its folder and put in place only when complete, so a failure or a cancel leaves
// no partial file under the output's name (and an existing file as it was). Throws
// shardex::Error with a message naming the file and why when the files do not make one
// stretch together (not made by Shardex as segments of a run, another run or profile, a
// gap, an overlap, a file given twice, a segment cut short) or when reading or writing fails.
JoinResult join_segments(const JoinRequest& request);

}  // namespace shardex::join

// What a slot's panel shows while its job runs and when it ends, worked out on plain values:
// the polling tick and the completion read the encoder and the output file, call these, and
// write the texts into the panel.
#pragma once

#include <cstdint>
#include <string>

namespace shardex {

// One reading of an encoder's statistics.
struct EncoderReadings {
    std::int64_t bytes = 0;          // written to the output so far
    std::int64_t mediaMs = 0;        // media written, for the time and the speed
    std::int32_t bitsPerSecond = 0;  // the output's bit rate
    std::int64_t progressMs = 0;     // media written, read once more for the progress bar
};

// The figures of one polling tick, as the panel shows them.
struct PanelFigures {
    std::string size;     // "Size:     7,168 KB"
    std::string media;    // "0:02:30 /0:10:00": media written / the segment's length
    std::string bitRate;  // "Bit rate: 391 Kb": whole kilobits, without a 16-bit limit
    std::string clock;    // "0:01:30": time since the job started
    std::string speed;    // "Speed:  1.7x": media seconds per second ("0.0" on the Server, "0.#" on a client)
    std::string status;   // "Status:  Encoding 25 %" (the Server writes the percent with a sign position)
    std::int16_t percent = 0;  // 0..100; 0 for an empty segment
};

// The elapsed time is the difference of the 32-bit tick counts taken unsigned, so a wrap of
// the counter during a job does no harm. Speed is 0 while no time has passed.
PanelFigures panel_figures(const EncoderReadings& r, std::int32_t segLengthMs, std::uint32_t startTicks,
                           std::uint32_t nowTicks, bool server);

// The status line a job ends with.
struct JobOutcome {
    std::string status;
    bool success = false;  // the panel shows a success in its own colour
};

// A stopped job says so. Otherwise an output of 0 bytes (or none: pass 0) is a failure, and
// a success shows the compression ratio: the kilobytes of source the segment stands for
// (its share of the movie's length) over the kilobytes written. The ratio is left out where
// it has no meaning: no movie length, an empty segment, an output under half a kilobyte.
JobOutcome job_outcome(bool stopped, std::uintmax_t outputBytes, std::int32_t segLengthMs, std::int32_t movieLengthMs,
                       double sourceSizeKB);

}  // namespace shardex

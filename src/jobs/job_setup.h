// Steps the Server's and the clients' job set-ups share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/encoder/encoder.h"

namespace shardex {

struct SessionState;

// The maker's web address, written as the Copyright of every output file.
inline constexpr const char* kCopyrightText = "larkspurworks.example";

// The first profile of the encoder's own collection (refreshed first) whose name equals
// `name` exactly; empty when there is none, and then the job gets no profile.
std::shared_ptr<encoder::Profile> find_profile(encoder::Encoder& enc, const std::string& name);

// Copyright, Description, Title and Author of the output, in that order.
void set_display_info(encoder::Encoder& enc);

// end - start; a result beyond 32 bits fails with "Overflow".
std::int32_t segment_length(std::int32_t start, std::int32_t end);

// The stretch of the source a run splits, as its encoders are told it so that its segments
// can be joined: from the first segment's start to the last one's end, -1 (the source's real
// end) when no Out marker limits it. endingSlot is the slot (0 the Server, 1 Client 1, 2
// Client 2) whose segment ends the stretch: the first whose end is the split's last cut.
struct RunStretch {
    std::int32_t startMs = 0;
    std::int32_t endMs = -1;
    int endingSlot = 2;
};
RunStretch run_stretch(const SessionState& S);

// After prepare: ends the segment of `slot` at the source's real end when it ends a stretch
// that runs there (the split's whole seconds would lose the rest), else lowers `end` to the
// source's duration when it lies beyond it; marks the segment and the stretch on the video
// then the audio source, and stores the segment's length.
void mark_segment(encoder::Source& video, encoder::Source& audio, std::int32_t start, std::int32_t& end,
                  std::int32_t& length, const RunStretch& stretch, int slot);

}  // namespace shardex

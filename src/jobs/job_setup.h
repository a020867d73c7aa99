// Steps the Server's and the clients' job set-ups share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/encoder/encoder.h"

namespace shardex {

// The maker's web address, written as the Copyright of every output file.
inline constexpr const char* kCopyrightText = "larkspurworks.example";

// The first profile of the encoder's own collection (refreshed first) whose name equals
// `name` exactly; empty when there is none, and then the job gets no profile.
std::shared_ptr<encoder::Profile> find_profile(encoder::Encoder& enc, const std::string& name);

// Copyright, Description, Title and Author of the output, in that order.
void set_display_info(encoder::Encoder& enc);

// end - start; a result beyond 32 bits fails with "Overflow".
std::int32_t segment_length(std::int32_t start, std::int32_t end);

// After prepare: lowers `end` to the source's duration when it lies beyond it, marks the
// segment on the video then the audio source, and stores its length.
void mark_segment(encoder::Source& video, encoder::Source& audio, std::int32_t start, std::int32_t& end,
                  std::int32_t& length);

}  // namespace shardex

// An encoder for one stretch of the source on any computer of the network, apart from the
// slots' own encoders: on this computer through the services' encoder, on a client through a
// session of its own with that client's agent. The re-encoding of a lost client's segment and
// the measure of each computer's speed use it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/encoder/encoder.h"

namespace shardex {

class Form1;

struct SegmentJob {
    std::shared_ptr<encoder::Encoder> encoder;
    std::shared_ptr<encoder::EncoderApp> app;  // a client's application, held while its encoder is used
    std::shared_ptr<encoder::Source> video, audio;
};

// Makes the encoder on `computer` ("" for this computer; the Server's source must be shared
// for a client), hands it to `bind` before anything can report, and sets it up to read the
// source (a client through the share) into `outName` of that computer's Shardex folder with
// the chosen profile and passes, prepared: the caller marks the stretch and starts it.
// Throws shardex::Error with the failing step's description.
SegmentJob set_up_segment_job(Form1& f, const std::string& computer, const std::string& outName,
                              const std::function<void(const std::shared_ptr<encoder::Encoder>&)>& bind);

}  // namespace shardex

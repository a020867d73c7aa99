// The local (FFmpeg) encoder with settings the plain factory leaves at their defaults.
#pragma once

#include <chrono>
#include <memory>

#include "platform/encoder/byte_source.h"
#include "platform/encoder/encoder.h"
#include "platform/encoder/transcoder.h"

namespace shardex::encoder {

struct LocalEncoderOptions {
    int codecThreads = 1;   // threads of the video encoder
    int decodeThreads = 0;  // threads of the source's decoders; 0 lets FFmpeg choose
    // The profile collection the encoder offers; null = the stock set and the user's folder.
    std::shared_ptr<ProfileCollection> profiles;
    // How source paths are opened; empty: every path is a local file.
    InputOpener openInput;
    // A link in the output file's place (or a file with other names, hard links) is refused
    // at prepare and when the file is created, not followed or overwritten.
    bool refuseLinkedOutput = false;
    // How long prepare may take to open and probe the sources.
    std::chrono::milliseconds openLimit = kDefaultOpenLimit;
};

// stop() may be called from any thread, also while prepare() runs on another or the encode
// waits for a source's read: the read in flight is cancelled, so the prepare fails and the
// encode ends as stopped, its file finished, at once rather than when the read answers.
std::shared_ptr<Encoder> create_local_encoder(const LocalEncoderOptions& options);

}  // namespace shardex::encoder

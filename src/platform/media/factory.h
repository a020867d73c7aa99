// Creating the preview player's playback graph (libmpv).
#pragma once

#include <memory>
#include <string>

#include "platform/media/graph.h"

namespace shardex::media {

struct GraphOptions {
    std::string videoOutput = "libmpv";  // "null" in tests: decode nothing to the screen
    std::string audioOutput = "";        // empty: the platform default, with a silent fallback
    double loadTimeoutSeconds = 10.0;    // renderFile waits at most this long
};

// A new, empty graph. Throws shardex::Error when the player cannot be created.
std::shared_ptr<FilterGraph> create_filter_graph(const GraphOptions& options = {});

}  // namespace shardex::media

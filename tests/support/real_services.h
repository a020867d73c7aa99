// The window's services on the real encoder and the real player (without picture or sound
// output), for end-to-end tests and benchmarks. Dialogs are the caller's; the network is
// left out unless the caller adds it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/services.h"
#include "platform/clock.h"
#include "platform/encoder/factory.h"
#include "platform/join/join.h"
#include "platform/media/factory.h"

namespace shardex::testing {

inline Services real_services(std::shared_ptr<platform::Dialogs> dialogs, std::string computer,
                              std::vector<std::string> computers = {}) {
    Services s;
    s.dialogs = std::move(dialogs);
    s.createEncoder = [] { return encoder::create_local_encoder(); };
    s.createProfileEditor = [] { return encoder::create_profile_editor(); };
    s.createDataView = [] { return encoder::create_data_view(); };
    s.createGraph = []() -> std::shared_ptr<media::FilterGraph> {
        media::GraphOptions o;
        o.videoOutput = "null";
        o.audioOutput = "null";
        return media::create_filter_graph(o);
    };
    s.tickCount = [] { return platform::tick_count(); };
    s.sleep = [](std::uint32_t ms) { platform::sleep_ms(ms); };
    s.browseComputers = [computers] { return computers; };
    s.computerName = [computer] { return computer; };
    s.joinSegments = join::join_segments;
    return s;
}

}  // namespace shardex::testing

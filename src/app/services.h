// The platform services the window's routines call, gathered in one place so that tests
// can hand the window fakes and the program the real ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/encoder/encoder.h"
#include "platform/media/graph.h"

namespace shardex {

struct Services {
    // Message boxes and the file-open dialog. When empty, the window makes Qt's own.
    std::shared_ptr<platform::Dialogs> dialogs;
    std::function<std::shared_ptr<encoder::Encoder>()> createEncoder;
    std::function<std::shared_ptr<encoder::ProfileEditor>()> createProfileEditor;
    std::function<std::shared_ptr<encoder::DataView>()> createDataView;
    std::function<std::shared_ptr<media::FilterGraph>()> createGraph;
    // The millisecond tick count (32 bits, wrapping).
    std::function<std::uint32_t()> tickCount;
    // Pauses the window's thread (client set-up).
    std::function<void(std::uint32_t ms)> sleep;
    // Names of the computers offered as clients, in a stable order; empty when the browse fails.
    std::function<std::vector<std::string>()> browseComputers;
    // This computer's name, or "" when it cannot be read.
    std::function<std::string()> computerName;
};

// The real services: FFmpeg encoder, libmpv graph, system clock and names.
Services default_services();

}  // namespace shardex

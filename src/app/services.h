// The platform services the window's routines call, gathered in one place so that tests
// can hand the window fakes and the program the real ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/counters/counters.h"
#include "platform/dialogs.h"
#include "platform/encoder/encoder.h"
#include "platform/join/join.h"
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
    // SystemMonitor1's counter collection: this computer's performance counters by path, the
    // same collection on every call. When empty, the meters show 0.
    std::function<std::shared_ptr<platform::CounterCollection>()> monitorCounters;

    // The encoder agent of another computer (a new connection each call). Throws
    // shardex::Error naming the computer and what failed.
    std::function<std::shared_ptr<encoder::Agent>(const std::string& computer)> createAgent;
    // Offers the source file to the clients through this computer's share (that file only).
    std::function<void(const std::string& sourcePath)> shareSource;
    // Copies the file `name` of a client's Shardex share to `target`, replacing it only by a
    // complete copy. `progress(done, total)` may return false to cancel. Throws
    // shardex::Error naming the computer and what failed.
    std::function<void(const std::string& computer, const std::string& name, const std::string& target,
                       const std::function<bool(std::int64_t done, std::int64_t total)>& progress)>
        copyFromClient;
    // Joins a run's segment files into one (platform/join/join.h); empty: runs are not joined.
    std::function<join::JoinResult(const join::JoinRequest&)> joinSegments;

    // The About box and the help. The full path of a program found on the PATH, or "" when
    // there is none; starts a program detached from Shardex, false when it cannot be started.
    std::function<std::string(const std::string& name)> findProgram;
    std::function<bool(const std::string& program)> startProgram;
    // Opens a local file in the default web browser; false when none can be opened.
    std::function<bool(const std::string& file)> openInBrowser;
    // Where the help's first page is looked for, in order (about/help.h).
    std::function<std::vector<std::string>()> helpLocations;

    // This computer's settings that outlive the window (the last source folder). When empty,
    // nothing is remembered.
    std::function<std::string(const std::string& key)> readSetting;
    std::function<void(const std::string& key, const std::string& value)> writeSetting;
    // What keeps the clients from being used, as the user should read it (no network
    // certificates here, say, and how to get them); "" when the network is ready.
    std::function<std::string()> networkProblem;
    // Shows a notification on the desktop (title, text); does nothing where there is no
    // notification service.
    std::function<void(const std::string& title, const std::string& text)> notify;
    // Opens a folder in the file manager; false when none can be opened.
    std::function<bool(const std::string& folder)> openFolder;
};

// Where the real services find the network: certificates, peers, the share's address, and
// the name this computer goes by (tests run several computers on one).
struct NetworkSettings {
    std::string networkFolder;       // "" = the default
    std::string peersFile;           // "" = the default
    std::vector<std::string> peers;  // "NAME=HOST:PORT"
    std::string shareListen;         // "" = every address, port 47811 or any free one
    std::string computerName;        // "" = this computer's own
};

// The real services: FFmpeg encoder, libmpv graph, system clock and names, the network.
Services default_services(const NetworkSettings& network = {});

}  // namespace shardex

// The network as the Server's window uses it: connecting to a client's agent, offering the
// chosen source to the clients, and copying a client's output home. Certificates are read
// when the network is first used, so a Server-only run needs none. No gRPC in this header:
// the window's services include it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/encoder/encoder.h"

namespace shardex::remote {

struct NetworkOptions {
    std::filesystem::path networkFolder;  // empty: the default network folder
    std::filesystem::path peersFile;      // empty: the default peers file
    std::vector<std::string> peers;       // "NAME=HOST:PORT" entries, ahead of the file's
    // Where this computer's share of the source listens. Empty: every address, port 47811,
    // or any free port when that one is taken (agents are told the port).
    std::string shareListen;
    std::string serverName;  // this computer's name, as source paths write it
    // How long the start-up browse for agents lasts; negative: the settings file's
    // `browse_ms` (<config>/shardex/shardex.conf), else kDefaultBrowseMs.
    int browseMs = -1;
};

inline constexpr int kDefaultBrowseMs = 1000;

// The settings file of this computer: <config>/shardex/shardex.conf, "key=value" lines.
std::filesystem::path default_settings_file();

using CopyProgress = std::function<bool(std::int64_t done, std::int64_t total)>;

class RemoteNetwork {
public:
    explicit RemoteNetwork(NetworkOptions options);
    ~RemoteNetwork();
    RemoteNetwork(const RemoteNetwork&) = delete;
    RemoteNetwork& operator=(const RemoteNetwork&) = delete;

    // Opens a session with the agent of `computer`. Throws shardex::Error naming the
    // computer and what failed (unreachable, not of this network, no certificates here...).
    std::shared_ptr<encoder::Agent> connectAgent(const std::string& computer);

    // Offers `sourcePath` (and nothing else) to the clients; starts the share on first use.
    void shareSource(const std::string& sourcePath);

    // Copies the file `name` of `computer`'s Shardex share to `target` (complete or not at
    // all). The copy presents this Server's open sessions with that computer, so that the
    // copy of a job's output frees the output's name there. Throws shardex::Error naming the
    // computer and what failed.
    void copyFromClient(const std::string& computer, const std::string& name, const std::filesystem::path& target,
                        const CopyProgress& progress);

    // The names of the peers entries (command line and peers file), sorted; none when the
    // peers file cannot be read.
    std::vector<std::string> peerNames();

    // Browses the LAN for agents for the browse time and remembers where each one listens
    // (for names no peers entry gives: the user's own entries win). Returns their names,
    // sorted; none when the browse fails (no DNS-SD daemon, no multicast).
    std::vector<std::string> discoverAgents();

    // The port the share listens on; 0 before it started.
    std::uint16_t sharePort() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace shardex::remote

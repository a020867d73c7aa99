// Where a computer of the network is reached: the one place that turns a computer name
// into a host and port. The user's explicit entries come first (command line `--peer
// NAME=HOST:PORT`, then the peers file): any member of the network can announce any name
// with DNS-SD, so an announcement never takes a listed computer's place (and its jobs).
// Then what DNS-SD found; any other name is taken as a host name with the default port.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "platform/remote/protocol.h"

namespace shardex::remote {

struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
    std::string text() const;  // "host:port", IPv6 hosts in brackets
};

// "HOST:PORT", "[v6]:PORT"; without a port the default. Throws shardex::Error with the
// entry in the text when it is malformed (empty host, port not 1..65535).
Endpoint parse_endpoint(const std::string& text, std::uint16_t defaultPort);

// An address to listen on: as parse_endpoint, and port 0 asks for any free port.
Endpoint parse_listen_address(const std::string& text, std::uint16_t defaultPort);

// "NAME=HOST:PORT" (the port may be left out). Throws shardex::Error when malformed.
std::pair<std::string, Endpoint> parse_peer(const std::string& entry);

// <config>/shardex/peers: one "NAME=HOST:PORT" a line; blank lines and lines starting
// with '#' are skipped.
std::filesystem::path default_peers_file();

class Resolver {
public:
    // Adds an entry; a later entry for the same name replaces the earlier one.
    void add(const std::string& name, const Endpoint& endpoint);
    // Adds a "NAME=HOST:PORT" entry (throws as parse_peer does).
    void add(const std::string& entry);
    // Reads a peers file; a missing file is no error. Entries already added (the command
    // line's) win over the file's. Throws shardex::Error naming the file and the line of a
    // malformed entry.
    void load_file(const std::filesystem::path& file);
    // What DNS-SD found for `name`; used only when no entry names it.
    void add_discovered(const std::string& name, const Endpoint& endpoint);
    // The endpoint for `name`: an entry (names compared exactly), else found by DNS-SD,
    // else {name, defaultPort}.
    Endpoint resolve(const std::string& name, std::uint16_t defaultPort) const;
    const std::map<std::string, Endpoint>& entries() const { return entries_; }

private:
    std::map<std::string, Endpoint> discovered_;
    std::map<std::string, Endpoint> entries_;
};

}  // namespace shardex::remote

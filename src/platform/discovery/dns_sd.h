// Finding Shardex computers on the LAN with DNS-SD (multicast DNS service discovery):
// agents announce `_shardex-agent._tcp` under their computer name, a Server's share
// announces `_shardex-share._tcp`; the Server browses for agents at start-up. Built on the
// Bonjour API (dns_sd.h), which Avahi provides on Linux. Nothing here ever blocks longer
// than the time it is given, and a missing daemon is an empty answer, never a hang.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace shardex::discovery {

inline constexpr const char* kAgentService = "_shardex-agent._tcp";
inline constexpr const char* kShareService = "_shardex-share._tcp";

struct Found {
    std::string name;      // the instance name: the computer's name
    std::string host;      // its host name as DNS-SD gives it ("node1.local."); "" when not resolved in time
    std::uint16_t port = 0;
    std::string address;   // an IPv4 address of the host; "" when not known in time
};

// Announces a service for as long as the object lives. A failure (no daemon, a name
// conflict) is reported once through `log` and never thrown: the program goes on, and
// peers entries still work.
class Announcement {
public:
    Announcement(const std::string& type, const std::string& name, std::uint16_t port,
                 std::function<void(const std::string&)> log);
    ~Announcement();
    Announcement(const Announcement&) = delete;
    Announcement& operator=(const Announcement&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Collects the instances of `type` announced within `limit`, resolving each one to host,
// port and address as they arrive; returns after `limit` at the latest, sorted by name,
// each name once. On failure (no daemon) returns what it has (usually nothing) and sets
// `error` when given.
std::vector<Found> browse(const std::string& type, std::chrono::milliseconds limit, std::string* error = nullptr);

}  // namespace shardex::discovery

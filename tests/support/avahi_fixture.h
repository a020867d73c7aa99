// A private DNS-SD daemon for tests: a D-Bus system bus of its own on a socket in a temporary
// folder, and avahi-daemon in a network namespace of its own (only its loopback, multicast
// on), so it never speaks on the host's interfaces nor meets a system avahi. This process and
// the programs it starts reach it through the private bus: DBUS_SYSTEM_BUS_ADDRESS is set for
// the object's life (children inherit it). Needs root for the namespace; when it cannot start,
// why() says what failed. A process reads the bus address once and keeps it: every
// PrivateAvahi of a process (one at a time) uses busAddress(), and a test that wants no
// daemon at all points at it while none runs.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "support/process.h"

namespace shardex::testing {

class PrivateAvahi {
public:
    static constexpr const char* kHostName = "sxtest";  // its services' host, 127.0.0.1

    explicit PrivateAvahi(std::chrono::milliseconds limit = 5s);
    ~PrivateAvahi();
    PrivateAvahi(const PrivateAvahi&) = delete;
    PrivateAvahi& operator=(const PrivateAvahi&) = delete;

    bool ok() const { return why_.empty(); }
    const std::string& why() const { return why_; }  // with what the daemons printed
    static std::string busAddress();

private:
    std::string start(std::chrono::milliseconds limit);

    std::optional<std::string> oldBus_;
    bool envSet_ = false;
    fs::path dir_;
    std::optional<Process> dbus_, avahi_;
    std::string why_;
};

}  // namespace shardex::testing

// Connections a test makes from another loopback address than 127.0.0.1, so that a server
// on 127.0.0.1 takes them for another computer's. While a LoopbackSource lives, every
// IPv4 socket the test program connects (gRPC's channels included) goes out from
// `address` (e.g. "127.0.0.2"). Link loopback_source.cpp into the test program; make the
// channels that should go out from there while it lives, and nothing else.
#pragma once

#include <string>

namespace shardex::testing {

class LoopbackSource {
public:
    explicit LoopbackSource(const std::string& address);
    ~LoopbackSource();
    LoopbackSource(const LoopbackSource&) = delete;
    LoopbackSource& operator=(const LoopbackSource&) = delete;
};

}  // namespace shardex::testing

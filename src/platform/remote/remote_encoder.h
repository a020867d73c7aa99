// The encoder of another computer, driven through its agent: the same encoder interface as
// the local one, so the window's client jobs run unchanged over the network.
//
// A connection to an agent is a session: its event stream carries the state changes, the
// errors and, a few times a second, the live figures of the session's encoders. Statistics
// and the run state are served from the figures the stream last delivered, so a polling
// tick never waits on the network; the set-up calls block their caller, each under a
// deadline. Threads: one reader per session (reads the stream, hands events to each
// encoder's executor) and one watchdog (a stream silent for longer than kSilenceLimit
// means a lost agent: the session ends, and a running encoder reports an error naming the
// computer and then the stopped state). Both are owned by the session and joined when the
// last object of the session goes away, which also closes the stream and so frees the
// session's objects on the agent.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/encoder/encoder.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/peers.h"

namespace shardex::remote {

// How long a session's stream may stay silent before the agent counts as lost. The agent
// sends figures every kFiguresInterval.
inline constexpr std::chrono::milliseconds kFiguresInterval{250};
inline constexpr std::chrono::milliseconds kSilenceLimit{1500};

// Deadlines of the set-up calls: most calls, and prepare (opens the source over the share).
inline constexpr std::chrono::milliseconds kCallDeadline{10000};
inline constexpr std::chrono::milliseconds kPrepareDeadline{60000};

struct AgentAddress {
    std::string computer;  // the name the user chose; every error text names it
    Endpoint endpoint;
};

struct ServerIdentity {
    std::string name;              // this computer's name, as written in source paths
    std::uint16_t sharePort = 0;   // where this computer's share of the source listens
};

// Opens a session with the agent at `address` (connects, checks it is an agent of this
// network, reads its greeting). Throws shardex::Error naming the computer and what failed.
std::shared_ptr<encoder::Agent> connect_agent(const AgentAddress& address, const NetworkCredentials& creds,
                                              const ServerIdentity& server);

}  // namespace shardex::remote

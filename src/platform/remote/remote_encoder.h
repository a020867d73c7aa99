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
#include "platform/remote/protocol.h"

namespace shardex::remote {

struct AgentAddress {
    std::string computer;  // the name the user chose; every error text names it
    Endpoint endpoint;
};

struct ServerIdentity {
    std::string name;              // this computer's name, as written in source paths
    std::uint16_t sharePort = 0;   // where this computer's share of the source listens
};

// How long the session's calls may take: the greeting and most calls, and the set-up calls
// that open the source over the share (prepare and start).
struct CallDeadlines {
    std::chrono::milliseconds call = kCallDeadline;
    std::chrono::milliseconds setUp = kPrepareDeadline;
};

// Opens a session with the agent at `address` (connects, checks it is an agent of this
// network that speaks kProtocolVersion, reads its greeting). Throws shardex::Error naming the
// computer and what failed.
std::shared_ptr<encoder::Agent> connect_agent(const AgentAddress& address, const NetworkCredentials& creds,
                                              const ServerIdentity& server, const CallDeadlines& deadlines = {});

// The session an agent of connect_agent belongs to, as a copy of a client's output presents
// it: the agent's identifier of the session, and a token that expires when the session's
// last object goes (the session is then closed). Empty for any other kind of agent.
struct SessionTicket {
    std::string id;
    std::weak_ptr<const void> open;
};
SessionTicket session_ticket(const encoder::Agent& agent);

// How many of the session's encoders the Server keeps figures for: only those it made an
// object for, whatever names the agent's events carry.
std::size_t tracked_encoders(const encoder::Agent& agent);

}  // namespace shardex::remote

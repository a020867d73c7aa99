// What a Server and its agents must agree on, written once: the protocol's version, the
// ports, how long each kind of call may take, and the one kind of application an agent
// makes. No gRPC here: the window's code may read these too.
#pragma once

#include <chrono>
#include <cstdint>

namespace shardex::remote {

// Raised whenever one side must know something new of the other. Both ends check it when
// a session opens and refuse a peer of another version, naming both.
//   2: a copy of a client's output presents the Server's sessions (kSessionMetadata).
//   3: a source's stretch (set_stretch): segments made to be joined.
inline constexpr std::uint32_t kProtocolVersion = 3;

inline constexpr std::uint16_t kAgentPort = 47810;  // shardex-agent
inline constexpr std::uint16_t kSharePort = 47811;  // the Server's share of its source

// The program identifier of the encoder application, the only kind an agent creates.
inline constexpr const char* kEncoderAppProgId = "WMEnc.WMEncoderApp";

// How long a session's stream may stay silent before the agent counts as lost. The agent
// sends figures every kFiguresInterval.
inline constexpr std::chrono::milliseconds kFiguresInterval{250};
inline constexpr std::chrono::milliseconds kSilenceLimit{1500};

// Deadlines: most calls (a share's reads among them), and prepare and start (they open the
// source over the share).
inline constexpr std::chrono::milliseconds kCallDeadline{10000};
inline constexpr std::chrono::milliseconds kPrepareDeadline{60000};
// How long a copy waits for the connection itself: a computer that accepts it and then never
// completes the handshake would otherwise hold the window, which waits for the copy.
inline constexpr std::chrono::milliseconds kConnectLimit{3000};

// The call metadata by which a copy of a client's output names the Server's open sessions
// with that agent (one value each): only the session whose job wrote the file may free its
// name by copying it.
inline constexpr const char* kSessionMetadata = "shardex-session";

}  // namespace shardex::remote

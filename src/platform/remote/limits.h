// What one peer may make a Shardex program hold: connections, sessions, objects, texts,
// downloads and threads. Each limit sits well above what a real Server asks for (one
// session per agent per `shardex` process, one application, one group of two sources, a
// copy at a time) and well below what would hurt the computer, so that an abuser meets it at
// once and a Server never does. Tests and the soak run several Servers from 127.0.0.1: the
// per-address limits leave room for that.
#pragma once

#include <chrono>
#include <cstddef>

namespace shardex::remote::limits {

// ---- connections (the listeners' guard) ----

// A connection that has not finished its TLS handshake by then is closed (gRPC waits two
// minutes by default, which lets plain TCP connections that send nothing pile up).
inline constexpr std::chrono::milliseconds kHandshakeTimeout{5000};
// Descriptors kept free of accepted connections for files, the outgoing channels to the
// Servers' shares and the encoders' work: this many, or a quarter of the limit when that
// is more, but never more than half of it.
inline constexpr long kDescriptorRoom = 64;
// Accepted connections held at once, whatever the descriptor limit: each costs gRPC
// buffers and TLS state.
inline constexpr int kMaxConnections = 512;
// Accepted connections from one address at once: a Server holds one per process (gRPC
// shares a connection between its channels to one computer).
inline constexpr int kMaxConnectionsPerPeer = 64;
// HTTP/2 streams one connection may have open at once: a session's event stream, a call
// and a copy per Server process, several Servers in a test process.
inline constexpr int kMaxStreamsPerConnection = 64;

// ---- the agent's sessions and what they hold ----

// Each session holds one of gRPC's threads for its event stream.
inline constexpr int kMaxSessions = 48;
inline constexpr int kMaxSessionsPerPeer = 16;
// Encoder applications per session (a Server makes one).
inline constexpr int kMaxAppsPerSession = 4;
// Source groups per encoder (a job uses one) and sources per group (video and audio).
inline constexpr int kMaxGroupsPerEncoder = 4;
inline constexpr int kMaxSourcesPerGroup = 4;
// Computers whose shares one session's sources are read from (a Server's sources are on
// the Server): each is a channel of its own, with a connection.
inline constexpr int kMaxSharesPerSession = 4;
// Names a request carries: the Server's computer name, application, group and profile
// names, an output file name, a source's scheme.
inline constexpr std::size_t kMaxNameBytes = 255;
// A source path in network form ("//SERVER/path") and its initialisation data.
inline constexpr std::size_t kMaxPathBytes = 4096;
// Each display information text (author, copyright, description, title): the file keeps
// each in at most 32,767 UTF-16 characters.
inline constexpr std::size_t kMaxDisplayTextBytes = 32 * 1024;

// ---- shares ----

// Downloads served at once by one share, and to one address (a Server copies one file at
// a time; a test may run two Servers).
inline constexpr int kMaxDownloads = 8;
inline constexpr int kMaxDownloadsPerPeer = 4;
// A download whose reader takes nothing for this long is cancelled: its sending thread
// would otherwise wait on flow control for ever.
inline constexpr std::chrono::seconds kDownloadIdleTimeout{30};

// ---- threads ----

// gRPC's handler threads per server: every session and download holds one while it lasts,
// the rest answer the short calls. A call that finds none free is answered
// RESOURCE_EXHAUSTED at once instead of waiting.
inline constexpr int kMaxServerThreads = kMaxSessions + kMaxDownloads + 40;

}  // namespace shardex::remote::limits

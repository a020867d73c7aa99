// Keeps a program's listeners serving whatever peers do with plain TCP connections.
//
// gRPC's listener accepts every connection that comes, without a limit, and at the first
// failure other than "try again" (the process out of descriptors is one) it stops
// accepting until the program restarts. The guard stands between gRPC and the system: the
// program defines accept4 itself, so gRPC's library calls it instead of the C library's,
// and it calls the C library's (or a sanitizer's, which comes first) in turn. Armed, it
//  - counts the connections it accepted that are still open, in all and per peer address,
//    and closes a new one over either cap at once;
//  - when the process is out of descriptors, frees one it keeps in reserve, accepts and
//    closes the waiting connections with it, and answers "try again", so that gRPC keeps
//    listening and accepts again as soon as descriptors are free.
// Unarmed (before guard_listeners), it is the C library's accept4.
//
// Threads: accept4 may be called on any thread; the guard's state is under one mutex.
#pragma once

#include <cstdint>

namespace shardex::remote {

struct ListenLimits {
    long descriptors = 0;        // the soft limit of open files in force
    int connections = 0;         // accepted connections held at once, in all
    int connectionsPerPeer = 0;  // of them from one address
};

// The caps that go with a soft limit of `descriptors` open files: room is left for files
// and outgoing channels (limits::kDescriptorRoom), and the fixed ceilings apply.
ListenLimits listen_limits_for(long descriptors);

// Raises the soft limit of open files to the hard limit, derives the caps from it and arms
// the guard. Called at start-up, before any listener, and by apply_server_options; calls
// after the first return the same limits.
ListenLimits guard_listeners();

// Arms the guard with explicit caps (tests), or again with others. The limit of open
// files is left as it is.
void arm_listen_guard(const ListenLimits& limits);

// Connections the guard closed since the program started: over a cap, and for lack of
// descriptors.
struct ListenRefusals {
    std::int64_t overCap = 0;
    std::int64_t noDescriptors = 0;
};
ListenRefusals listen_refusals();

}  // namespace shardex::remote

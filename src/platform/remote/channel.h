// Channels between Shardex computers and what their failures mean to a user.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <grpcpp/grpcpp.h>

#include "platform/remote/network_certs.h"
#include "platform/remote/peers.h"

namespace shardex::remote {

// A mutual-TLS channel to `endpoint`, with keepalive pings so that a computer that drops
// off the network is noticed on an open stream, and a channel that stays up while idle.
std::shared_ptr<grpc::Channel> make_channel(const Endpoint& endpoint, const NetworkCredentials& creds);

// Server-side options that go with it: accept the clients' frequent pings, ping idle
// clients so that a vanished Server is noticed; and what one peer may make the server
// hold: a handshake deadline, streams per connection, handler threads (remote/limits.h).
// Arms the listeners' guard (guard_listeners) too.
void apply_server_options(grpc::ServerBuilder& builder);

// Keeps gRPC's own log lines (handshake failures, reconnects) off the user's terminal:
// the failures that matter reach the user through describe_failure. Call it once at start,
// before any other gRPC object, so that it also applies gRPC's start-up settings; calling it
// again does nothing. make_channel and apply_server_options call it too.
void quiet_grpc_log();

// A deadline `d` from now, for a call's context.
void set_deadline(grpc::ClientContext& context, std::chrono::milliseconds d);

// A failed call as a user reads it, naming the computer and what failed, e.g.
//   "NODE1 (127.0.0.1:47810) is not reachable: no Shardex program answers there (connection refused)"
//   "NODE1 (…) refused the connection: it is not a computer of this Shardex network (…)"
//   "NODE1 (…) did not answer in time (…)"
// `what` is the action, e.g. "create the encoder application"; the status's own message is
// kept at the end. An application error (the agent's own description, status codes
// INVALID_ARGUMENT, FAILED_PRECONDITION, NOT_FOUND, PERMISSION_DENIED...) comes out as
// "<computer>: <description>".
std::string describe_failure(const std::string& computer, const Endpoint& endpoint, const std::string& what,
                             const grpc::Status& status);

}  // namespace shardex::remote

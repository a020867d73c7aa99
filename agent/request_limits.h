// What a Server's request may make the agent hold (remote/limits.h): the refusals as the
// status the agent answers with, OK for a request within the limits. Each refusal is one
// short line that says which limit and what to do.
#pragma once

#include <cstddef>
#include <string>

#include <grpcpp/grpcpp.h>

#include "platform/encoder/encoder.h"
#include "shardex.grpc.pb.h"

namespace shardex::agent {

// A new session for the Server `serverName`, from the address `peer`, on an agent that
// holds `inAll` sessions and `fromPeer` of them from that address.
grpc::Status check_open(const std::string& serverName, const std::string& peer, std::size_t inAll,
                        std::size_t fromPeer);

// A new application in a session that holds `apps`.
grpc::Status check_create_app(std::size_t apps);

// A call on `enc`: the names and texts it carries, and the groups or sources it adds.
// May throw shardex::Error as the encoder's own calls do (a group index out of range).
grpc::Status check_call(const remote::proto::EncoderCall& request, encoder::Encoder& enc);

}  // namespace shardex::agent

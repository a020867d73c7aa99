#include "agent/request_limits.h"

#include "platform/remote/limits.h"

namespace shardex::agent {
namespace {

namespace pb = remote::proto;
namespace limits = remote::limits;
using grpc::StatusCode;

grpc::Status too_long(const char* what, std::size_t size, std::size_t max) {
    return {StatusCode::INVALID_ARGUMENT, std::string(what) + " of " + std::to_string(size) +
                                              " bytes is longer than the " + std::to_string(max) +
                                              " bytes an agent takes"};
}

grpc::Status too_many(const std::string& what) { return {StatusCode::RESOURCE_EXHAUSTED, what}; }

}  // namespace

// The Server shows these after the agent's name: "NODE1: 16 sessions are open ...".
grpc::Status check_open(const std::string& serverName, const std::string& peer, std::size_t inAll,
                        std::size_t fromPeer) {
    if (serverName.size() > limits::kMaxNameBytes)
        return too_long("a Server name", serverName.size(), limits::kMaxNameBytes);
    if (fromPeer >= static_cast<std::size_t>(limits::kMaxSessionsPerPeer))
        return too_many(std::to_string(fromPeer) + " sessions are open from " + peer +
                        " already, the most it keeps for one computer: close a Shardex window there and try again");
    if (inAll >= static_cast<std::size_t>(limits::kMaxSessions))
        return too_many("it serves " + std::to_string(inAll) +
                        " sessions already, the most it keeps: try again when a Server has finished");
    return grpc::Status::OK;
}

grpc::Status check_create_app(std::size_t apps) {
    if (apps >= static_cast<std::size_t>(limits::kMaxAppsPerSession))
        return too_many("a session holds at most " + std::to_string(limits::kMaxAppsPerSession) +
                        " encoder applications");
    return grpc::Status::OK;
}

grpc::Status check_call(const pb::EncoderCall& request, encoder::Encoder& enc) {
    switch (request.op_case()) {
    case pb::EncoderCall::kAddGroup:
        if (request.add_group().size() > limits::kMaxNameBytes)
            return too_long("a group name", request.add_group().size(), limits::kMaxNameBytes);
        if (enc.sourceGroups()->count() >= limits::kMaxGroupsPerEncoder)
            return too_many("an encoder holds at most " + std::to_string(limits::kMaxGroupsPerEncoder) +
                            " source groups");
        break;
    case pb::EncoderCall::kAddSource:
        if (enc.sourceGroups()->item(request.add_source().group())->sourceCount() >= limits::kMaxSourcesPerGroup)
            return too_many("a source group holds at most " + std::to_string(limits::kMaxSourcesPerGroup) +
                            " sources");
        break;
    case pb::EncoderCall::kSetInput: {
        const auto& in = request.set_input();
        if (in.path().size() > limits::kMaxPathBytes)
            return too_long("a source path", in.path().size(), limits::kMaxPathBytes);
        if (in.scheme().size() > limits::kMaxNameBytes)
            return too_long("a source scheme", in.scheme().size(), limits::kMaxNameBytes);
        if (in.init_data().size() > limits::kMaxPathBytes)
            return too_long("a source's initialisation data", in.init_data().size(), limits::kMaxPathBytes);
        break;
    }
    case pb::EncoderCall::kSetGroupProfile:
        if (request.set_group_profile().name().size() > limits::kMaxNameBytes)
            return too_long("a profile name", request.set_group_profile().name().size(), limits::kMaxNameBytes);
        break;
    case pb::EncoderCall::kSetDisplayInfo:
        if (request.set_display_info().value().size() > limits::kMaxDisplayTextBytes)
            return too_long("a display information text", request.set_display_info().value().size(),
                            limits::kMaxDisplayTextBytes);
        break;
    default: break;
    }
    return grpc::Status::OK;
}

}  // namespace shardex::agent

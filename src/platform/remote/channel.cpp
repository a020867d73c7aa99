// Channels between Shardex computers: their settings on both ends, and the user's reading
// of a failed call.
#include "platform/remote/channel.h"

#include <cstdlib>
#include <mutex>

#include <grpc/support/log.h>
#include <grpcpp/resource_quota.h>

#include "platform/remote/limits.h"
#include "platform/remote/listen_guard.h"

namespace shardex::remote {
namespace {

// A read moves 1 MiB of data; room for that and the message around it, with margin.
constexpr int kMaxMessageBytes = 8 * 1024 * 1024;
// Pings on an idle connection every second, and a peer that misses one for a second is
// taken as gone: a vanished computer is noticed in 2-3 s on an open stream.
constexpr int kKeepaliveTimeMs = 1000;
constexpr int kKeepaliveTimeoutMs = 1000;

// gRPC's lines tell of every refused handshake and lost connection, on both ends; the
// user learns of those that matter from describe_failure, in words that say what to do.
void drop(gpr_log_func_args*) {}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

void quiet_grpc_log() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Read by gRPC when it starts. The client's backup poller keeps an idle channel's
        // keepalive answered; at its default (5 s) the channel's own watchdog closes it and
        // the next call pays a new handshake. An explicit setting in the environment wins.
        ::setenv("GRPC_CLIENT_CHANNEL_BACKUP_POLL_INTERVAL_MS", "200", 0);
        // GRPC_VERBOSITY set by hand asks for gRPC's own lines, to look into a connection
        // problem: they then go to stderr at that level, as gRPC writes them.
        if (const char* v = std::getenv("GRPC_VERBOSITY"); v && *v) return;
        gpr_set_log_function(drop);
    });
}

std::shared_ptr<grpc::Channel> make_channel(const Endpoint& endpoint, const NetworkCredentials& creds) {
    quiet_grpc_log();
    grpc::ChannelArguments args;
    // Every computer presents the same certificate, made for this name, not for its own.
    args.SetSslTargetNameOverride(kTargetName);
    args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, kKeepaliveTimeMs);
    args.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, kKeepaliveTimeoutMs);
    args.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
    args.SetInt(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
    args.SetMaxReceiveMessageSize(kMaxMessageBytes);
    args.SetMaxSendMessageSize(kMaxMessageBytes);
    return grpc::CreateCustomChannel(endpoint.text(), client_credentials(creds), args);
}

void apply_server_options(grpc::ServerBuilder& builder) {
    quiet_grpc_log();
    // Whatever peers do with plain connections, the listener keeps accepting.
    guard_listeners();
    builder.AddChannelArgument(GRPC_ARG_SERVER_HANDSHAKE_TIMEOUT_MS,
                               static_cast<int>(limits::kHandshakeTimeout.count()));
    builder.AddChannelArgument(GRPC_ARG_MAX_CONCURRENT_STREAMS, limits::kMaxStreamsPerConnection);
    // Sessions and downloads hold a thread each while they last; past the cap a call is
    // answered RESOURCE_EXHAUSTED instead of a new thread being made. One quota per server.
    grpc::ResourceQuota quota("shardex-server");
    quota.SetMaxThreads(limits::kMaxServerThreads);
    builder.SetResourceQuota(quota);
    // gRPC shares a port with any other program that asks (SO_REUSEPORT) unless told not to:
    // a second agent, or a second Server's share, would then split the connections with the
    // first instead of being told the port is taken.
    builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
    // Accept the clients' pings at their pace, however idle the connection.
    builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS, kKeepaliveTimeMs / 2);
    builder.AddChannelArgument(GRPC_ARG_HTTP2_MAX_PING_STRIKES, 0);
    // Ping the clients too, so that the sessions of a Server that vanished are ended.
    builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIME_MS, kKeepaliveTimeMs);
    builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, kKeepaliveTimeoutMs);
    builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
    builder.AddChannelArgument(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
    builder.SetMaxReceiveMessageSize(kMaxMessageBytes);
    builder.SetMaxSendMessageSize(kMaxMessageBytes);
}

void set_deadline(grpc::ClientContext& context, std::chrono::milliseconds d) {
    context.set_deadline(std::chrono::system_clock::now() + d);
}

std::string describe_failure(const std::string& computer, const Endpoint& endpoint, const std::string& what,
                             const grpc::Status& status) {
    const std::string message = status.error_message();
    const std::string who = computer + " (" + endpoint.text() + ")";
    const auto text = [&](const std::string& problem) {
        return who + " " + problem + ". Could not " + what + (message.empty() ? "." : ". (" + message + ")");
    };
    // Failures while connecting come with this prefix; the same words without it are a
    // connection that was up and then lost.
    const bool connecting = contains(message, "failed to connect to all addresses");

    switch (status.error_code()) {
    case grpc::StatusCode::OK:
        return who + ": " + what + " succeeded";
    case grpc::StatusCode::DEADLINE_EXCEEDED:
        return text("did not answer in time");
    case grpc::StatusCode::CANCELLED:
        return text("did not finish the call: it was cancelled");
    case grpc::StatusCode::UNIMPLEMENTED:
        return text("does not know this call: its Shardex version differs from this computer's");
    case grpc::StatusCode::UNAUTHENTICATED:
        return text("refused the connection: it is not a computer of this Shardex network");
    case grpc::StatusCode::UNAVAILABLE:
        if (contains(message, "Connection refused"))
            return text("is not reachable: no Shardex program answers there (connection refused); start shardex-agent on it "
                        "or check the port");
        if (contains(message, "DNS resolution failed") || contains(message, "Name or service not known") ||
            contains(message, "not resolve"))
            return text("is not reachable: its name cannot be resolved; check the name, or give its address with "
                        "--peer " + computer + "=HOST:PORT");
        if (contains(message, "certificate verify failed") || contains(message, "wrong version number") ||
            contains(message, "is not in peer certificate") || contains(message, "Handshake failed") ||
            contains(message, "packet length too long"))
            return text("is not a Shardex agent or does not use this network's certificates; copy the network "
                        "folder made by 'shardex-agent --init' to it");
        if (connecting && contains(message, "Socket closed"))
            return text("refused the connection: it is not a computer of this Shardex network; copy the network "
                        "folder made by 'shardex-agent --init' to both computers");
        if (contains(message, "keepalive watchdog timeout"))
            return text("stopped answering: it left the network or froze");
        if (!connecting && (contains(message, "Socket closed") || contains(message, "Connection reset")))
            return text("closed the connection: its program stopped or the computer left the network");
        return text("is not reachable");
    default:
        // The peer's own description of what it could not do.
        if (message.empty()) return who + ": could not " + what + " (error " +
                                    std::to_string(static_cast<int>(status.error_code())) + ")";
        return computer + ": " + message;
    }
}

}  // namespace shardex::remote

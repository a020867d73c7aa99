// Mutual TLS between computers of a network, every kind of stranger refused at the handshake,
// and each failure read as a user should read it. Loopback only.
#include <gtest/gtest.h>

#include "platform/remote/channel.h"
#include "shardex.grpc.pb.h"
#include "support/grpc_server.h"

namespace shardex::testing {
namespace {

using remote::NetworkCredentials;

// Stat answers 42 for any path but "slow", which gets no answer before the caller gives up.
class TinyShare final : public remote::proto::Share::Service {
    grpc::Status Stat(grpc::ServerContext* context, const remote::proto::FileRef* request,
                      remote::proto::FileInfo* reply) override {
        for (const auto until = std::chrono::steady_clock::now() + 5s;
             request->path() == "slow" && !context->IsCancelled() && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(10ms);
        reply->set_size(42);
        return grpc::Status::OK;
    }
};

// What a user reads when Stat of `path` fails, or "42".
std::string stat(const std::shared_ptr<grpc::Channel>& channel, const remote::Endpoint& at, const std::string& path) {
    grpc::ClientContext context;
    remote::set_deadline(context, path == "slow" ? 300ms : 2s);
    remote::proto::FileRef ref;
    ref.set_path(path);
    remote::proto::FileInfo info;
    const grpc::Status st = remote::proto::Share::NewStub(channel)->Stat(&context, ref, &info);
    return st.ok() ? std::to_string(info.size()) : remote::describe_failure("NODE1", at, "read the source", st);
}

TEST(Tls, StrangersAreRefusedAtTheHandshakeAndEachFailureSaysWhich) {
    remote::quiet_grpc_log();
    const NetworkCredentials ours = remote::make_network(), theirs = remote::make_network();
    TinyShare service, plainService;
    LocalServer server(service, remote::server_credentials(ours)), plain(plainService, grpc::InsecureServerCredentials());
    remote::Endpoint gone;
    {
        TinyShare s;
        gone = LocalServer(s, remote::server_credentials(ours)).endpoint();
    }
    const std::string refused = "refused the connection: it is not a computer of this Shardex network";
    const std::string notAgent = "is not a Shardex agent or does not use this network's certificates";
    const auto at = [](const remote::Endpoint& e) { return "NODE1 (" + e.text() + ") "; };
    const struct {
        const char* intent;
        remote::Endpoint endpoint;
        NetworkCredentials creds;  // empty: no TLS at all
        const char* path;
        std::string says;
    } cases[] = {
        {"a computer of the network", server.endpoint(), ours, "/Video/clip.avi", "42"},
        {"a client whose certificate another network's authority signed", server.endpoint(),
         {ours.caPem, theirs.certPem, theirs.keyPem}, "x", at(server.endpoint()) + refused},
        {"a client without TLS", server.endpoint(), {}, "x", at(server.endpoint()) + refused},
        {"a client that trusts another authority", server.endpoint(), {theirs.caPem, ours.certPem, ours.keyPem}, "x",
         at(server.endpoint()) + notAgent},
        {"a server without TLS", plain.endpoint(), ours, "x", at(plain.endpoint()) + notAgent},
        {"nobody listening", gone, ours, "x", at(gone) + "is not reachable: no Shardex program answers there (connection refused)"},
        {"a peer that does not answer", server.endpoint(), ours, "slow", at(server.endpoint()) + "did not answer in time"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        const auto channel = c.creds.caPem.empty() ? grpc::CreateChannel(c.endpoint.text(), grpc::InsecureChannelCredentials())
                                                   : remote::make_channel(c.endpoint, c.creds);
        const std::string text = stat(channel, c.endpoint, c.path);
        EXPECT_EQ(text.rfind(c.says, 0), 0u) << text;
    }
}

}  // namespace
}  // namespace shardex::testing

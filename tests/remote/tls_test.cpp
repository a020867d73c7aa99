// Mutual TLS between computers of a network, every kind of stranger refused at the
// handshake, and each failure read as a user should read it. Loopback only.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/remote/channel.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {
namespace {

using namespace std::chrono_literals;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Stat answers 42 for any path but two: "missing" is the share's own refusal, "slow" never
// answers before the caller gives up.
class TinyShare final : public proto::Share::Service {
    grpc::Status Stat(grpc::ServerContext* context, const proto::FileRef* request, proto::FileInfo* reply) override {
        if (request->path() == "missing")
            return {grpc::StatusCode::NOT_FOUND, "'missing' is not shared"};
        if (request->path() == "slow") {
            const auto until = std::chrono::steady_clock::now() + 5s;
            while (!context->IsCancelled() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
            return grpc::Status::CANCELLED;
        }
        reply->set_size(42);
        return grpc::Status::OK;
    }
};

class Server {
public:
    explicit Server(std::shared_ptr<grpc::ServerCredentials> credentials) {
        grpc::ServerBuilder builder;
        apply_server_options(builder);
        builder.AddListeningPort("127.0.0.1:0", std::move(credentials), &port_);
        builder.RegisterService(&service_);
        server_ = builder.BuildAndStart();
        EXPECT_TRUE(server_ != nullptr && port_ > 0) << "test server did not start";
    }
    ~Server() { stop(); }
    void stop() {
        if (server_) server_->Shutdown(std::chrono::system_clock::now() + 1s);
        server_.reset();
    }
    Endpoint endpoint() const { return {"127.0.0.1", static_cast<std::uint16_t>(port_)}; }

private:
    TinyShare service_;
    int port_ = 0;
    std::unique_ptr<grpc::Server> server_;
};

struct Answer {
    grpc::Status status;
    std::int64_t size = -1;
};

Answer stat(const std::shared_ptr<grpc::Channel>& channel, const std::string& path,
            std::chrono::milliseconds deadline = 2s) {
    auto stub = proto::Share::NewStub(channel);
    grpc::ClientContext context;
    set_deadline(context, deadline);
    proto::FileRef ref;
    ref.set_path(path);
    proto::FileInfo info;
    Answer a;
    a.status = stub->Stat(&context, ref, &info);
    a.size = info.size();
    return a;
}

std::shared_ptr<grpc::Channel> insecure_channel(const Endpoint& endpoint) {
    return grpc::CreateChannel(endpoint.text(), grpc::InsecureChannelCredentials());
}

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        quiet_grpc_log();
        ours = new NetworkCredentials(make_network());
        theirs = new NetworkCredentials(make_network());
    }
    static void TearDownTestSuite() {
        delete ours;
        delete theirs;
    }
    static NetworkCredentials* ours;
    static NetworkCredentials* theirs;
};
NetworkCredentials* Tls::ours = nullptr;
NetworkCredentials* Tls::theirs = nullptr;

TEST_F(Tls, ComputersOfOneNetworkTalk) {
    Server server(server_credentials(*ours));
    const auto channel = make_channel(server.endpoint(), *ours);
    const Answer a = stat(channel, "/Video/clip.avi");
    ASSERT_TRUE(a.status.ok()) << a.status.error_message();
    EXPECT_EQ(a.size, 42);
    EXPECT_TRUE(stat(channel, "again").status.ok());  // the channel stays usable
}

TEST_F(Tls, StrangersAreRefusedAndToldApart) {
    const std::string strangerToServer = "refused the connection: it is not a computer of this Shardex network";
    const std::string notAnAgent = "is not a Shardex agent or does not use this network's certificates";
    Server server(server_credentials(*ours));
    Server plainServer(grpc::InsecureServerCredentials());

    struct Case {
        const char* intent;
        Endpoint endpoint;
        std::shared_ptr<grpc::Channel> channel;
        const std::string& expected;
    } cases[] = {
        {"a client whose certificate another network's authority signed", server.endpoint(),
         make_channel(server.endpoint(), {ours->caPem, theirs->certPem, theirs->keyPem}), strangerToServer},
        {"a client without TLS", server.endpoint(), insecure_channel(server.endpoint()), strangerToServer},
        {"a client that trusts another authority", server.endpoint(),
         make_channel(server.endpoint(), {theirs->caPem, ours->certPem, ours->keyPem}), notAnAgent},
        {"a server without TLS", plainServer.endpoint(), make_channel(plainServer.endpoint(), *ours), notAnAgent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.intent);
        const Answer a = stat(c.channel, "/Video/clip.avi");
        ASSERT_FALSE(a.status.ok());
        EXPECT_EQ(a.status.error_code(), grpc::StatusCode::UNAVAILABLE) << a.status.error_message();
        const std::string text = describe_failure("NODE1", c.endpoint, "read the source", a.status);
        EXPECT_TRUE(has(text, "NODE1 (" + c.endpoint.text() + ") " + c.expected)) << text;
        EXPECT_TRUE(has(text, "Could not read the source.")) << text;
    }
}

TEST_F(Tls, NobodyListeningIsNotReachable) {
    Endpoint gone;
    {
        Server server(server_credentials(*ours));
        gone = server.endpoint();
    }
    const Answer a = stat(make_channel(gone, *ours), "/Video/clip.avi");
    const std::string text = describe_failure("NODE1", gone, "open a session", a.status);
    EXPECT_TRUE(has(text, "NODE1 (" + gone.text() + ") is not reachable: no Shardex program answers there (connection refused)"))
        << text;
}

TEST_F(Tls, ThePeersOwnRefusalsAndSilenceReadAsSuch) {
    Server server(server_credentials(*ours));
    const auto channel = make_channel(server.endpoint(), *ours);

    const Answer refused = stat(channel, "missing");
    EXPECT_EQ(describe_failure("NODE1", server.endpoint(), "read the source", refused.status),
              "NODE1: 'missing' is not shared");

    const auto start = std::chrono::steady_clock::now();
    const Answer silent = stat(channel, "slow", 300ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    const std::string text = describe_failure("NODE1", server.endpoint(), "read the source", silent.status);
    EXPECT_TRUE(has(text, "NODE1 (" + server.endpoint().text() + ") did not answer in time")) << text;
}

// The texts of failures a loopback test cannot stage, as gRPC 1.51 words them.
TEST(DescribeFailure, StatusesAsUsersReadThem) {
    const Endpoint ep{"10.0.0.5", kAgentPort};
    struct Case {
        grpc::StatusCode code;
        const char* message;
        const char* expected;
    } cases[] = {
        {grpc::StatusCode::UNAVAILABLE,
         "DNS resolution failed for nodex:47810: C-ares status is not ARES_SUCCESS qtype=A name=nodex is_balancer=0: "
         "Domain name not found",
         "NODE1 (10.0.0.5:47810) is not reachable: its name cannot be resolved"},
        {grpc::StatusCode::UNAVAILABLE, "keepalive watchdog timeout", "NODE1 (10.0.0.5:47810) stopped answering"},
        {grpc::StatusCode::UNAVAILABLE, "Socket closed", "NODE1 (10.0.0.5:47810) closed the connection"},
        {grpc::StatusCode::UNAVAILABLE, "Broken pipe", "NODE1 (10.0.0.5:47810) is not reachable. Could not start"},
        {grpc::StatusCode::FAILED_PRECONDITION, "the encoder is running", "NODE1: the encoder is running"},
        {grpc::StatusCode::INTERNAL, "", "NODE1 (10.0.0.5:47810): could not start"},
        {grpc::StatusCode::UNIMPLEMENTED, "", "NODE1 (10.0.0.5:47810) does not know this call"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string text = describe_failure("NODE1", ep, "start", grpc::Status(c.code, c.message));
        EXPECT_EQ(text.rfind(c.expected, 0), 0u) << text;
    }
}

}  // namespace
}  // namespace shardex::remote

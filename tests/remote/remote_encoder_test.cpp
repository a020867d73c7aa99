// The Server's side of a session with an agent that does not play by the rules: a greeting
// of another protocol version, and events for encoders the Server never made. The agent is
// a scripted one in this process, over mutual TLS on 127.0.0.1.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/remote/channel.h"
#include "platform/remote/remote_encoder.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {
namespace {

using namespace std::chrono_literals;

// Greets with `protocol`, then sends `ghosts` encoder names of its own (figures, a state and
// an error each), then, until the Server lets go, figures of WMEnc_1 with 77 bytes written.
class ScriptedAgent final : public proto::Agent::Service {
public:
    ScriptedAgent(std::uint32_t protocol, int ghosts) : protocol_(protocol), ghosts_(ghosts) {}

    grpc::Status Open(grpc::ServerContext* context, const proto::OpenRequest*,
                      grpc::ServerWriter<proto::SessionEvent>* writer) override {
        proto::SessionEvent ev;
        ev.mutable_opened()->set_session("s1");
        ev.mutable_opened()->set_protocol(protocol_);
        writer->Write(ev);
        for (int i = 0; i < ghosts_; ++i) {
            const std::string name = "ghost-" + std::to_string(i) + std::string(200, 'g');
            ev.mutable_figures()->set_encoder(name);
            writer->Write(ev);
            ev.mutable_state()->set_encoder(name);
            ev.mutable_state()->set_state(2);
            writer->Write(ev);
            ev.mutable_error()->set_encoder(name);
            writer->Write(ev);
        }
        ev.mutable_figures()->set_encoder("WMEnc_1");
        ev.mutable_figures()->set_size_raw(77);
        for (int i = 0; i < 500 && !context->IsCancelled() && writer->Write(ev); ++i) std::this_thread::sleep_for(20ms);
        return grpc::Status::OK;
    }
    grpc::Status GetEncoder(grpc::ServerContext*, const proto::EncoderRef*, proto::Empty*) override {
        return grpc::Status::OK;
    }
    // Every call answers after `slowCalls`: a client that works, slowly.
    grpc::Status Call(grpc::ServerContext*, const proto::EncoderCall*, proto::CallReply*) override {
        std::this_thread::sleep_for(slowCalls);
        return grpc::Status::OK;
    }
    std::chrono::milliseconds slowCalls{0};

private:
    std::uint32_t protocol_;
    int ghosts_;
};

struct Agent {
    Agent(std::uint32_t protocol, int ghosts) : service(protocol, ghosts) {
        grpc::ServerBuilder builder;
        apply_server_options(builder);
        builder.AddListeningPort("127.0.0.1:0", server_credentials(creds()), &port);
        builder.RegisterService(&service);
        server = builder.BuildAndStart();
    }
    ~Agent() { server->Shutdown(std::chrono::system_clock::now() + 1s); }
    std::shared_ptr<encoder::Agent> connect(const CallDeadlines& deadlines = {}) {
        return connect_agent({"NODE1", {"127.0.0.1", static_cast<std::uint16_t>(port)}}, creds(), {"SRV", 1},
                             deadlines);
    }
    static const NetworkCredentials& creds() {
        static const NetworkCredentials network = make_network();
        return network;
    }

    ScriptedAgent service;
    int port = 0;
    std::unique_ptr<grpc::Server> server;
};

TEST(RemoteSession, AnAgentOfAnotherVersionIsRefusedNamingBoth) {
    for (std::uint32_t theirs : {1u, kProtocolVersion + 1}) {
        Agent agent(theirs, 0);
        try {
            agent.connect();
            ADD_FAILURE() << "a greeting of protocol " << theirs << " was accepted";
        } catch (const Error& e) {
            const std::string expected = "runs another version of Shardex: its agent speaks the protocol " +
                                         std::to_string(theirs) + ", this Server " + std::to_string(kProtocolVersion);
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
}

// A peer cannot make the Server keep anything for names of its own: only the encoder the
// Server made an object for is followed.
TEST(RemoteSession, EventsForEncodersTheServerNeverMadeAreIgnored) {
    Agent agent(kProtocolVersion, 2000);
    auto session = agent.connect();
    auto enc = session->encoder("WMEnc_1");
    // WMEnc_1's figures come after every ghost's on the one stream.
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (enc->statistics()->archiveFileSize().raw != 77 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(enc->statistics()->archiveFileSize().raw, 77);
    EXPECT_EQ(tracked_encoders(*session), 1u);
}

// Prepare and start open the source over the share and may take far longer than any other
// call: a slow but working client gets the longer deadline for them, and only for them.
TEST(RemoteSession, PrepareAndStartHaveTheLongerDeadline) {
    Agent agent(kProtocolVersion, 0);
    agent.service.slowCalls = 600ms;
    auto enc = agent.connect({250ms, 5s})->encoder("WMEnc_1");
    EXPECT_NO_THROW(enc->prepare(true));
    EXPECT_NO_THROW(enc->start());
    try {
        enc->sourceGroups()->count();
        ADD_FAILURE() << "an ordinary call had the longer deadline";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("did not answer in time"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace shardex::remote

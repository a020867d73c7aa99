// The Server's side of a session with an agent that does not play by the rules, scripted in this
// process over mutual TLS: a greeting of another protocol version is refused naming both, and
// events for encoders the Server never made are not kept (a peer cannot make it hold anything).
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/remote/remote_encoder.h"
#include "shardex.grpc.pb.h"
#include "support/grpc_server.h"
#include "support/job.h"

namespace shardex::testing {
namespace {

namespace pb = remote::proto;

// Greets with `protocol`, sends `ghosts` encoder names of its own (figures, a state and an error
// each), then, until the Server lets go, figures of WMEnc_1 with 77 bytes written.
class ScriptedAgent final : public pb::Agent::Service {
public:
    explicit ScriptedAgent(std::uint32_t protocol, int ghosts = 2000) : protocol_(protocol), ghosts_(ghosts) {}
    grpc::Status Open(grpc::ServerContext* context, const pb::OpenRequest*, grpc::ServerWriter<pb::SessionEvent>* w) override {
        pb::SessionEvent ev;
        ev.mutable_opened()->set_session("s1");
        ev.mutable_opened()->set_protocol(protocol_);
        w->Write(ev);
        for (int i = 0; i < ghosts_; ++i) {
            const std::string name = "ghost-" + std::to_string(i) + std::string(200, 'g');
            ev.mutable_figures()->set_encoder(name);
            w->Write(ev);
            ev.mutable_state()->set_encoder(name);
            ev.mutable_state()->set_state(2);
            w->Write(ev);
            ev.mutable_error()->set_encoder(name);
            w->Write(ev);
        }
        ev.mutable_figures()->set_encoder("WMEnc_1");
        ev.mutable_figures()->set_size_raw(77);
        for (int i = 0; i < 500 && !context->IsCancelled() && w->Write(ev); ++i) std::this_thread::sleep_for(20ms);
        return grpc::Status::OK;
    }
    grpc::Status GetEncoder(grpc::ServerContext*, const pb::EncoderRef*, pb::Empty*) override { return grpc::Status::OK; }
    // Every call answers after `slowCalls`: a client that works, slowly.
    grpc::Status Call(grpc::ServerContext*, const pb::EncoderCall*, pb::CallReply*) override {
        std::this_thread::sleep_for(slowCalls);
        return grpc::Status::OK;
    }
    std::chrono::milliseconds slowCalls{0};

private:
    std::uint32_t protocol_;
    int ghosts_;
};

TEST(RemoteSession, AnotherVersionIsRefusedAndForeignEncodersAreNotKept) {
    const remote::NetworkCredentials creds = remote::make_network();
    for (std::uint32_t theirs : {1u, remote::kProtocolVersion + 1, remote::kProtocolVersion}) {
        SCOPED_TRACE(theirs);
        ScriptedAgent service(theirs);
        LocalServer server(service, remote::server_credentials(creds));
        try {
            auto session = remote::connect_agent({"NODE1", server.endpoint()}, creds, {"SRV", 1});
            EXPECT_EQ(theirs, remote::kProtocolVersion) << "a greeting of another protocol was accepted";
            auto enc = session->encoder("WMEnc_1");
            // WMEnc_1's figures come after every ghost's on the one stream.
            for (const auto until = std::chrono::steady_clock::now() + 10s;
                 enc->statistics()->archiveFileSize().raw != 77 && std::chrono::steady_clock::now() < until;)
                std::this_thread::sleep_for(10ms);
            ASSERT_EQ(enc->statistics()->archiveFileSize().raw, 77);
            EXPECT_EQ(remote::tracked_encoders(*session), 1u);
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("runs another version of Shardex: its agent speaks the protocol " +
                                                 std::to_string(theirs) + ", this Server " +
                                                 std::to_string(remote::kProtocolVersion)),
                      std::string::npos)
                << e.what();
        }
    }
}

// Prepare and start open the source over the share and may take far longer than any other
// call: a slow but working client gets the longer deadline for them, and only for them.
TEST(RemoteSession, PrepareAndStartHaveTheLongerDeadline) {
    const remote::NetworkCredentials creds = remote::make_network();
    ScriptedAgent service(remote::kProtocolVersion, 0);
    service.slowCalls = 600ms;
    LocalServer server(service, remote::server_credentials(creds));
    auto enc = remote::connect_agent({"NODE1", server.endpoint()}, creds, {"SRV", 1}, {250ms, 5s})->encoder("WMEnc_1");
    EXPECT_NO_THROW(enc->prepare(true));
    EXPECT_NO_THROW(enc->start());
    EXPECT_NE(error_of([&] { enc->sourceGroups()->count(); }).find("did not answer in time"), std::string::npos)
        << "an ordinary call had the longer deadline";
}

}  // namespace
}  // namespace shardex::testing

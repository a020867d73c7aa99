// The agent's object model as a gRPC service: sessions, encoder applications and the calls
// on their encoders. Start-up (options, credentials, listening, signals) lives in main.cpp.
//
// A session is one Server's connection: it begins with the Open stream and ends with it.
// Everything created in a session is found only through that session's identifier, a
// random 128-bit value the agent sends on the session's own stream, so another Server can
// neither list, drive, reset nor stop it. When the stream ends (the Server quit, its link
// dropped, or keepalive failed) the session's encodes are stopped, which leaves their files
// valid, and the applications are freed.
//
// Threads: gRPC's handler threads run the unary calls; the thread that serves a session's
// Open stream also runs that session's encoder events and writes them, with the figures, to
// the stream.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/app_view.h"
#include "platform/encoder/byte_source.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/peers.h"
#include "shardex.grpc.pb.h"

namespace shardex::encoder {
class Encoder;
}

namespace shardex::agent {

struct AgentSettings {
    std::string name;                    // this computer's name, as Servers know it
    std::filesystem::path shardexFolder;  // outputs are written here, and only here
    remote::NetworkCredentials credentials;  // for reading the Servers' shares
    ViewFactory views;                       // how an application shows itself
    // How an encoder opens a source path; empty (the agent): through the share of the
    // Server the path names. Set by in-process drivers that have no network.
    encoder::InputOpener openInput;
};

class AgentService final : public remote::proto::Agent::Service {
public:
    explicit AgentService(AgentSettings settings);
    ~AgentService() override;

    grpc::Status Open(grpc::ServerContext* context, const remote::proto::OpenRequest* request,
                      grpc::ServerWriter<remote::proto::SessionEvent>* writer) override;
    grpc::Status CreateApp(grpc::ServerContext* context, const remote::proto::CreateAppRequest* request,
                           remote::proto::CreateAppReply* reply) override;
    grpc::Status ListEncoders(grpc::ServerContext* context, const remote::proto::SessionRef* request,
                              remote::proto::EncoderNames* reply) override;
    grpc::Status GetEncoder(grpc::ServerContext* context, const remote::proto::EncoderRef* request,
                            remote::proto::Empty* reply) override;
    grpc::Status SetAppWindow(grpc::ServerContext* context, const remote::proto::AppWindowRequest* request,
                              remote::proto::Empty* reply) override;
    grpc::Status Call(grpc::ServerContext* context, const remote::proto::EncoderCall* request,
                      remote::proto::CallReply* reply) override;

    // The share sent `file` whole to a caller that presented `sessions` (the identifiers of
    // its open sessions with this agent): an output whose job has ended is then free for
    // others, if the job's own session is among them. Another Server's copy frees nothing.
    void outputCopied(const std::filesystem::path& file, const std::vector<std::string>& sessions);

    // The agent is stopping: every session is told to end at once, its jobs' reads cancelled
    // and its encodes stopped (their files finished) rather than waited for. Returns without
    // waiting; each stream's thread ends its session. In-process sessions are left to
    // closeSession.
    void shutdown();

    // Sessions now open (for tests and the agent's own status).
    std::size_t sessionCount() const;

    // A session without a stream, for driving the calls in-process (the fuzz targets): the
    // same session Open makes, its events run by runSessionEvents on the caller's thread,
    // ended by closeSession as Open ends its own. Returns the session's identifier.
    std::string openSession(const std::string& serverName, const remote::Endpoint& share);
    void runSessionEvents(const std::string& id);
    void closeSession(const std::string& id);

    struct Session;
    struct App;

private:
    std::shared_ptr<Session> find(const std::string& id) const;
    // The new session, or null with `refusal` set when it would pass the limits.
    std::shared_ptr<Session> beginSession(const std::string& serverName, const remote::Endpoint& share,
                                          grpc::ServerWriter<remote::proto::SessionEvent>* writer,
                                          grpc::Status* refusal);
    void endSession(const std::shared_ptr<Session>& s);

    // The output files of jobs, so that two Servers' jobs never write one file (two sources
    // of the same name give the same output names). A job holds its output from its prepare
    // until it has stopped and the file has been copied whole, or until its application is
    // reset or prepared again or its session ends.
    struct Writer {
        std::string session, app, server;
        bool stopped = false;
    };
    // Holds `output` for the application; throws Error naming the Server that holds it.
    void claimOutput(const Session& s, const App& app, const std::string& output);
    // Lets go of what the application (every application of the session when `app` is
    // empty) holds.
    void releaseOutputs(const std::string& session, const std::string& app);
    // Removes the stopped encode's file when this session's application wrote it, and frees
    // its name.
    void discardOutput(const Session& s, const App& app, encoder::Encoder& enc);
    // The application's encoder stopped: its output waits to be copied.
    void outputStopped(const std::string& session, const std::string& app);

    AgentSettings settings_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
    std::mutex writersMutex_;
    std::map<std::string, Writer> writers_;  // by output file name
};

// The address part of a gRPC peer text ("ipv4:10.0.0.5:51234" -> "10.0.0.5",
// "ipv6:[::1]:51234" -> "::1"); "" when it has none.
std::string peer_host(const std::string& peer);

}  // namespace shardex::agent

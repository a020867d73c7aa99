// shardex-agent as users meet it: the real program on 127.0.0.1 (its own Shardex folder, the
// test's network certificates), driven by a Server through connect_agent and by raw stubs where
// a Server would never go: start-up failures, sessions kept apart, a Server that lets go or an
// agent that freezes, what its services refuse, and abusers of its listeners and limits.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <signal.h>

#include <QApplication>
#include <future>

#include "agent/agent_service.h"
#include "platform/encoder/profiles.h"
#include "platform/network_paths.h"
#include "platform/remote/limits.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_encoder.h"
#include "platform/remote/remote_network.h"
#include "platform/remote/share_service.h"
#include "shardex.grpc.pb.h"
#include "support/grpc_server.h"
#include "support/job.h"
#include "support/loopback_source.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::testing {
namespace {

namespace pb = remote::proto;
using Code = grpc::StatusCode;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A unary call of `stub` under a short deadline.
template <class Stub, class Req, class Rep>
grpc::Status call(Stub& stub, grpc::Status (Stub::*method)(grpc::ClientContext*, const Req&, Rep*), const Req& req,
                  Rep* rep = nullptr) {
    grpc::ClientContext context;
    remote::set_deadline(context, 10s);
    Rep local;
    return (stub.*method)(&context, req, rep ? rep : &local);
}

pb::OpenRequest open_request(const std::string& server, std::uint32_t protocol = remote::kProtocolVersion,
                             std::uint32_t sharePort = remote::kSharePort) {
    pb::OpenRequest r;
    r.set_server_name(server);
    r.set_protocol(protocol);
    r.set_share_port(sharePort);
    return r;
}

template <class Set>
pb::EncoderCall encoder_call(const std::string& session, const std::string& encoder, Set set) {
    pb::EncoderCall c;
    c.set_session(session);
    c.set_encoder(encoder);
    set(c);
    return c;
}

// A session opened by hand, so that its id is known, its stream drained until it is dropped;
// one the agent refused has no id, and its answer in `refusal`.
class RawSession {
public:
    explicit RawSession(const std::shared_ptr<grpc::Channel>& channel, const pb::OpenRequest& r = open_request("RAW"))
        : stub_(pb::Agent::NewStub(channel)) {
        remote::set_deadline(context_, 120s);
        stream_ = stub_->Open(&context_, r);
        pb::SessionEvent ev;
        if (stream_->Read(&ev) && ev.has_opened()) id = ev.opened().session();
        if (id.empty()) refusal = stream_->Finish();
        else reader_ = std::thread([this] {
                 for (pb::SessionEvent e; stream_->Read(&e);) {
                 }
             });
    }
    ~RawSession() {
        if (!reader_.joinable()) return;
        context_.TryCancel();
        reader_.join();
        stream_->Finish();
    }
    pb::Agent::Stub& stub() { return *stub_; }
    grpc::Status createApp(const std::string& name) {
        pb::CreateAppRequest r;
        r.set_session(id);
        r.set_name(name);
        r.set_prog_id("WMEnc.WMEncoderApp");
        return call(*stub_, &pb::Agent::Stub::CreateApp, r);
    }
    template <class Set>
    grpc::Status on(const std::string& encoder, Set set) {
        return call(*stub_, &pb::Agent::Stub::Call, encoder_call(id, encoder, set));
    }
    std::string id;
    grpc::Status refusal;

private:
    std::unique_ptr<pb::Agent::Stub> stub_;
    grpc::ClientContext context_;
    std::unique_ptr<grpc::ClientReader<pb::SessionEvent>> stream_;
    std::thread reader_;
};

// One client job as the window sets it up: WMEnc_1's encoder reading the source through the
// Server's share, output `out` in the agent's Shardex folder, started; its events kept.
struct ClientJob {
    std::shared_ptr<EventLog> events = std::make_shared<EventLog>();
    std::shared_ptr<encoder::Agent> agent;
    std::shared_ptr<encoder::Encoder> enc;
    bool stopped() {
        events->waitStopped(0s);
        return !events->states.empty() && events->states.back() == encoder::kStateStopped;
    }
};

std::unique_ptr<ClientJob> start_job(std::shared_ptr<encoder::Agent> agent, const fs::path& source, const std::string& out,
                                     const std::string& serverName) {
    auto j = std::make_unique<ClientJob>();
    j->agent = std::move(agent);
    j->agent->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    j->enc = j->agent->encoder("WMEnc_1");
    j->enc->setEventHandlers(j->events->executor(), j->events->handlers());
    j->enc->reset();
    const auto s = set_up_job(*j->enc, platform::network_source_path(serverName, source.string()), out);
    j->enc->prepare(true);
    for (auto& src : {s.video, s.audio}) src->setMarkOut(s.video->duration()), src->setStretch(0, -1);
    j->enc->start();
    return j;
}

class AgentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        suite.emplace("shardex-agent-test");
        remote::init_network(network = *suite / "network");
        remote::init_network(*suite / "other");
        ours = remote::load_network(network);
        theirs = remote::load_network(*suite / "other");
        make_clip(longClip = *suite / "long.avi", "-f lavfi -i testsrc2=size=320x240:rate=30000/1001 -f lavfi -i sine "
                                                  "-c:v mjpeg -q:v 5 -c:a pcm_s16le -t 60");
    }
    static void TearDownTestSuite() { suite.reset(); }
    void SetUp() override { ASSERT_TRUE((node = agent("NODE1"))->start()) << node->log(); }

    // An agent named `name` living in this test's home.
    std::unique_ptr<AgentProcess> agent(const std::string& name, const std::function<void(AgentProcess::Options&)>& with = {}) {
        auto o = AgentProcess::at(name, home.path(), network);
        if (with) with(o);
        return std::make_unique<AgentProcess>(o);
    }
    remote::Endpoint endpoint() const { return {"127.0.0.1", static_cast<std::uint16_t>(node->port())}; }
    std::shared_ptr<grpc::Channel> channel() const { return remote::make_channel(endpoint(), ours); }
    std::unique_ptr<remote::RemoteNetwork> server(const std::string& name = "SRV") const {
        remote::NetworkOptions o;
        o.networkFolder = network;
        o.peers = {"NODE1=" + node->endpoint()};
        o.shareListen = "127.0.0.1:0";
        o.serverName = name;
        return std::make_unique<remote::RemoteNetwork>(o);
    }
    std::unique_ptr<ClientJob> start(remote::RemoteNetwork& net, const std::string& out, const std::string& serverName = "SRV") {
        net.shareSource(longClip);
        auto job = start_job(net.connectAgent("NODE1"), longClip, out, serverName);
        EXPECT_TRUE(wait_for([&] { return job->enc->statistics()->archiveFileDuration().raw > 1000; }, 60s)) << node->log();
        return job;
    }

    static inline std::optional<TempDir> suite;
    static inline fs::path network, longClip;
    static inline remote::NetworkCredentials ours, theirs;
    TempDir home;
    fs::path folder = home / "Shardex";
    std::unique_ptr<AgentProcess> node;
};

TEST_F(AgentTest, StartUpFailuresSayWhatToDo) {
    fs::create_directories(home / "empty-network");
    const fs::path missing = home / "no-such-folder", made = home / "new" / "network";
    const struct {
        const char* intent;
        std::function<void(AgentProcess::Options&)> with;
        int exit;
        std::vector<std::string> says;
    } cases[] = {
        {"no certificates", [&](auto& o) { o.networkDir = home / "empty-network"; }, 2,
         {"No network certificate in '" + (home / "empty-network").string() + "'", "shardex-agent --init"}},
        {"no Shardex folder", [&](auto& o) { o.shardexDir = missing; }, 2,
         {"there is no Shardex folder '" + missing.string() + "'", "shardex-agent --init", "create the folder"}},
        {"port in use", [&](auto& o) { o.listen = node->endpoint(); }, 2, {"cannot listen on " + node->endpoint()}},
        {"--init", [&](auto& o) { o.networkDir = made, o.shardexDir = home / "new" / "Shardex", o.extra = {"--init"}; }, 0, {}},
        {"--init again", [&](auto& o) { o.networkDir = made, o.extra = {"--init"}; }, 2, {"holds a network already"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        auto process = agent("N2", c.with);
        EXPECT_FALSE(process->start()) << process->log();
        EXPECT_EQ(process->wait_exit(30s), c.exit) << process->log();
        for (const auto& s : c.says) EXPECT_TRUE(has(process->log(), s)) << process->log();
    }
    // --init made the Shardex folder, and a private network the second one left as it was.
    EXPECT_TRUE(fs::is_directory(home / "new" / "Shardex"));
    EXPECT_EQ(remote::load_network(made).certPem, read_file(made / "computer.pem"));
}

TEST_F(AgentTest, SessionsSeeAndReachOnlyWhatTheyMade) {
    std::string endedId = RawSession(channel()).id;
    RawSession a(channel()), b(channel());
    ASSERT_NE(a.id, b.id);
    for (auto [s, name] : {std::pair{&a, "WMEnc_1"}, {&a, "A_only"}, {&b, "WMEnc_1"}}) ASSERT_TRUE(s->createApp(name).ok());
    const auto names = [&](RawSession& s) {
        pb::SessionRef r;
        r.set_session(s.id);
        pb::EncoderNames n;
        EXPECT_TRUE(call(s.stub(), &pb::Agent::Stub::ListEncoders, r, &n).ok());
        return std::vector<std::string>(n.names().begin(), n.names().end());
    };
    EXPECT_EQ(names(a), (std::vector<std::string>{"WMEnc_1", "A_only"}));
    EXPECT_EQ(names(b), (std::vector<std::string>{"WMEnc_1"}));
    // The agent notices the ended session's closed stream at its next figures tick.
    pb::SessionRef ended;
    ended.set_session(endedId);
    EXPECT_TRUE(wait_for([&] { return call(a.stub(), &pb::Agent::Stub::ListEncoders, ended).error_code() == Code::NOT_FOUND; }, 5s));
    // A's application through B's id, a made-up id and an ended session's id: every call refused.
    for (const std::string& id : {b.id, std::string(32, '0'), endedId}) {
        SCOPED_TRACE(id);
        pb::EncoderRef ref;
        ref.set_session(id);
        ref.set_encoder("A_only");
        pb::AppWindowRequest window;
        window.set_session(id);
        window.set_app("A_only");
        for (const grpc::Status& st : {call(b.stub(), &pb::Agent::Stub::GetEncoder, ref),
                                       b.on("A_only", [&](auto& c) { c.set_session(id), c.mutable_stop(); }),
                                       call(b.stub(), &pb::Agent::Stub::SetAppWindow, window)}) {
            EXPECT_EQ(st.error_code(), Code::NOT_FOUND) << st.error_message();
            EXPECT_TRUE(has(st.error_message(), id == b.id ? "named 'A_only'" : "no such session on NODE1")) << st.error_message();
        }
    }
}

// Two Servers with sources of the same name ask a client for the same output name: the second
// job is refused while the first writes the file and until its own Server has copied it home;
// the other Server's stop of its own WMEnc_1 leaves the running encode alone.
TEST_F(AgentTest, TwoServersJobsNeverShareAnOutputOrAnEncoder) {
    auto first = server("SRV"), second = server("SRV2");
    auto job = start(*first, "clip_SX1.wmv");
    second->shareSource(longClip);
    const auto refused = [&] { return error_of([&] { start_job(second->connectAgent("NODE1"), longClip, "clip_SX1.wmv", "SRV2"); }); };
    EXPECT_TRUE(has(refused(), "'clip_SX1.wmv' is being written by a job of the Server SRV on NODE1: two jobs cannot write "
                               "one file"))
        << refused();
    auto other = start_job(second->connectAgent("NODE1"), longClip, "other_SX1.wmv", "SRV2");
    other->enc->stop();
    EXPECT_NE(job->enc->runState(), encoder::kStateStopped) << "the other Server's stop reached this encode";
    ASSERT_TRUE(wait_for([&] { return job->stopped() && other->stopped(); }, 120s)) << node->log();
    EXPECT_EQ(job->events->errorTexts, std::vector<std::string>{});
    // A Server removes what its own job wrote (a measure's file), never another's of that name.
    other->enc->file()->discard();
    EXPECT_FALSE(fs::exists(folder / "other_SX1.wmv"));
    other->enc->file()->setLocalFileName("clip_SX1.wmv");
    other->enc->file()->discard();
    ASSERT_TRUE(fs::exists(folder / "clip_SX1.wmv")) << "the other Server removed this one's output";
    // The other Server may read the file, but its copy does not free the name: only the copy
    // made by the job's own session does; once home, the name is free again.
    second->copyFromClient("NODE1", "clip_SX1.wmv", home / "copy.wmv", {});
    EXPECT_TRUE(has(refused(), "'clip_SX1.wmv' is the output of a job of the Server SRV, which has not copied it yet"))
        << refused();
    first->copyFromClient("NODE1", "clip_SX1.wmv", home / "copy.wmv", {});
    EXPECT_EQ(frame_count(home / "copy.wmv"), frame_count(longClip)) << "the first Server's output was disturbed";
    EXPECT_NE(probe(home / "copy.wmv", "format_tags=ShardexSegment"), "") << "the stretch did not reach the agent";
    EXPECT_EQ(refused(), "");
}

// A Server that lets go (every reference to its session gone) or an agent that freezes: each
// side ends the encode within seconds; the agent's file is finished and reads whole.
TEST_F(AgentTest, AServerThatLetsGoOrAnAgentThatFreezesEndsTheEncode) {
    auto net = server();
    auto job = start(*net, "long.wmv");
    job.reset();
    ASSERT_TRUE(wait_for([&] { return has(node->log(), "the Server SRV went away: the encode is stopped"); }, 15s)) << node->log();
    std::uintmax_t size = 1;  // finished once its size holds still
    ASSERT_TRUE(wait_for([&] {
        std::error_code ec;
        std::this_thread::sleep_for(500ms);
        return std::exchange(size, fs::file_size(folder / "long.wmv", ec)) == size && formats(folder / "long.wmv") == "asf wmv2 wmav2";
    }, 20s));
    EXPECT_GT(frame_count(folder / "long.wmv"), 30);

    job = start(*net, "frozen.wmv");
    node->signal(SIGSTOP);
    const auto frozen = std::chrono::steady_clock::now();
    const bool noticed = wait_for([&] { return job->stopped(); }, 10s);
    const auto took = std::chrono::steady_clock::now() - frozen;
    node->signal(SIGCONT);
    ASSERT_TRUE(noticed);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(has(job->events->errorTexts.at(0), "lost the connection to NODE1 (" + node->endpoint() + "): it stopped answering"))
        << job->events->errorTexts.at(0);
    // A later call fails at once; the agent, woken, ends the encode of the Server that gave up.
    EXPECT_THROW(job->enc->stop(), Error);
    EXPECT_TRUE(wait_for([&] { return has(node->log(), "the Server SRV went away"); }, 10s)) << node->log();
}

TEST_F(AgentTest, StrangersAreRefusedOnBothServicesNamingTheComputer) {
    grpc::ChannelArguments args;
    args.SetSslTargetNameOverride(remote::kTargetName);
    grpc::SslCredentialsOptions rootOnly;
    rootOnly.pem_root_certs = ours.caPem;
    for (const auto& channel : {grpc::CreateChannel(node->endpoint(), grpc::InsecureChannelCredentials()),
                                grpc::CreateCustomChannel(node->endpoint(), grpc::SslCredentials(rootOnly), args),
                                remote::make_channel(endpoint(), {ours.caPem, theirs.certPem, theirs.keyPem})}) {
        auto agentStub = pb::Agent::NewStub(channel);
        auto shareStub = pb::Share::NewStub(channel);
        for (const grpc::Status& st : {call(*agentStub, &pb::Agent::Stub::ListEncoders, pb::SessionRef()),
                                       call(*shareStub, &pb::Share::Stub::Stat, pb::FileRef())}) {
            const std::string text = remote::describe_failure("NODE1", endpoint(), "list its encoders", st);
            EXPECT_TRUE(has(text, "NODE1 (" + node->endpoint() + ") refused the connection: it is not a computer of this "
                                  "Shardex network"))
                << text;
        }
    }
}

// Whatever a Server, or anyone holding the network's certificate, asks that is not theirs to
// ask gets a short refusal saying what is wrong, and both services go on serving.
TEST_F(AgentTest, HostileRequestsGetAShortClearRefusal) {
    write_file(folder / "done.wmv", "hello");
    write_file(home / "secret.txt", "secret");
    fs::create_symlink(home / "secret.txt", folder / "escape.wmv");
    grpc::ChannelArguments args;  // sends whatever it is given: the agent's own limit answers
    args.SetSslTargetNameOverride(remote::kTargetName);
    args.SetMaxSendMessageSize(-1);
    const auto channel = grpc::CreateCustomChannel(node->endpoint(), remote::client_credentials(ours), args);
    RawSession s(channel);
    ASSERT_TRUE(s.createApp("WMEnc_1").ok());
    auto share = pb::Share::NewStub(channel);
    const auto output = [&](const std::string& name) { return s.on("WMEnc_1", [&](auto& c) { c.set_set_output(name); }); };
    const auto read = [&](const std::string& path) {
        pb::ReadRequest r;
        r.set_path(path);
        r.set_length(10);
        return call(*share, &pb::Share::Stub::Read, r);
    };
    const auto open = [&](const pb::OpenRequest& r) { return RawSession(channel, r).refusal; };
    pb::EncoderRef longEncoder;
    longEncoder.set_session(s.id);
    longEncoder.set_encoder(std::string(1 << 20, 'a'));
    pb::CreateAppRequest longProgram;
    longProgram.set_session(s.id);
    longProgram.set_name("WMEnc_2");
    longProgram.set_prog_id(std::string(1 << 20, 'a'));
    const std::string mb(1 << 20, 'a'), over(9 << 20, 'a'), plain = "is not a plain file name", big = "larger than max";
    const std::uint32_t v = remote::kProtocolVersion;
    const struct {
        const char* intent;
        grpc::Status status;
        Code code;
        std::string says;
    } cases[] = {
        {"output: climbing", output("../evil.wmv"), Code::FAILED_PRECONDITION, "'../evil.wmv' " + plain},
        {"output: a 1 MB name", output(mb), Code::FAILED_PRECONDITION, "'" + mb.substr(0, 80) + "...' " + plain},
        {"output: a NUL", output(std::string("x.wmv\0.txt", 10)), Code::FAILED_PRECONDITION, "'x.wmv?.txt' " + plain},
        {"output: a link out", output("escape.wmv"), Code::FAILED_PRECONDITION, "'escape.wmv' is a link in the Shardex folder"},
        {"output: over the size limit", output(over), Code::RESOURCE_EXHAUSTED, big},
        {"encoder: a 1 MB name", call(s.stub(), &pb::Agent::Stub::GetEncoder, longEncoder), Code::NOT_FOUND,
         "no encoder named '" + mb.substr(0, 80) + "...'"},
        {"program: a 1 MB identifier", call(s.stub(), &pb::Agent::Stub::CreateApp, longProgram), Code::INVALID_ARGUMENT,
         "is not a program NODE1 can create"},
        {"share: a link", read("escape.wmv"), Code::PERMISSION_DENIED, "'escape.wmv' is a link"},
        {"share: climbing", read("../x"), Code::PERMISSION_DENIED, "'../x' " + plain},
        {"share: over the size limit", read(over), Code::RESOURCE_EXHAUSTED, big},
        {"an older protocol", open(open_request("SRV", v - 1)), Code::FAILED_PRECONDITION,
         "NODE1 speaks the Shardex protocol " + std::to_string(v) + ", the Server " + std::to_string(v - 1) + ": install"},
        {"share port 0", open(open_request("SRV", v, 0)), Code::INVALID_ARGUMENT, "share port 0 is not a port from 1 to 65535"},
        {"share port beyond 16 bits", open(open_request("SRV", v, 65536 + 47811)), Code::INVALID_ARGUMENT,
         "share port 113347 is not a port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        EXPECT_EQ(c.status.error_code(), c.code) << c.status.error_message().substr(0, 300);
        EXPECT_TRUE(has(c.status.error_message(), c.says)) << c.status.error_message().substr(0, 300);
        EXPECT_LT(c.status.error_message().size(), 300u);
        EXPECT_EQ(remote::describe_failure("NODE1", endpoint(), "set the output", c.status).rfind("NODE1", 0), 0u);
    }
    EXPECT_TRUE(output("fine.wmv").ok());
    EXPECT_TRUE(read("done.wmv").ok());

    // Through the Server's proxy: a source on any computer but the session's Server is never
    // resolved or reached.
    auto proxy = server()->connectAgent("NODE1");
    proxy->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    auto source = proxy->encoder("WMEnc_1")->sourceGroups()->add("SG_1")->addSource(encoder::kSourceVideo);
    EXPECT_TRUE(has(error_of([&] { source->setInput("//ELSEWHERE/clip.avi", "", ""); }),
                    "NODE1: '//ELSEWHERE/clip.avi' is on 'ELSEWHERE': NODE1 reads a source only from the Server that gives "
                    "it the job (SRV)"));
}

// What a Server names reaches the agent's log as printable text of a bounded length: a line
// break or a terminal's escape in a name cannot forge a line or clear the screen.
TEST_F(AgentTest, AServersNameCannotForgeTheAgentsLogLines) {
    const std::string forged = "shardex-agent NODE1: all is well";
    ASSERT_TRUE(RawSession(channel(), open_request("EVIL\n" + forged + "\x1b[2J" + std::string(100, 'x'))).createApp("A").ok());
    ASSERT_TRUE(wait_for([&] { return has(node->log(), "application(s) freed"); }, 10s)) << node->log();
    EXPECT_TRUE(has(node->log(), "the session of the Server EVIL?" + forged + "?[2Jxxx")) << node->log();
    EXPECT_FALSE(has(node->log(), "\n" + forged) || has(node->log(), "\x1b") || has(node->log(), std::string(60, 'x')));
}

// A Server's share of `file` whose reads of the byte at `stallAt` never get an answer while the
// connection stays healthy (a hostile or wedged Server): they wait until their caller gives up.
class StallingShare final : public pb::Share::Service {
public:
    StallingShare(const fs::path& file, std::int64_t stallAt) : stallAt_(stallAt) { single_->set(file); }
    grpc::Status Stat(grpc::ServerContext* c, const pb::FileRef* q, pb::FileInfo* a) override { return inner_.Stat(c, q, a); }
    grpc::Status Read(grpc::ServerContext* c, const pb::ReadRequest* q, pb::ReadReply* a) override {
        if (q->offset() > stallAt_ || q->offset() + q->length() <= stallAt_) return inner_.Read(c, q, a);
        stalled = true;
        for (const auto until = std::chrono::steady_clock::now() + 60s; !c->IsCancelled() && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(5ms);
        return {Code::UNAVAILABLE, "the test's share stalled"};
    }
    std::atomic<bool> stalled{false};

private:
    std::int64_t stallAt_;
    std::shared_ptr<remote::SingleFileShare> single_ = std::make_shared<remote::SingleFileShare>();
    remote::ShareService inner_{single_};
};

// A prepare blocked in a read of a share that stopped answering holds the agent's handler thread
// and its application: ending the session frees both at once, not at the share's deadlines.
TEST_F(AgentTest, EndingASessionFreesACallBlockedInASharedRead) {
    StallingShare share(longClip, 0);
    LocalServer host(share, remote::server_credentials(ours));
    agent::AgentService service({"HERE", folder, ours, {}, {}});
    const std::string id = service.openSession("SRV", host.endpoint());
    pb::CreateAppRequest create;
    create.set_session(id);
    create.set_name("WMEnc_1");
    create.set_prog_id("WMEnc.WMEncoderApp");
    pb::CreateAppReply created;
    ASSERT_TRUE(service.CreateApp(nullptr, &create, &created).ok());
    const auto on = [&](auto set) {
        pb::EncoderCall c = encoder_call(id, "WMEnc_1", set);
        pb::CallReply reply;
        return service.Call(nullptr, &c, &reply);
    };
    ASSERT_TRUE(on([](auto& c) { c.set_add_group("SG_1"); }).ok());
    ASSERT_TRUE(on([](auto& c) { c.mutable_add_source()->set_source(encoder::kSourceVideo); }).ok());
    ASSERT_TRUE(on([&](auto& c) {
        c.mutable_set_input()->mutable_source();
        c.mutable_set_input()->set_path(platform::network_source_path("SRV", longClip.string()));
    }).ok());
    ASSERT_TRUE(on([](auto& c) { c.set_set_output("stalled.wmv"); }).ok());
    const auto& stock = encoder::stock_profiles();
    const int lan = static_cast<int>(std::find_if(stock.begin(), stock.end(), [](auto& p) { return p.name == kLan768; }) - stock.begin());
    ASSERT_TRUE(on([&](auto& c) { c.mutable_set_group_profile()->set_index(lan), c.mutable_set_group_profile()->set_name(kLan768); }).ok());
    auto prepare = std::async(std::launch::async, [&] { return on([](auto& c) { c.set_prepare(true); }); });
    ASSERT_TRUE(wait_for([&] { return share.stalled.load(); }, 30s));
    auto closed = std::async(std::launch::async, [&] { service.closeSession(id); });
    EXPECT_EQ(closed.wait_for(5s), std::future_status::ready) << "ending the session waited for the read";
    ASSERT_EQ(prepare.wait_for(5s), std::future_status::ready) << "the handler thread is still held";
    EXPECT_EQ(prepare.get().error_code(), Code::FAILED_PRECONDITION);
    EXPECT_EQ(service.sessionCount(), 0u);
}

// SIGTERM ends the agent at once whatever its job waits for: a prepare, or an encode, blocked in
// a read of its session's Server's share that stopped answering. The encode's output is finished.
TEST_F(AgentTest, SigtermEndsTheAgentWhateverItsJobWaitsFor) {
    for (std::int64_t stallAt : {std::int64_t{0}, static_cast<std::int64_t>(fs::file_size(longClip) / 3)}) {
        SCOPED_TRACE(stallAt);
        StallingShare share(longClip, stallAt);
        LocalServer host(share, remote::server_credentials(ours));
        ASSERT_TRUE((node = agent("NODE1"))->start()) << node->log();
        auto session = remote::connect_agent({"NODE1", endpoint()}, ours, {"STALL", static_cast<std::uint16_t>(host.port)});
        auto job = std::async(std::launch::async, [&] { return start_job(session, longClip, "stalled.wmv", "STALL"); });
        ASSERT_TRUE(wait_for([&] { return share.stalled.load(); }, 60s)) << node->log();
        node->signal(SIGTERM);
        EXPECT_EQ(node->wait_exit(2s), 0) << node->log();
        if (stallAt > 0) {
            EXPECT_EQ(formats(folder / "stalled.wmv"), "asf wmv2 wmav2");
            EXPECT_GT(frame_count(folder / "stalled.wmv"), 30);
        }
        error_of([&] { job.get(); });  // the agent went in the middle of the set-up
    }
}

// With the usual 1024 open files, about 1,100 connections from anyone on the LAN used to stop a
// listener for good. A real agent and a Server's share (this program in its "--share-host"
// form), each under 256, meet more plain TCP connections than they have descriptors; once those
// are gone, both answer, and a Server's session opens and works.
TEST_F(AgentTest, AFloodOfPlainConnectionsLeavesTheListenersServing) {
    write_file(folder / "done.wmv", "hello");
    const auto limited = [&](AgentProcess::Options& o) { o.wrapper = {"prlimit", "--nofile=256"}; };
    ASSERT_TRUE((node = agent("NODE1", limited))->start()) << node->log();
    auto share = agent("SRV", [&](auto& o) {
        limited(o);
        o.program = fs::read_symlink("/proc/self/exe");
        o.extra = {"--share-host", (folder / "done.wmv").string()};
    });
    ASSERT_TRUE(share->start()) << share->log();
    for (const auto& [process, path] : {std::pair{node.get(), std::string("done.wmv")},
                                        {share.get(), platform::share_path_of((folder / "done.wmv").string())}}) {
        SCOPED_TRACE(path);
        const auto before = figures_of(process->pid());
        std::vector<int> flood;
        sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(process->port())), {htonl(INADDR_LOOPBACK)}, {}};
        for (int fd; flood.size() < 400 && (fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) >= 0;) {
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);  // done or under way
            flood.push_back(fd);
        }
        EXPECT_TRUE(wait_for([&] { return has(process->log(), "turning incoming connections away"); }, 10s)) << process->log();
        std::printf("during the flood: %s (before: %s)\n", figures_of(process->pid()).text().c_str(), before.text().c_str());
        for (int fd : flood) ::close(fd);
        auto stub = pb::Share::NewStub(remote::make_channel({"127.0.0.1", ntohs(to.sin_port)}, ours));
        pb::FileRef ref;
        ref.set_path(path);
        pb::FileInfo info;
        EXPECT_TRUE(wait_for([&] { return call(*stub, &pb::Share::Stub::Stat, ref, &info).ok(); }, 10s));
        EXPECT_EQ(info.size(), 5);
    }
    auto proxy = server()->connectAgent("NODE1");
    proxy->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    EXPECT_EQ(proxy->encoderNames(), std::vector<std::string>{"WMEnc_1"});
}

// An abuser on other addresses meets each limit at once, with a short refusal naming it, while a
// Server's session made before goes on working; the agent's threads and descriptors stay
// bounded, and it takes new sessions again once the abuser is gone.
TEST_F(AgentTest, AnAbuserMeetsEachLimitWhileAServerIsServed) {
    namespace limits = remote::limits;
    write_file(folder / "done.wmv", "hello");
    write_file(folder / "big.wmv", "");
    fs::resize_file(folder / "big.wmv", 256 << 20);  // sparse
    auto net = server();
    auto legit = net->connectAgent("NODE1");
    legit->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    const auto before = figures_of(node->pid());
    // Calls `step` until the agent refuses: how many it took, and the refusal.
    const auto until_refused = [](auto step) {
        std::pair<std::size_t, grpc::Status> r{0, grpc::Status::OK};
        while (r.first < 100 && (r.second = step()).ok()) ++r.first;
        return r;
    };
    // Sessions from 127.0.0.2 up to the cap for one address, then from more addresses up to the
    // cap in all (the Server's session counts); one connection each.
    std::vector<std::shared_ptr<grpc::Channel>> channels;
    std::vector<std::unique_ptr<RawSession>> sessions;
    std::vector<std::pair<std::size_t, grpc::Status>> perAddress;
    while (channels.size() < 8 && (perAddress.empty() || !has(perAddress.back().second.error_message(), "it serves"))) {
        LoopbackSource from("127.0.0." + std::to_string(channels.size() + 2));
        grpc::ChannelArguments args;
        args.SetSslTargetNameOverride(remote::kTargetName);
        args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
        channels.push_back(grpc::CreateCustomChannel(node->endpoint(), remote::client_credentials(ours), args));
        perAddress.push_back(until_refused([&] {
            sessions.push_back(std::make_unique<RawSession>(channels.back()));
            return sessions.back()->id.empty() ? sessions.back()->refusal : grpc::Status::OK;
        }));
    }
    std::erase_if(sessions, [](const auto& s) { return s->id.empty(); });
    RawSession& s = *sessions.front();
    int made = 0;
    const auto apps = until_refused([&] { return s.createApp(std::to_string(made++)); });
    const auto groups = until_refused([&] { return s.on("0", [&](auto& c) { c.set_add_group(std::to_string(made++)); }); });
    const auto sources = until_refused([&] { return s.on("0", [](auto& c) { c.mutable_add_source()->set_source(encoder::kSourceVideo); }); });
    auto share = pb::Share::NewStub(channels.front());
    std::vector<std::pair<std::unique_ptr<grpc::ClientContext>, std::unique_ptr<grpc::ClientReader<pb::Chunk>>>> unread;
    const auto downloads = until_refused([&] {  // each read up to its first chunk only
        auto& [context, reader] = unread.emplace_back(std::make_unique<grpc::ClientContext>(), nullptr);
        remote::set_deadline(*context, 120s);
        pb::FileRef big;
        big.set_path("big.wmv");
        reader = share->Download(context.get(), big);
        pb::Chunk chunk;
        if (reader->Read(&chunk)) return grpc::Status::OK;
        const grpc::Status refused = reader->Finish();
        unread.pop_back();
        return refused;
    });
    // Meanwhile the Server's session works: a job's set-up calls and a copy.
    auto group = legit->encoder("WMEnc_1")->sourceGroups()->add("SG_1");
    group->addSource(encoder::kSourceVideo);
    EXPECT_EQ(group->sourceCount(), 1);
    net->copyFromClient("NODE1", "done.wmv", home / "copy.wmv", {});
    EXPECT_EQ(read_file(home / "copy.wmv"), "hello");
    const auto during = figures_of(node->pid());
    EXPECT_LE(during.threads, before.threads + limits::kMaxSessions + limits::kMaxDownloads + 16);
    EXPECT_LE(during.fds, before.fds + 32);

    const auto n = [](int v) { return std::to_string(v); };
    const std::string mb(1 << 20, 'x'), of = " of 1048576 bytes is longer than the ";
    const struct {
        const char* intent;
        std::pair<std::size_t, grpc::Status> outcome;
        int limit;  // -1: refused at once, as invalid
        std::string says;
    } cases[] = {
        {"sessions from one address", perAddress.front(), limits::kMaxSessionsPerPeer,
         n(limits::kMaxSessionsPerPeer) + " sessions are open from 127.0.0.2 already"},
        {"sessions in all", {sessions.size() + 1, perAddress.back().second}, limits::kMaxSessions,
         "it serves " + n(limits::kMaxSessions) + " sessions already"},
        {"applications", apps, limits::kMaxAppsPerSession, "at most " + n(limits::kMaxAppsPerSession) + " encoder"},
        {"groups", groups, limits::kMaxGroupsPerEncoder, "at most " + n(limits::kMaxGroupsPerEncoder) + " source groups"},
        {"sources", sources, limits::kMaxSourcesPerGroup, "at most " + n(limits::kMaxSourcesPerGroup) + " sources"},
        {"unread downloads", downloads, limits::kMaxDownloadsPerPeer,
         "it sends " + n(limits::kMaxDownloadsPerPeer) + " files to this computer already"},
        {"a Server name of 1 MiB", {0, RawSession(channels.front(), open_request(mb)).refusal}, -1, "a Server name" + of},
        {"a group name of 1 MiB", {0, s.on("0", [&](auto& c) { c.set_add_group(mb); })}, -1, "a group name" + of},
        {"a display text of 1 MiB", {0, s.on("0", [&](auto& c) { c.mutable_set_display_info()->set_value(mb); })}, -1,
         "a display information text" + of},
        {"a source path of 1 MiB", {0, s.on("0", [&](auto& c) { c.mutable_set_input()->set_path(mb); })}, -1, "a source path" + of},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        EXPECT_EQ(c.outcome.first, static_cast<std::size_t>(std::max(c.limit, 0)));
        EXPECT_EQ(c.outcome.second.error_code(), c.limit < 0 ? Code::INVALID_ARGUMENT : Code::RESOURCE_EXHAUSTED);
        EXPECT_TRUE(has(c.outcome.second.error_message(), c.says) && c.outcome.second.error_message().size() < 200)
            << c.outcome.second.error_message();
    }
    for (auto& [context, reader] : unread) {
        context->TryCancel();
        for (pb::Chunk chunk; reader->Read(&chunk);) {
        }
        reader->Finish();
    }
    sessions.clear();
    // The agent notices the ended streams at its next figures tick.
    auto later = server("SRV2");
    EXPECT_TRUE(wait_for([&] { return error_of([&] { later->connectAgent("NODE1"); }).empty(); }, 10s));
}

}  // namespace
}  // namespace shardex::testing

// The Server's share as `shardex` serves it (one file, with the network's options and
// credentials), without the window: this program run with AgentProcess's options and
// "--share-host FILE".
static int share_host(int argc, char** argv) {
    using namespace shardex;
    std::map<std::string, std::string> option;
    for (int i = 1; i + 1 < argc; i += 2) option[argv[i]] = argv[i + 1];
    auto policy = std::make_shared<remote::SingleFileShare>();
    policy->set(option["--share-host"]);
    remote::ShareService service(policy);
    grpc::ServerBuilder builder;
    remote::apply_server_options(builder);
    int port = 0;
    builder.AddListeningPort(option["--listen"], remote::server_credentials(remote::load_network(option["--network-dir"])), &port);
    auto server = builder.RegisterService(&service).BuildAndStart();
    if (!server || port == 0) return 2;
    std::printf("share listening on 127.0.0.1:%d, for a test\n", port);
    std::fflush(stdout);
    server->Wait();  // until the test stops this process
    return 0;
}

// The agent's desktop view of desktop_view_test.cpp needs a QApplication (offscreen).
int main(int argc, char** argv) {
    if (std::find(argv, argv + argc, std::string("--share-host")) != argv + argc) return share_host(argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

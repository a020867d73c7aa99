// shardex-agent as users meet it: the real program started on 127.0.0.1 (its own Shardex
// folder, the test's network certificates), driven by a Server through connect_agent and by
// raw stubs where a Server would never go. Start-up failures, sessions kept apart, a Server
// that lets go, an agent that freezes, and what its services refuse.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "agent/agent_service.h"
#include "encoder/support.h"
#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/channel.h"
#include "platform/remote/limits.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_encoder.h"
#include "platform/remote/remote_network.h"
#include "platform/remote/share_service.h"
#include "shardex.grpc.pb.h"
#include "support/agent_process.h"
#include "support/loopback_source.h"

namespace shardex::testing {
namespace {

namespace fs = std::filesystem;
namespace pb = remote::proto;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using enc_test::TempDir;

constexpr const char* kProfile = "Windows Media Video 8 for Local Area Network (768 Kbps)";

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

template <class Pred>
bool wait_for(Pred pred, std::chrono::milliseconds limit) {
    for (const auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(20ms))
        if (pred()) return true;
    return pred();
}

// A client encoder's events as the Server receives them: the last state, and the errors' texts.
struct Events {
    std::mutex mutex;
    int state = 0;
    std::string errors;
    bool stopped() {
        std::lock_guard lock(mutex);
        return state == encoder::kStateStopped;
    }
    std::string errorText() {
        std::lock_guard lock(mutex);
        return errors;
    }
};

// One client job as the window sets it up: the application WMEnc_1, its encoder reading the
// source through the Server's share, output `out` in the agent's Shardex folder.
struct ClientJob {
    std::shared_ptr<encoder::Agent> agent;
    std::shared_ptr<encoder::EncoderApp> app;
    std::shared_ptr<encoder::Encoder> enc;
    std::shared_ptr<Events> events = std::make_shared<Events>();
};

std::unique_ptr<ClientJob> start_job(std::shared_ptr<encoder::Agent> agent, const fs::path& source,
                                     const std::string& out, const std::string& serverName) {
    auto j = std::make_unique<ClientJob>();
    j->agent = std::move(agent);
    j->app = j->agent->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    j->enc = j->agent->encoder(j->agent->encoderNames().front());
    auto ev = j->events;
    encoder::EventHandlers handlers;
    handlers.onStateChange = [ev](std::int32_t s) {
        std::lock_guard lock(ev->mutex);
        ev->state = s;
    };
    handlers.onError = [ev](std::int32_t, const std::string& text) {
        std::lock_guard lock(ev->mutex);
        ev->errors += "[" + text + "]";
    };
    j->enc->setEventHandlers([](std::function<void()> fn) { fn(); }, handlers);
    auto& enc = *j->enc;
    enc.reset();
    auto group = enc.sourceGroups()->add("SG_1");
    auto video = group->addSource(encoder::kSourceVideo);
    auto audio = group->addSource(encoder::kSourceAudio);
    const std::string input = platform::network_source_path(serverName, source.string());
    video->setInput(input, "", "");
    audio->setInput(input, "", "");
    enc.file()->setLocalFileName(out);
    auto profiles = enc.profileCollection();
    for (std::int32_t i = 0, n = profiles->count(); i < n; ++i)
        if (auto p = profiles->item(i); p->name() == kProfile) group->setProfile(p);
    enc.prepare(true);
    for (auto& s : {video, audio}) {
        s->setMarkIn(0);
        s->setMarkOut(video->duration());
        s->setStretch(0, -1);
    }
    enc.start();
    return j;
}

std::unique_ptr<ClientJob> start_job(remote::RemoteNetwork& net, const fs::path& source, const std::string& out,
                                     const std::string& serverName = "SRV") {
    net.shareSource(source);
    return start_job(net.connectAgent("NODE1"), source, out, serverName);
}

pb::OpenRequest open_request(const std::string& server, std::uint32_t protocol = remote::kProtocolVersion,
                             std::uint32_t sharePort = remote::kSharePort) {
    pb::OpenRequest r;
    r.set_server_name(server);
    r.set_protocol(protocol);
    r.set_share_port(sharePort);
    return r;
}

// A session opened by hand, so that its id is known: its stream drained until it is dropped.
// One the agent refused has no id, and the agent's answer in `refusal`.
class RawSession {
public:
    explicit RawSession(const std::shared_ptr<grpc::Channel>& channel, const pb::OpenRequest& r = open_request("RAW"))
        : stub_(pb::Agent::NewStub(channel)) {
        remote::set_deadline(context_, 120s);
        stream_ = stub_->Open(&context_, r);
        pb::SessionEvent ev;
        if (stream_->Read(&ev) && ev.has_opened()) id = ev.opened().session();
        if (id.empty()) {  // refused: the stream has ended
            refusal = status_ = stream_->Finish();
            return;
        }
        reader_ = std::thread([this] {
            pb::SessionEvent e;
            while (stream_->Read(&e)) {
            }
        });
    }
    ~RawSession() { finish(); }
    // Ends the session; the stream's status (the agent's refusal of the Open).
    grpc::Status finish() {
        if (!reader_.joinable()) return status_;
        context_.TryCancel();
        reader_.join();
        return status_ = stream_->Finish();
    }
    pb::Agent::Stub& stub() { return *stub_; }
    grpc::Status createApp(const std::string& name);
    std::string id;
    grpc::Status refusal;

private:
    std::unique_ptr<pb::Agent::Stub> stub_;
    grpc::ClientContext context_;
    std::unique_ptr<grpc::ClientReader<pb::SessionEvent>> stream_;
    std::thread reader_;
    grpc::Status status_;
};

// A unary call of `stub` under a short deadline.
template <class Stub, class Req, class Rep>
grpc::Status call(Stub& stub, grpc::Status (Stub::*method)(grpc::ClientContext*, const Req&, Rep*), const Req& req,
                  Rep* rep = nullptr) {
    grpc::ClientContext context;
    remote::set_deadline(context, 10s);
    Rep local;
    return (stub.*method)(&context, req, rep ? rep : &local);
}

grpc::Status RawSession::createApp(const std::string& name) {
    pb::CreateAppRequest r;
    r.set_session(id);
    r.set_name(name);
    r.set_prog_id("WMEnc.WMEncoderApp");
    return call(*stub_, &pb::Agent::Stub::CreateApp, r);
}

// The text of the shardex::Error `fn` throws; "accepted" when it throws none.
template <class Fn>
std::string refusal(Fn fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "accepted";
}

pb::EncoderCall encoder_call(const std::string& session, const std::string& encoder) {
    pb::EncoderCall c;
    c.set_session(session);
    c.set_encoder(encoder);
    return c;
}

class AgentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        network = dir->path() / "network";
        remote::init_network(network);
        ours = remote::load_network(network);
        remote::init_network(dir->path() / "other");
        theirs = remote::load_network(dir->path() / "other");
        const std::string src = "-f lavfi -i testsrc2=size=320x240:rate=30000/1001 -f lavfi -i sine -c:v mjpeg -q:v 5 "
                                "-c:a pcm_s16le -t ";
        enc_test::make_clip(longClip(), src + "60");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static fs::path longClip() { return dir->path() / "long.avi"; }

    void SetUp() override {
        ASSERT_TRUE(fs::exists(longClip())) << "ffmpeg could not make the test clip";
        fs::create_directories(folder);
        node = agent("NODE1");
        ASSERT_TRUE(node->start()) << node->log();
    }

    // An agent named `name` living in this test's home; `extra` replaces or adds options.
    AgentProcess::Options options(const std::string& name, fs::path shardexDir = {}, fs::path networkDir = {},
                                  std::string listen = "127.0.0.1:0", std::vector<std::string> extra = {}) {
        const fs::path root = home.path();
        return {SHARDEX_AGENT_PATH, name, shardexDir.empty() ? folder : shardexDir,
                networkDir.empty() ? network : networkDir, root / (name + "-" + std::to_string(++started) + ".log"),
                listen, extra, {"HOME=" + root.string(), "XDG_CONFIG_HOME=" + (root / "config").string()}};
    }
    std::unique_ptr<AgentProcess> agent(const std::string& name, fs::path shardexDir = {}, fs::path networkDir = {},
                                        std::string listen = "127.0.0.1:0", std::vector<std::string> extra = {}) {
        return std::make_unique<AgentProcess>(options(name, shardexDir, networkDir, listen, extra));
    }

    remote::Endpoint endpoint() const { return {"127.0.0.1", static_cast<std::uint16_t>(node->port())}; }
    std::shared_ptr<grpc::Channel> channel() const { return remote::make_channel(endpoint(), ours); }

    std::unique_ptr<remote::RemoteNetwork> server(const std::string& name = "SRV") const {
        remote::NetworkOptions o;
        o.networkFolder = network;
        o.peersFile = home.path() / "no-peers";
        o.peers = {"NODE1=" + node->endpoint()};
        o.shareListen = "127.0.0.1:0";
        o.serverName = name;
        return std::make_unique<remote::RemoteNetwork>(o);
    }

    static inline TempDir* dir = nullptr;
    static inline fs::path network;
    static inline remote::NetworkCredentials ours, theirs;
    TempDir home;
    fs::path folder = home.path() / "Shardex";
    int started = 0;
    std::unique_ptr<AgentProcess> node;
};

TEST_F(AgentTest, StartUpFailuresSayWhatToDo) {
    const fs::path missing = home.path() / "no-such-folder";
    fs::create_directories(home.path() / "empty-network");
    struct Case {
        const char* intent;
        std::unique_ptr<AgentProcess> process;
        std::vector<std::string> says;
    } cases[] = {
        {"no certificates", agent("N2", {}, home.path() / "empty-network"),
         {"No network certificate in '" + (home.path() / "empty-network").string() + "'", "shardex-agent --init"}},
        {"no Shardex folder", agent("N3", missing),
         {"there is no Shardex folder '" + missing.string() + "'", "shardex-agent --init", "create the folder"}},
        {"port in use", agent("N4", {}, {}, node->endpoint()), {"cannot listen on " + node->endpoint()}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.intent);
        EXPECT_FALSE(c.process->start()) << c.process->log();
        EXPECT_EQ(c.process->wait_exit(10s), 2) << c.process->log();
        for (const auto& s : c.says) EXPECT_TRUE(has(c.process->log(), s)) << c.process->log();
    }
}

TEST_F(AgentTest, InitMakesPrivateCertificatesAndTheFolderOnce) {
    const fs::path net = home.path() / "new" / "network", shardex = home.path() / "new" / "Shardex";
    auto first = agent("N2", shardex, net, "127.0.0.1:0", {"--init"});
    EXPECT_FALSE(first->start());
    ASSERT_EQ(first->wait_exit(30s), 0) << first->log();
    EXPECT_TRUE(fs::is_directory(shardex));
    for (const char* f : {"ca.pem", "computer.pem", "computer.key"}) {
        struct stat st {};
        ASSERT_EQ(::stat((net / f).c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
    const std::string key = remote::load_network(net).keyPem;

    auto again = agent("N3", shardex, net, "127.0.0.1:0", {"--init"});
    EXPECT_FALSE(again->start());
    EXPECT_EQ(again->wait_exit(30s), 2) << again->log();
    EXPECT_TRUE(has(again->log(), "holds a network already")) << again->log();
    EXPECT_EQ(remote::load_network(net).keyPem, key) << "the network was replaced";
}

TEST_F(AgentTest, SessionsSeeAndReachOnlyWhatTheyMade) {
    std::string endedId;
    {
        RawSession ended(channel());
        endedId = ended.id;
    }
    RawSession a(channel()), b(channel());
    // The agent notices the closed stream at its next figures tick.
    pb::SessionRef endedRef;
    endedRef.set_session(endedId);
    EXPECT_TRUE(wait_for([&] { return call(a.stub(), &pb::Agent::Stub::ListEncoders, endedRef).error_code() ==
                                      grpc::StatusCode::NOT_FOUND; }, 5s));
    ASSERT_FALSE(a.id.empty());
    ASSERT_NE(a.id, b.id);
    const std::pair<RawSession*, const char*> made[] = {{&a, "WMEnc_1"}, {&a, "A_only"}, {&b, "WMEnc_1"}};
    for (auto [s, name] : made) ASSERT_TRUE(s->createApp(name).ok()) << name;
    const auto names = [&](RawSession& s) {
        pb::SessionRef r;
        r.set_session(s.id);
        pb::EncoderNames n;
        EXPECT_TRUE(call(s.stub(), &pb::Agent::Stub::ListEncoders, r, &n).ok());
        return std::vector<std::string>(n.names().begin(), n.names().end());
    };
    EXPECT_EQ(names(a), (std::vector<std::string>{"WMEnc_1", "A_only"}));
    EXPECT_EQ(names(b), (std::vector<std::string>{"WMEnc_1"}));

    // A's application through B's id, a made-up id and an ended session's id: every call refused.
    for (const std::string& id : {b.id, std::string(32, '0'), endedId}) {
        SCOPED_TRACE(id);
        pb::EncoderRef ref;
        ref.set_session(id);
        ref.set_encoder("A_only");
        auto stop = encoder_call(id, "A_only");
        stop.mutable_stop();
        pb::AppWindowRequest window;
        window.set_session(id);
        window.set_app("A_only");
        window.set_visible(true);
        for (const grpc::Status& st : {call(b.stub(), &pb::Agent::Stub::GetEncoder, ref),
                                       call(b.stub(), &pb::Agent::Stub::Call, stop),
                                       call(b.stub(), &pb::Agent::Stub::SetAppWindow, window)}) {
            EXPECT_EQ(st.error_code(), grpc::StatusCode::NOT_FOUND) << st.error_message();
            EXPECT_TRUE(has(st.error_message(), id == b.id ? "named 'A_only'" : "no such session on NODE1"))
                << st.error_message();
        }
    }
}

TEST_F(AgentTest, AnotherServerStoppingItsEncoderLeavesARunningEncodeAlone) {
    auto net = server();
    auto job = start_job(*net, longClip(), "a.wmv");
    ASSERT_TRUE(wait_for([&] { return job->enc->statistics()->archiveFileDuration().raw > 1000; }, 60s))
        << node->log() << job->events->errorText();
    auto other = net->connectAgent("NODE1");
    other->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    EXPECT_EQ(other->encoderNames(), (std::vector<std::string>{"WMEnc_1"}));
    auto otherEnc = other->encoder("WMEnc_1");
    otherEnc->reset();
    otherEnc->stop();
    EXPECT_EQ(otherEnc->runState(), encoder::kStateStopped);
    EXPECT_NE(job->enc->runState(), encoder::kStateStopped) << "the other Server's stop reached this encode";

    ASSERT_TRUE(wait_for([&] { return job->events->stopped(); }, 120s)) << node->log();
    EXPECT_EQ(job->events->errorText(), "");
    EXPECT_EQ(enc_test::frame_count(folder / "a.wmv"), enc_test::frame_count(longClip()));
    EXPECT_NE(enc_test::probe(folder / "a.wmv", "format_tags=ShardexSegment"), "") << "the stretch did not reach the agent";
}

// Two Servers with sources of the same name ask a client for the same output name: the
// second job is refused while the first one writes the file and until its Server has copied
// it home, instead of emptying it and handing either Server the other's pictures.
TEST_F(AgentTest, TwoServersJobsNeverWriteOneOutput) {
    auto first = server("SRV");
    auto job = start_job(*first, longClip(), "clip_SX1.wmv", "SRV");
    ASSERT_TRUE(wait_for([&] { return job->enc->statistics()->archiveFileDuration().raw > 1000; }, 60s))
        << node->log() << job->events->errorText();
    auto second = server("SRV2");
    auto refused = [&] { return refusal([&] { start_job(*second, longClip(), "clip_SX1.wmv", "SRV2"); }); };
    const std::string writing = refused();
    EXPECT_TRUE(has(writing, "'clip_SX1.wmv' is being written by a job of the Server SRV on NODE1: two jobs cannot "
                             "write one file"))
        << writing;
    // Another output is free for the other Server.
    auto other = start_job(*second, longClip(), "other_SX1.wmv", "SRV2");
    other->enc->stop();

    ASSERT_TRUE(wait_for([&] { return job->events->stopped() && other->events->stopped(); }, 120s)) << node->log();
    EXPECT_EQ(job->events->errorText(), "");
    // The other Server may read the file, but its copy does not free the name: only the copy
    // made by the job's own session does.
    const fs::path home = this->home.path() / "copy.wmv";
    second->copyFromClient("NODE1", "clip_SX1.wmv", home, {});
    const std::string notCopied = refused();
    EXPECT_TRUE(has(notCopied, "'clip_SX1.wmv' is the output of a job of the Server SRV, which has not copied it yet"))
        << notCopied;
    first->copyFromClient("NODE1", "clip_SX1.wmv", home, {});
    EXPECT_EQ(enc_test::frame_count(home), enc_test::frame_count(longClip())) << "the first Server's output was disturbed";

    // Once it is home, the name is free again.
    auto later = start_job(*second, longClip(), "clip_SX1.wmv", "SRV2");
    later->enc->stop();
    EXPECT_TRUE(wait_for([&] { return later->events->stopped(); }, 60s));
    EXPECT_EQ(later->events->errorText(), "");
}

TEST_F(AgentTest, AServerThatLetsGoEndsItsEncodeWithAValidFile) {
    auto net = server();
    auto job = start_job(*net, longClip(), "long.wmv");
    ASSERT_TRUE(wait_for([&] { return job->enc->statistics()->archiveFileDuration().raw > 2000; }, 60s))
        << node->log() << job->events->errorText();
    job.reset();  // every reference to the session: its stream closes

    ASSERT_TRUE(wait_for([&] { return has(node->log(), "the Server SRV went away: the encode is stopped"); }, 15s))
        << node->log();
    // The file is finished once its size holds still; it must then read as a whole ASF file.
    std::uintmax_t size = 0;
    ASSERT_TRUE(wait_for([&] {
        std::error_code ec;
        const auto now = fs::file_size(folder / "long.wmv", ec);
        const bool still = now == size;
        size = now;
        std::this_thread::sleep_for(500ms);
        return still && has(enc_test::probe(folder / "long.wmv", "format=format_name"), "format_name=asf");
    }, 20s));
    const int frames = enc_test::frame_count(folder / "long.wmv");
    EXPECT_GT(frames, 30);
    EXPECT_LT(frames, enc_test::frame_count(longClip()));
}

TEST_F(AgentTest, AFrozenAgentIsNoticedWithinSecondsNamingTheComputer) {
    auto net = server();
    auto job = start_job(*net, longClip(), "frozen.wmv");
    ASSERT_TRUE(wait_for([&] { return job->enc->statistics()->archiveFileDuration().raw > 1000; }, 60s))
        << node->log() << job->events->errorText();
    node->signal(SIGSTOP);
    const auto frozen = Clock::now();
    const bool noticed = wait_for([&] { return job->events->stopped(); }, 10s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - frozen);
    node->signal(SIGCONT);
    ASSERT_TRUE(noticed) << job->events->errorText();
    std::printf("frozen agent noticed after %lld ms\n", static_cast<long long>(took.count()));
    EXPECT_LT(took.count(), 3000);
    EXPECT_EQ(job->enc->runState(), encoder::kStateStopped);
    const std::string errors = job->events->errorText();
    EXPECT_TRUE(has(errors, "lost the connection to NODE1 (" + node->endpoint() + "): it stopped answering")) << errors;
    // A later call fails at once; the agent, woken, ends the encode of the Server that gave up.
    EXPECT_THROW(job->enc->stop(), Error);
    EXPECT_TRUE(wait_for([&] { return has(node->log(), "the Server SRV went away"); }, 10s)) << node->log();
}

TEST_F(AgentTest, StrangersAreRefusedOnBothServicesNamingTheComputer) {
    grpc::ChannelArguments args;
    args.SetSslTargetNameOverride(remote::kTargetName);
    grpc::SslCredentialsOptions rootOnly;
    rootOnly.pem_root_certs = ours.caPem;
    struct Case {
        const char* intent;
        std::shared_ptr<grpc::Channel> channel;
    } cases[] = {
        {"no TLS", grpc::CreateChannel(node->endpoint(), grpc::InsecureChannelCredentials())},
        {"no client certificate", grpc::CreateCustomChannel(node->endpoint(), grpc::SslCredentials(rootOnly), args)},
        {"another network's certificate",
         remote::make_channel(endpoint(), {ours.caPem, theirs.certPem, theirs.keyPem})},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.intent);
        auto agentStub = pb::Agent::NewStub(c.channel);
        auto shareStub = pb::Share::NewStub(c.channel);
        pb::SessionRef session;
        pb::FileRef file;
        file.set_path("x.wmv");
        for (const grpc::Status& st : {call(*agentStub, &pb::Agent::Stub::ListEncoders, session),
                                       call(*shareStub, &pb::Share::Stub::Stat, file)}) {
            EXPECT_FALSE(st.ok());
            const std::string text = remote::describe_failure("NODE1", endpoint(), "list its encoders", st);
            EXPECT_TRUE(has(text, "NODE1 (" + node->endpoint() + ") refused the connection: it is not a computer of "
                                  "this Shardex network"))
                << text;
        }
    }
}

TEST_F(AgentTest, TheShareLetsOutPlainFilesOfTheShardexFolderOnly) {
    std::ofstream(folder / "done.wmv") << "hello";
    std::ofstream(home.path() / "secret.txt") << "secret";
    fs::create_symlink(home.path() / "secret.txt", folder / "escape.wmv");
    fs::create_hard_link(home.path() / "secret.txt", folder / "hard.wmv");
    auto share = pb::Share::NewStub(channel());
    struct Case {
        std::string path;
        grpc::StatusCode code;
        std::string says;
    } cases[] = {
        {"../x", grpc::StatusCode::PERMISSION_DENIED, "'../x' is not a plain file name"},
        {"/etc/passwd", grpc::StatusCode::PERMISSION_DENIED, "'/etc/passwd' is not a plain file name"},
        {"escape.wmv", grpc::StatusCode::PERMISSION_DENIED, "'escape.wmv' is a link"},
        {"hard.wmv", grpc::StatusCode::PERMISSION_DENIED, "'hard.wmv' has other names (hard links)"},
        {std::string(1 << 20, 'a'), grpc::StatusCode::INVALID_ARGUMENT, "a path of 1048576 bytes is not shared"},
        {std::string("done.wmv\0x", 10), grpc::StatusCode::PERMISSION_DENIED, "'done.wmv?x' is not a plain file name"},
        {"done.wmv", grpc::StatusCode::OK, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        pb::ReadRequest read;
        read.set_path(c.path);
        read.set_length(100);
        pb::ReadReply data;
        const grpc::Status st = call(*share, &pb::Share::Stub::Read, read, &data);
        EXPECT_EQ(st.error_code(), c.code) << st.error_message();
        EXPECT_TRUE(has(st.error_message(), c.says)) << st.error_message();
        EXPECT_LT(st.error_message().size(), 300u);
        EXPECT_EQ(data.data(), c.code == grpc::StatusCode::OK ? "hello" : "");
        EXPECT_EQ(remote::describe_failure("NODE1", endpoint(), "copy the file", st).rfind("NODE1", 0), 0u);
    }
}

TEST_F(AgentTest, OutputsOutsideTheShardexFolderAndLocalSourcesAreRefused) {
    // The agent's own check, reached by a caller that skips the Server's.
    RawSession s(channel());
    ASSERT_TRUE(s.createApp("WMEnc_1").ok());
    for (std::string name : {"../evil.wmv", "/tmp/x.wmv", "a/b.wmv", "..", "", "a\\b.wmv"}) {
        SCOPED_TRACE(name);
        auto c = encoder_call(s.id, "WMEnc_1");
        c.set_set_output(name);
        const grpc::Status st = call(s.stub(), &pb::Agent::Stub::Call, c);
        EXPECT_EQ(st.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
        EXPECT_TRUE(has(st.error_message(), "'" + name + "' is not a plain file name")) << st.error_message();
    }

    // Through the Server's proxy: refused before anything is sent, or by the agent.
    auto net = server();
    auto agent = net->connectAgent("NODE1");
    agent->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    auto enc = agent->encoder("WMEnc_1");
    for (std::string path : {"../evil.wmv", "/tmp/x.wmv", "a/b.wmv"}) {
        const std::string text = refusal([&] { enc->file()->setLocalFileName(path); });
        EXPECT_TRUE(has(text, "'" + path + "' is not in the Shardex folder")) << text;
    }
    auto source = enc->sourceGroups()->add("SG_1")->addSource(encoder::kSourceVideo);
    for (const std::string& path : {longClip().string(), std::string("C:\\clip.avi"), std::string("//SRV"),
                                    std::string("//SRV/")}) {
        const std::string text = refusal([&] { source->setInput(path, "", ""); });
        EXPECT_EQ(text.rfind("NODE1: '" + path + "' is not a network path", 0), 0u) << text;
    }
    // A source on any computer but the Server of the session is never resolved or reached.
    const std::string elsewhere = refusal([&] { source->setInput("//ELSEWHERE/clip.avi", "", ""); });
    EXPECT_TRUE(has(elsewhere, "NODE1: '//ELSEWHERE/clip.avi' is on 'ELSEWHERE': NODE1 reads a source only from the "
                               "Server that gives it the job (SRV)"))
        << elsewhere;
    EXPECT_EQ(source->input(), "");
}

// A Server of another protocol version is refused at Open naming both versions, and so is a
// share port outside 1..65535 (it would be cut to 16 bits and reach some other port).
TEST_F(AgentTest, OpenRefusesAnotherVersionAndAPortThatIsNone) {
    using Code = grpc::StatusCode;
    const std::uint32_t v = remote::kProtocolVersion;
    struct Case {
        pb::OpenRequest request;
        Code code;
        std::string says;
    } cases[] = {
        {open_request("SRV", v - 1), Code::FAILED_PRECONDITION,
         "NODE1 speaks the Shardex protocol " + std::to_string(v) + ", the Server " + std::to_string(v - 1) +
             ": install"},
        {open_request("SRV", v + 1), Code::FAILED_PRECONDITION,
         "protocol " + std::to_string(v) + ", the Server " + std::to_string(v + 1)},
        {open_request("SRV", v, 0), Code::INVALID_ARGUMENT, "share port 0 is not a port from 1 to 65535"},
        {open_request("SRV", v, 65536 + 47811), Code::INVALID_ARGUMENT, "share port 113347 is not a port"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.says);
        RawSession s(channel(), c.request);
        EXPECT_EQ(s.id, "");
        const grpc::Status st = s.finish();
        EXPECT_EQ(st.error_code(), c.code) << st.error_message();
        EXPECT_TRUE(has(st.error_message(), c.says)) << st.error_message();
    }
}

// What a Server names reaches the agent's log as printable text of a bounded length: a line
// break or a terminal's escape in a name cannot forge a line or clear the screen.
TEST_F(AgentTest, AServersNameCannotForgeTheAgentsLogLines) {
    const std::string forged = "shardex-agent NODE1: all is well";
    {
        RawSession s(channel(), open_request("EVIL\n" + forged + "\x1b[2J" + std::string(100, 'x')));
        ASSERT_TRUE(s.createApp("WMEnc_1").ok());
    }
    ASSERT_TRUE(wait_for([&] { return has(node->log(), "application(s) freed"); }, 10s)) << node->log();
    const std::string log = node->log();
    EXPECT_TRUE(has(log, "the session of the Server EVIL?" + forged + "?[2Jxxx")) << log;
    EXPECT_FALSE(has(log, "\n" + forged)) << log;
    EXPECT_FALSE(has(log, "\x1b")) << log;
    EXPECT_FALSE(has(log, std::string(60, 'x'))) << log;
}

}  // namespace
}  // namespace shardex::testing

namespace shardex::testing {
namespace {

// Hostile names and messages beyond gRPC's size limit, on both services of a real agent:
// each gets a short answer that says what is wrong, and the agent goes on serving.
TEST_F(AgentTest, HostileNamesAndOversizedMessagesGetAShortClearRefusal) {
    std::ofstream(folder / "done.wmv") << "hello";
    std::ofstream(home.path() / "secret.txt") << "secret";
    fs::create_symlink(home.path() / "secret.txt", folder / "escape.wmv");
    fs::create_symlink(home.path(), folder / "up");
    // Sends whatever it is given: the agent's own limit is what answers.
    grpc::ChannelArguments args;
    args.SetSslTargetNameOverride(remote::kTargetName);
    args.SetMaxSendMessageSize(-1);
    auto channel = grpc::CreateCustomChannel(node->endpoint(), remote::client_credentials(ours), args);
    RawSession s(channel);
    ASSERT_TRUE(s.createApp("WMEnc_1").ok());
    auto share = pb::Share::NewStub(channel);

    const std::string mb(1 << 20, 'a'), over(9 << 20, 'a');  // the agent takes messages of 8 MiB
    const auto output = [&](const std::string& name) {
        auto c = encoder_call(s.id, "WMEnc_1");
        c.set_set_output(name);
        return call(s.stub(), &pb::Agent::Stub::Call, c);
    };
    const auto read = [&](const std::string& path) {
        pb::ReadRequest r;
        r.set_path(path);
        r.set_length(10);
        return call(*share, &pb::Share::Stub::Read, r);
    };
    pb::EncoderRef longEncoder;
    longEncoder.set_session(s.id);
    longEncoder.set_encoder(mb);
    pb::CreateAppRequest longProgram;
    longProgram.set_session(s.id);
    longProgram.set_name("WMEnc_2");
    longProgram.set_prog_id(mb);

    using Code = grpc::StatusCode;
    const std::string plain = "is not a plain file name";
    const std::string tooBig = "larger than max";
    struct Case {
        const char* intent;
        grpc::Status status;
        Code code;
        std::string says;
    } cases[] = {
        {"output: a 1 MB name", output(mb), Code::FAILED_PRECONDITION, "'" + mb.substr(0, 80) + "...' " + plain},
        {"output: a NUL", output(std::string("x.wmv\0.txt", 10)), Code::FAILED_PRECONDITION, "'x.wmv?.txt' " + plain},
        {"output: a link out of the folder", output("escape.wmv"), Code::FAILED_PRECONDITION,
         "'escape.wmv' is a link in the Shardex folder"},
        {"output: a link to a folder", output("up"), Code::FAILED_PRECONDITION, "'up' is a link in the Shardex folder"},
        {"output: over the size limit", output(over), Code::RESOURCE_EXHAUSTED, tooBig},
        {"encoder: a 1 MB name", call(s.stub(), &pb::Agent::Stub::GetEncoder, longEncoder), Code::NOT_FOUND,
         "no encoder named '" + mb.substr(0, 80) + "...'"},
        {"program: a 1 MB identifier", call(s.stub(), &pb::Agent::Stub::CreateApp, longProgram), Code::INVALID_ARGUMENT,
         "is not a program NODE1 can create"},
        {"share: a link to a folder", read("up"), Code::PERMISSION_DENIED, "'up' is a link"},
        {"share: over the size limit", read(over), Code::RESOURCE_EXHAUSTED, tooBig},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        EXPECT_EQ(c.status.error_code(), c.code) << c.status.error_message().substr(0, 300);
        EXPECT_TRUE(has(c.status.error_message(), c.says)) << c.status.error_message().substr(0, 300);
        EXPECT_LT(c.status.error_message().size(), 300u);
        const std::string text = remote::describe_failure("NODE1", endpoint(), "set the output", c.status);
        EXPECT_EQ(text.rfind("NODE1: ", 0), 0u) << text.substr(0, 300);
    }
    // Both services still serve.
    EXPECT_TRUE(output("fine.wmv").ok());
    EXPECT_TRUE(read("done.wmv").ok());
}

}  // namespace
}  // namespace shardex::testing

namespace shardex::testing {
namespace {

// A Server's share of `file` under `creds` whose reads of the byte at `stallAt` never get
// an answer, while the connection stays healthy (a hostile or wedged Server): they wait until
// their caller gives up, a minute at most.
class StallingShare final : public pb::Share::Service {
public:
    StallingShare(const fs::path& file, std::int64_t stallAt, const remote::NetworkCredentials& creds)
        : inner_(shared(file)), stallAt_(stallAt) {
        grpc::ServerBuilder builder;
        remote::apply_server_options(builder);  // keeps the connection up, as a real share does
        builder.AddListeningPort("127.0.0.1:0", remote::server_credentials(creds), &port);
        builder.RegisterService(this);
        server_ = builder.BuildAndStart();
    }
    ~StallingShare() override { server_->Shutdown(std::chrono::system_clock::now() + 1s); }
    grpc::Status Stat(grpc::ServerContext* c, const pb::FileRef* q, pb::FileInfo* a) override {
        return inner_.Stat(c, q, a);
    }
    grpc::Status Read(grpc::ServerContext* c, const pb::ReadRequest* q, pb::ReadReply* a) override {
        if (q->offset() > stallAt_ || q->offset() + q->length() <= stallAt_) return inner_.Read(c, q, a);
        stalled = true;
        for (const auto until = Clock::now() + 60s; !c->IsCancelled() && Clock::now() < until;)
            std::this_thread::sleep_for(5ms);
        return {grpc::StatusCode::UNAVAILABLE, "the test's share stalled"};
    }
    std::atomic<bool> stalled{false};
    int port = 0;

private:
    static std::shared_ptr<remote::SingleFileShare> shared(const fs::path& file) {
        auto share = std::make_shared<remote::SingleFileShare>();
        share->set(file);
        return share;
    }
    remote::ShareService inner_;
    std::int64_t stallAt_;
    std::unique_ptr<grpc::Server> server_;
};

// A prepare blocked in a read of a share that stopped answering holds the agent's handler
// thread and its application: ending the session frees both at once, not at the share's
// call deadlines.
TEST_F(AgentTest, EndingASessionFreesACallBlockedInASharedRead) {
    StallingShare share(longClip(), 0, ours);
    agent::AgentSettings settings;
    settings.name = "HERE";
    settings.shardexFolder = folder;
    settings.credentials = ours;
    agent::AgentService service(settings);
    const std::string id = service.openSession("SRV", {"127.0.0.1", static_cast<std::uint16_t>(share.port)});
    pb::CreateAppRequest create;
    create.set_session(id);
    create.set_name("WMEnc_1");
    create.set_prog_id("WMEnc.WMEncoderApp");
    pb::CreateAppReply created;
    ASSERT_TRUE(service.CreateApp(nullptr, &create, &created).ok());
    const auto ok = [&](const std::function<void(pb::EncoderCall&)>& fill) {
        auto c = encoder_call(id, "WMEnc_1");
        fill(c);
        pb::CallReply reply;
        const grpc::Status st = service.Call(nullptr, &c, &reply);
        EXPECT_TRUE(st.ok()) << st.error_message();
        return reply;
    };
    ok([](pb::EncoderCall& c) { c.set_add_group("SG_1"); });
    ok([](pb::EncoderCall& c) { c.mutable_add_source()->set_source(encoder::kSourceVideo); });
    ok([&](pb::EncoderCall& c) {
        c.mutable_set_input()->mutable_source();
        c.mutable_set_input()->set_path(platform::network_source_path("SRV", longClip().string()));
    });
    ok([](pb::EncoderCall& c) { c.set_set_output("stalled.wmv"); });
    const int profiles = ok([](pb::EncoderCall& c) { c.mutable_profiles_count(); }).number();
    for (int i = 0; i < profiles; ++i)
        if (ok([i](pb::EncoderCall& c) { c.set_profile_item(i); }).text() == kProfile)
            ok([i](pb::EncoderCall& c) {
                c.mutable_set_group_profile()->set_index(i);
                c.mutable_set_group_profile()->set_name(kProfile);
            });

    auto prepare = std::async(std::launch::async, [&] {
        auto c = encoder_call(id, "WMEnc_1");
        c.set_prepare(true);
        pb::CallReply reply;
        return service.Call(nullptr, &c, &reply);
    });
    ASSERT_TRUE(wait_for([&] { return share.stalled.load(); }, 30s));
    auto closed = std::async(std::launch::async, [&] { service.closeSession(id); });
    EXPECT_EQ(closed.wait_for(5s), std::future_status::ready) << "ending the session waited for the read";
    ASSERT_EQ(prepare.wait_for(5s), std::future_status::ready) << "the handler thread is still held";
    EXPECT_EQ(prepare.get().error_code(), grpc::StatusCode::FAILED_PRECONDITION);
    EXPECT_EQ(service.sessionCount(), 0u);
}

// SIGTERM ends the agent at once whatever its job waits for: a prepare, or an encode, blocked
// in a read of a share that stopped answering. The encode's output is still finished.
TEST_F(AgentTest, SigtermEndsTheAgentWhateverItsJobWaitsFor) {
    const auto third = static_cast<std::int64_t>(fs::file_size(longClip()) / 3);
    for (std::int64_t stallAt : {std::int64_t{0}, third}) {
        SCOPED_TRACE(stallAt);
        StallingShare share(longClip(), stallAt, ours);
        node = agent("NODE1");
        ASSERT_TRUE(node->start()) << node->log();
        // A Server whose share (the session's own) stops answering.
        auto session = remote::connect_agent({"NODE1", remote::parse_endpoint(node->endpoint(), 0)}, ours,
                                             {"STALL", static_cast<std::uint16_t>(share.port)});
        // Set up (and, past the stall, started) on a thread of its own: a stalled prepare
        // answers only when the agent goes.
        auto job = std::async(std::launch::async, [&] { return start_job(session, longClip(), "stalled.wmv", "STALL"); });
        ASSERT_TRUE(wait_for([&] { return share.stalled.load(); }, 60s)) << node->log();
        const auto signalled = Clock::now();
        node->signal(SIGTERM);
        EXPECT_EQ(node->wait_exit(2s), 0) << node->log();
        std::printf("agent ended %lld ms after SIGTERM\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count()));
        if (stallAt > 0) {
            EXPECT_TRUE(has(enc_test::probe(folder / "stalled.wmv", "format=format_name"), "format_name=asf"));
            EXPECT_GT(enc_test::frame_count(folder / "stalled.wmv"), 30);
        }
        try {
            job.get();
        } catch (const Error&) {  // the agent went in the middle of the set-up
        }
    }
}

// Prints a process's threads, open descriptors and resident memory (from /proc) for the
// report of a flood; returns the first two.
std::pair<int, int> figures(pid_t pid, const char* who, const char* when) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc / "status");
    std::string line, threads, rss;
    while (std::getline(status, line))
        for (auto [key, value] : {std::pair{"Threads:", &threads}, {"VmRSS:", &rss}})
            if (line.rfind(key, 0) == 0) *value = line.substr(line.find_first_not_of(" \t", std::strlen(key)));
    int fds = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(proc / "fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++fds;
    std::printf("%s %s: %s threads, %d descriptors, %s resident\n", who, when, threads.c_str(), fds, rss.c_str());
    return {std::stoi(threads), fds};
}

// With the usual 1024 open files, about 1,100 connections from anyone on the LAN used to
// stop a listener for good. A real agent and a Server's share, each under 256, meet more
// plain TCP connections than they have descriptors; once those are gone, both shares
// answer and a Server's session opens and works.
TEST_F(AgentTest, AFloodOfPlainConnectionsLeavesTheListenersServing) {
    const fs::path file = folder / "done.wmv";
    std::ofstream(file) << "hello";
    auto agentOptions = options("NODE1"), shareOptions = options("SRV", {}, {}, "127.0.0.1:0", {"--share-host", file});
    shareOptions.program = fs::read_symlink("/proc/self/exe");
    agentOptions.wrapper = shareOptions.wrapper = {"prlimit", "--nofile=256"};
    node = std::make_unique<AgentProcess>(agentOptions);
    AgentProcess share(shareOptions);
    ASSERT_TRUE(node->start() && share.start()) << node->log() << share.log();

    const struct {
        const char* who;
        AgentProcess& process;
        std::string path;
    } cases[] = {{"agent", *node, "done.wmv"}, {"Server's share", share, platform::share_path_of(file.string())}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who);
        figures(c.process.pid(), c.who, "before the flood");
        std::vector<int> flood;
        sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(c.process.port())), {htonl(INADDR_LOOPBACK)}, {}};
        for (int fd; flood.size() < 400 && (fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) >= 0;) {
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);  // done or under way
            flood.push_back(fd);
        }
        EXPECT_TRUE(wait_for([&] { return has(c.process.log(), "turning incoming connections away"); }, 10s))
            << c.process.log();
        figures(c.process.pid(), c.who, "during the flood");
        for (int fd : flood) ::close(fd);

        auto stub = pb::Share::NewStub(remote::make_channel({"127.0.0.1", ntohs(to.sin_port)}, ours));
        pb::FileRef ref;
        ref.set_path(c.path);
        pb::FileInfo info;
        EXPECT_TRUE(wait_for([&] { return call(*stub, &pb::Share::Stub::Stat, ref, &info).ok(); }, 10s));
        EXPECT_EQ(info.size(), 5);
        figures(c.process.pid(), c.who, "after the flood");
    }
    auto agent = server()->connectAgent("NODE1");
    agent->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    EXPECT_EQ(agent->encoderNames(), std::vector<std::string>{"WMEnc_1"});
}

// An abuser on other addresses meets each limit at once, with a short refusal naming it,
// while a Server's session made before goes on working; the agent's threads and
// descriptors stay bounded, and it takes new sessions again once the abuser is gone.
TEST_F(AgentTest, AnAbuserMeetsEachLimitWhileAServerIsServed) {
    namespace limits = remote::limits;
    std::ofstream(folder / "done.wmv") << "hello";
    std::ofstream(folder / "big.wmv").close();
    fs::resize_file(folder / "big.wmv", 256 << 20);  // sparse
    auto net = server();
    auto legit = net->connectAgent("NODE1");
    legit->createEncoderApp("WMEnc_1", "WMEnc.WMEncoderApp");
    const auto before = figures(node->pid(), "agent", "before the abuse");

    // Calls `step` until the agent refuses: how many it took, and the refusal.
    const auto until_refused = [](auto step) {
        std::pair<std::size_t, grpc::Status> r{0, grpc::Status::OK};
        while (r.first < 100 && (r.second = step()).ok()) ++r.first;
        return r;
    };
    // Sessions from 127.0.0.2 up to the cap for one address, then from more addresses up to
    // the cap in all (the Server's session counts); one connection each.
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
    const auto on_encoder = [&](auto set) {
        auto c = encoder_call(s.id, "0");
        set(c);
        return call(s.stub(), &pb::Agent::Stub::Call, c);
    };
    int made = 0;
    const auto apps = until_refused([&] { return s.createApp(std::to_string(made++)); });
    const auto groups = until_refused([&] { return on_encoder([&](auto& c) { c.set_add_group(std::to_string(made++)); }); });
    const auto sources =
        until_refused([&] { return on_encoder([](auto& c) { c.mutable_add_source()->set_source(encoder::kSourceVideo); }); });
    auto share = pb::Share::NewStub(channels.front());
    std::vector<std::pair<std::unique_ptr<grpc::ClientContext>, std::unique_ptr<grpc::ClientReader<pb::Chunk>>>> unread;
    const auto downloads = until_refused([&] {  // each read up to its first chunk only
        unread.emplace_back(std::make_unique<grpc::ClientContext>(), nullptr);
        remote::set_deadline(*unread.back().first, 120s);
        pb::FileRef big;
        big.set_path("big.wmv");
        unread.back().second = share->Download(unread.back().first.get(), big);
        pb::Chunk chunk;
        if (unread.back().second->Read(&chunk)) return grpc::Status::OK;
        const grpc::Status refused = unread.back().second->Finish();
        unread.pop_back();
        return refused;
    });

    // Meanwhile the Server's session works: a job's set-up calls and a copy.
    auto group = legit->encoder("WMEnc_1")->sourceGroups()->add("SG_1");
    group->addSource(encoder::kSourceVideo);
    EXPECT_EQ(group->sourceCount(), 1);
    net->copyFromClient("NODE1", "done.wmv", home.path() / "copy.wmv", {});
    EXPECT_EQ(fs::file_size(home.path() / "copy.wmv"), 5u);
    const auto during = figures(node->pid(), "agent", "during the abuse");
    EXPECT_LE(during.first, before.first + limits::kMaxSessions + limits::kMaxDownloads + 16);
    EXPECT_LE(during.second, before.second + 32);

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
        {"a group name of 1 MiB", {0, on_encoder([&](auto& c) { c.set_add_group(mb); })}, -1, "a group name" + of},
        {"a display text of 1 MiB", {0, on_encoder([&](auto& c) { c.mutable_set_display_info()->set_value(mb); })}, -1,
         "a display information text" + of},
        {"a source path of 1 MiB", {0, on_encoder([&](auto& c) { c.mutable_set_input()->set_path(mb); })}, -1,
         "a source path" + of},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        const grpc::Status& st = c.outcome.second;
        EXPECT_EQ(c.outcome.first, static_cast<std::size_t>(std::max(c.limit, 0)));
        EXPECT_EQ(st.error_code(), c.limit < 0 ? grpc::StatusCode::INVALID_ARGUMENT : grpc::StatusCode::RESOURCE_EXHAUSTED);
        EXPECT_TRUE(has(st.error_message(), c.says) && st.error_message().size() < 200) << st.error_message();
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
    EXPECT_TRUE(wait_for([&] { return refusal([&] { later->connectAgent("NODE1"); }) == "accepted"; }, 10s));
    figures(node->pid(), "agent", "after the abuse");
}

}  // namespace
}  // namespace shardex::testing

// The Server's share as `shardex` serves it (one file, on a server with the network's options
// and credentials), without the window: this program run with AgentProcess's options and
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
    builder.AddListeningPort(option["--listen"], remote::server_credentials(remote::load_network(option["--network-dir"])),
                             &port);
    auto server = builder.RegisterService(&service).BuildAndStart();
    if (!server || port == 0) return 2;
    std::printf("share listening on 127.0.0.1:%d, for a test\n", port);
    std::fflush(stdout);
    server->Wait();  // until the test stops this process
    return 0;
}

int main(int argc, char** argv) {
    if (std::find(argv, argv + argc, std::string("--share-host")) != argv + argc) return share_host(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

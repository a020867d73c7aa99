// The Share service over loopback: reads and copies through ShareClient, the block cache the
// encoder reads a shared source through, and an encode of a source on another computer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "encoder/support.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/local_encoder.h"
#include "platform/encoder/profiles.h"
#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/share_client.h"
#include "platform/remote/limits.h"
#include "platform/remote/share_service.h"

namespace shardex::remote {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using enc_test::TempDir;

constexpr std::int64_t kMiB = 1 << 20;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string random_file(const fs::path& p, std::size_t n, unsigned seed = 7) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    std::ofstream(p, std::ios::binary) << s;
    return s;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string error_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

// The real service, with its calls counted.
class CountingShare final : public proto::Share::Service {
public:
    explicit CountingShare(std::shared_ptr<const SharePolicy> policy,
                           std::chrono::milliseconds idle = limits::kDownloadIdleTimeout)
        : inner_(std::move(policy), {}, idle) {}
    grpc::Status Stat(grpc::ServerContext* c, const proto::FileRef* q, proto::FileInfo* a) override {
        ++stats;
        return inner_.Stat(c, q, a);
    }
    grpc::Status Read(grpc::ServerContext* c, const proto::ReadRequest* q, proto::ReadReply* a) override {
        ++reads;
        return inner_.Read(c, q, a);
    }
    grpc::Status Download(grpc::ServerContext* c, const proto::FileRef* q, grpc::ServerWriter<proto::Chunk>* w) override {
        return inner_.Download(c, q, w);
    }
    std::atomic<int> stats{0}, reads{0};

private:
    ShareService inner_;
};

// A share that claims what it is told to: a file of `claimed` bytes whose reads and copy
// give only its first `served`.
class LyingShare final : public proto::Share::Service {
public:
    grpc::Status Stat(grpc::ServerContext*, const proto::FileRef*, proto::FileInfo* a) override {
        a->set_size(claimed);
        return grpc::Status::OK;
    }
    grpc::Status Read(grpc::ServerContext*, const proto::ReadRequest* q, proto::ReadReply* a) override {
        a->set_data(std::string(static_cast<std::size_t>(std::clamp<std::int64_t>(served - q->offset(), 0, q->length())), 'x'));
        return grpc::Status::OK;
    }
    grpc::Status Download(grpc::ServerContext*, const proto::FileRef*, grpc::ServerWriter<proto::Chunk>* w) override {
        proto::Chunk chunk;
        chunk.set_data(std::string(static_cast<std::size_t>(served.load()), 'x'));
        w->Write(chunk);
        return grpc::Status::OK;
    }
    std::atomic<std::int64_t> claimed{0}, served{0};
};

// A share service (the counting one unless told) on 127.0.0.1 (plain transport: TLS is
// tested on its own) and a client that calls its computer SRV.
template <class Service = CountingShare>
class Loopback {
public:
    template <class... Args>
    explicit Loopback(Args&&... args) : service(std::forward<Args>(args)...) {
        grpc::ServerBuilder builder;
        builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
        builder.RegisterService(&service);
        server_ = builder.BuildAndStart();
        EXPECT_TRUE(server_ != nullptr && port_ > 0) << "test server did not start";
        const Endpoint endpoint{"127.0.0.1", static_cast<std::uint16_t>(port_)};
        channel = grpc::CreateChannel(endpoint.text(), grpc::InsecureChannelCredentials());
        client = std::make_shared<ShareClient>(channel, "SRV", endpoint);
    }
    ~Loopback() { stop(); }
    void stop() {
        if (server_) server_->Shutdown(std::chrono::system_clock::now() + 1s);
        server_.reset();
    }

    Service service;
    std::shared_ptr<grpc::Channel> channel;
    std::shared_ptr<ShareClient> client;

private:
    int port_ = 0;
    std::unique_ptr<grpc::Server> server_;
};

// Reads at `offset` through `read` and checks the bytes against `data`, and that nothing
// was written past what it returned.
template <class Read>
void check_read(const std::string& data, std::int64_t offset, std::int64_t length, std::int64_t expect, Read read) {
    SCOPED_TRACE(std::to_string(offset) + "+" + std::to_string(length));
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(length) + 1, 0xEE);
    const std::int64_t n = read(offset, buf.data(), length);
    ASSERT_EQ(n, expect);
    if (n > 0) {
        EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + offset, static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(buf[static_cast<std::size_t>(n)], 0xEE) << "wrote past what it returned";
}

TEST(ShareClient, ReadsByOffsetDirectAndThroughTheBlockCache) {
    TempDir dir;
    const std::string data = random_file(dir / "a.avi", 5 * kMiB / 2 + 123);
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    auto source = make_cached_share_source(net.client, "a.avi");
    const auto size = static_cast<std::int64_t>(data.size());
    EXPECT_EQ(net.client->size("a.avi"), size);
    EXPECT_EQ(source->size(), size);
    struct Case {
        std::int64_t offset, length, expect;
    } cases[] = {
        {0, 10, 10},
        {kMiB - 3, 6, 6},                      // across a block boundary
        {10, 2 * kMiB + 77, 2 * kMiB + 77},    // across three blocks; several calls of at most kMaxReadBytes
        {size - 4, 100, 4},                    // cut at the end
        {size, 10, 0},
        {size + kMiB * 100, 10, 0},            // far beyond the end (64-bit offsets)
        {INT64_MAX - 10, 5, 0},
        {INT64_MAX - 1, 100, 0},               // whose end lies beyond the largest offset
        {0, 0, 0},
    };
    for (const auto& c : cases) {
        check_read(data, c.offset, c.length, c.expect,
                   [&](std::int64_t at, std::uint8_t* b, std::int64_t n) { return net.client->read("a.avi", at, b, n); });
        check_read(data, c.offset, c.length, c.expect,
                   [&](std::int64_t at, std::uint8_t* b, std::int64_t n) { return source->read(at, b, n); });
    }
    EXPECT_EQ(net.service.stats.load(), 2) << "the cached source asks the size once";
}

TEST(ShareClient, RefusalsNameTheComputerAndTheFile) {
    TempDir dir;
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    EXPECT_EQ(error_of([&] { net.client->size("../x"); }), "SRV: '../x' is not a plain file name: it contains '/', '\\' or ':'");
    const std::string gone = "SRV: 'gone.wmv' is not in the Shardex folder of this computer";
    std::uint8_t b[4];
    EXPECT_EQ(error_of([&] { net.client->read("gone.wmv", 0, b, 4); }), gone);
    EXPECT_EQ(error_of([&] { net.client->download("gone.wmv", dir / "copy.wmv", {}); }), gone);
    EXPECT_FALSE(fs::exists(dir / "copy.wmv"));
}

// What a share claims is checked before anything is worked out from it: a size beyond any
// file (offsets and the copy's deadline would overflow) is refused, and so is a file that
// turns out shorter than its size while it is read, which would end the encode early.
TEST(ShareClient, AShareClaimingImpossibleSizesIsRefused) {
    TempDir dir;
    Loopback<LyingShare> net;
    const std::int64_t huge = INT64_MAX - 5;
    const std::string tooBig = "SRV: gave a size of " + std::to_string(huge) +
                               " bytes for 'x.avi', more than a shared file can be (1 PiB)";
    const struct {
        std::int64_t claimed, served, at;
        std::string says;
    } cases[] = {
        {huge, huge, huge - 10, tooBig},
        {3 * kMiB, kMiB, 2 * kMiB, "SRV: 'x.avi' changed while it was read: it is shorter than the 3145728 bytes it had"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        net.service.claimed = c.claimed;
        net.service.served = c.served;
        auto source = make_cached_share_source(net.client, "x.avi");
        std::uint8_t b[16];
        EXPECT_EQ(error_of([&] { source->read(c.at, b, sizeof b); }), c.says);
    }
    net.service.claimed = huge;
    EXPECT_EQ(error_of([&] { net.client->download("x.avi", dir / "x.avi", {}); }), tooBig);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    // A copy that ends short of the size the share first gave never replaces the file here.
    std::ofstream(dir / "x.avi") << "the good one";
    net.service.claimed = 1000;
    net.service.served = 600;
    EXPECT_EQ(error_of([&] { net.client->download("x.avi", dir / "x.avi", {}); }),
              "SRV: 'x.avi' changed while it was copied (600 of 1000 bytes)");
    EXPECT_EQ(read_file(dir / "x.avi"), "the good one");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(ShareClient, DownloadIsByteExactOrLeavesNothing) {
    TempDir dir;
    fs::create_directories(dir / "out");
    const std::string data = random_file(dir / "seg.wmv", 3 * kMiB + 4321, 2);
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    const fs::path target = dir / "out" / "seg.wmv";
    const auto size = static_cast<std::int64_t>(data.size());

    {  // over an older copy, reporting progress up to the whole size
        std::ofstream(target) << "an older copy, replaced whole";
        std::vector<std::int64_t> done;
        net.client->download("seg.wmv", target, [&](std::int64_t d, std::int64_t total) {
            EXPECT_EQ(total, size);
            EXPECT_TRUE(done.empty() || d > done.back());
            done.push_back(d);
            return true;
        });
        EXPECT_EQ(read_file(target), data);
        ASSERT_GE(done.size(), 2u);
        EXPECT_EQ(done.back(), size);
        fs::remove(target);
        EXPECT_TRUE(fs::is_empty(dir / "out")) << "a temporary file was left";
    }
    {  // onto the very file being served
        net.client->download("seg.wmv", dir / "seg.wmv", {});
        EXPECT_EQ(read_file(dir / "seg.wmv"), data);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2) << "a temporary file was left";
    }
    {  // cancelled
        int calls = 0;
        EXPECT_EQ(error_of([&] {
                      net.client->download("seg.wmv", target, [&](std::int64_t, std::int64_t) { return ++calls < 2; });
                  }),
                  "the copy of 'seg.wmv' from SRV was cancelled");
        EXPECT_EQ(calls, 2);
        EXPECT_TRUE(fs::is_empty(dir / "out"));
        EXPECT_EQ(net.client->size("seg.wmv"), size) << "the service is unusable after a cancelled stream";
    }
    {  // a failed write (the file-size limit, standing in for a full disk) names the target
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit limited = old;
        limited.rlim_cur = kMiB;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        const std::string text = error_of([&] { net.client->download("seg.wmv", target, {}); });
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(text, "cannot write '" + target.string() + "': File too large");
        EXPECT_TRUE(fs::is_empty(dir / "out"));
    }
}

// A computer that takes the connection and never answers (its program frozen) is given up
// after a short connection limit, not after a whole call deadline; nothing is written.
TEST(ShareClient, ACopyFromAComputerThatNeverAnswersGivesUpOnTheConnection) {
    TempDir dir;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);  // the system completes the connection; nobody answers on it
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const Endpoint endpoint{"127.0.0.1", ntohs(addr.sin_port)};
    ShareClient client(grpc::CreateChannel(endpoint.text(), grpc::InsecureChannelCredentials()), "NODE2", endpoint);
    const std::string text = error_of([&] { client.download("seg.wmv", dir / "seg.wmv", {}); });
    ::close(fd);
    EXPECT_EQ(text, "NODE2 (" + endpoint.text() + ") did not answer in time. Could not copy 'seg.wmv'. (no answer to "
                                                  "the connection within 3 s)");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A reader that takes nothing holds a download's thread in Write (flow control): such
// downloads are cancelled after the idle time, which frees their places, of which one
// address has a few. A download ends only sent whole or cancelled: these are never whole.
TEST(ShareService, UnreadDownloadsAreCancelledAfterTheIdleTime) {
    TempDir dir;
    std::ofstream(dir / "big.wmv").close();
    fs::resize_file(dir / "big.wmv", 256 * kMiB);  // sparse
    Loopback net(std::make_shared<FolderShare>(dir.path()), 300ms);
    auto stub = proto::Share::NewStub(net.channel);
    struct Download {
        grpc::ClientContext context;
        std::unique_ptr<grpc::ClientReader<proto::Chunk>> reader;
        bool started = false;
        grpc::Status refusal;
    };
    std::vector<std::unique_ptr<Download>> all;
    const auto start = [&] {  // reads the first chunk only
        auto& d = *all.emplace_back(std::make_unique<Download>());
        d.context.set_deadline(std::chrono::system_clock::now() + 60s);
        proto::FileRef ref;
        ref.set_path("big.wmv");
        d.reader = stub->Download(&d.context, ref);
        proto::Chunk chunk;
        if (!(d.started = d.reader->Read(&chunk))) d.refusal = d.reader->Finish();
        return d.started;
    };
    for (int i = 0; i < limits::kMaxDownloadsPerPeer; ++i) EXPECT_TRUE(start());
    EXPECT_FALSE(start());
    const grpc::Status refusal = all.back()->refusal;
    EXPECT_EQ(refusal.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
    EXPECT_TRUE(has(refusal.error_message(), "the most it sends to one computer at once")) << refusal.error_message();
    bool later = false;
    for (int i = 0; i < 200 && !later; ++i) {
        std::this_thread::sleep_for(100ms);
        later = start();
    }
    EXPECT_TRUE(later) << "the idle downloads kept their places";
    for (auto& d : all) {
        if (!d->started) continue;
        d->context.TryCancel();
        for (proto::Chunk chunk; d->reader->Read(&chunk);) {
        }
        d->reader->Finish();
    }
}

TEST(ShareSource, TwoInterleavedReadersFetchEachBlockOnce) {
    TempDir dir;
    const std::string data = random_file(dir / "a.avi", 4 * kMiB);
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    auto source = make_cached_share_source(net.client, "a.avi");
    // A video and an audio demuxer walking the file in 64 KiB steps, half a block apart.
    const std::int64_t step = 64 << 10;
    std::vector<std::uint8_t> buf(step);
    for (std::int64_t pos = 0; pos < 4 * kMiB + kMiB / 2; pos += step) {
        for (std::int64_t at : {pos, pos - kMiB / 2}) {
            if (at < 0 || at >= 4 * kMiB) continue;
            ASSERT_EQ(source->read(at, buf.data(), step), step);
            ASSERT_EQ(0, std::memcmp(buf.data(), data.data() + at, step));
        }
    }
    EXPECT_EQ(net.service.reads.load(), 4);
}

// ---- encoding through the share ----

// An encoder whose "//"-paths are read through `client`'s share; counts how often the
// opener was asked. The encoder is the last member, so it (and its worker, which posts to
// the event log) goes first.
struct ShareJob {
    enc_test::EventLog events;
    std::vector<std::string> errorTexts;
    int opened = 0;
    std::shared_ptr<encoder::Encoder> encoder;
};

std::unique_ptr<ShareJob> make_share_job(const std::shared_ptr<ShareClient>& client, const std::string& source,
                                         const fs::path& output) {
    using namespace shardex::encoder;
    auto job = std::make_unique<ShareJob>();
    LocalEncoderOptions options;
    options.openInput = [client, j = job.get()](const std::string& path) -> std::shared_ptr<ByteSource> {
        if (path.rfind("//", 0) != 0) return nullptr;
        ++j->opened;
        return make_cached_share_source(client, platform::parse_network_path(path).path);
    };
    job->encoder = create_local_encoder(options);
    auto group = job->encoder->sourceGroups()->add("SG_1");
    group->addSource(kSourceVideo)->setInput(source, "", "");
    group->addSource(kSourceAudio)->setInput(source, "", "");
    job->encoder->file()->setLocalFileName(output.string());
    auto profile = find_stock_profile("Windows Media Video 8 for Local Area Network (768 Kbps)");
    EXPECT_TRUE(profile);
    group->setProfile(profile);
    auto handlers = job->events.handlers();
    handlers.onError = [j = job.get()](std::int32_t code, const std::string& text) {
        j->events.errors.push_back(code);
        j->errorTexts.push_back(text);
    };
    job->encoder->setEventHandlers(job->events.executor(), handlers);
    return job;
}

// A few seconds of picture and sound, shared alone, large enough (about 3.5 MiB) to span
// several blocks.
struct SharedClip {
    TempDir dir;
    fs::path clip = dir / "clip.avi";
    std::shared_ptr<SingleFileShare> share = std::make_shared<SingleFileShare>();
    std::string networkPath = platform::network_source_path("SRV", clip.string());
    int blocks = 0;
    SharedClip() {
        enc_test::make_clip(clip, "-f lavfi -i testsrc2=size=640x480:rate=25:duration=4 -f lavfi -i "
                                  "sine=frequency=440:duration=4 -c:v mjpeg -q:v 2 -c:a pcm_s16le");
        share->set(clip);
        blocks = static_cast<int>((fs::file_size(clip) + kMiB - 1) / kMiB);
    }
};

TEST(ShareSource, EncodeThroughTheShareMatchesTheLocalEncode) {
    SharedClip s;
    Loopback net(s.share);
    for (const auto& [input, output] : {std::pair{s.clip.string(), "local.wmv"}, {s.networkPath, "remote.wmv"}}) {
        auto job = make_share_job(net.client, input, s.dir / output);
        job->encoder->prepare(true);
        job->encoder->start();
        ASSERT_TRUE(job->events.waitStopped());
        EXPECT_TRUE(job->events.errors.empty());
        // A local path never goes through the share; both demuxers of a shared one use one
        // cached source, so each block is fetched once.
        EXPECT_EQ(job->opened, input == s.networkPath ? 1 : 0);
        EXPECT_EQ(net.service.reads.load(), input == s.networkPath ? s.blocks : 0);
    }
    EXPECT_GE(s.blocks, 2) << "the clip should span several blocks";
    const int frames = enc_test::frame_count(s.dir / "local.wmv");
    EXPECT_GT(frames, 50);
    EXPECT_EQ(enc_test::frame_count(s.dir / "remote.wmv"), frames);
}

TEST(ShareSource, UnsharedPathFailsAtPrepareNamingTheComputer) {
    TempDir dir;
    auto share = std::make_shared<SingleFileShare>();
    share->set(dir / "chosen.avi");
    Loopback net(share);
    auto job = make_share_job(net.client, "//SRV/elsewhere/clip.avi", dir / "out.wmv");
    try {
        job->encoder->prepare(true);
        FAIL() << "prepare succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), encoder::errors::kSourceUnreadable);
        EXPECT_TRUE(has(e.what(), "cannot open source '//SRV/elsewhere/clip.avi': SRV: '/elsewhere/clip.avi' is not "
                                  "shared by this computer"))
            << e.what();
    }
}

// The share going away mid-encode fails the encode with the reason, instead of ending it
// early as if the file were shorter.
TEST(ShareSource, LostShareFailsTheEncodeNamingTheComputer) {
    SharedClip s;
    Loopback net(s.share);
    auto job = make_share_job(net.client, s.networkPath, s.dir / "out.wmv");
    job->encoder->prepare(true);
    ASSERT_LT(net.service.reads.load(), s.blocks) << "prepare read the whole clip: nothing is left to fail";
    net.stop();
    job->encoder->start();
    ASSERT_TRUE(job->events.waitStopped());
    ASSERT_EQ(job->events.errors.size(), 1u);
    EXPECT_EQ(job->events.errors[0], encoder::errors::kSourceUnreadable);
    EXPECT_TRUE(has(job->errorTexts[0], "cannot read source '//SRV")) << job->errorTexts[0];
    EXPECT_TRUE(has(job->errorTexts[0], "SRV (127.0.0.1:")) << job->errorTexts[0];
}

}  // namespace
}  // namespace shardex::remote

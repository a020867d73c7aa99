// The Share service over loopback: reads and copies through ShareClient, the block cache the
// encoder reads a shared source through, what a lying or silent share is refused, and an
// encode of a source on another computer.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <random>

#include "platform/encoder/errors.h"
#include "platform/network_paths.h"
#include "platform/remote/limits.h"
#include "platform/remote/share_client.h"
#include "platform/remote/share_service.h"
#include "support/grpc_server.h"
#include "support/job.h"
#include "support/media.h"

namespace shardex::testing {
namespace {

using remote::proto::FileInfo;
using remote::proto::FileRef;
using remote::proto::ReadReply;
using remote::proto::ReadRequest;
constexpr std::int64_t kMiB = 1 << 20;

std::string random_file(const fs::path& p, std::size_t n) {
    std::mt19937 gen(7);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    write_file(p, s);
    return s;
}

// The real service with its calls counted; or, when `claimed` is set, a share that claims a
// file of `claimed` bytes whose reads give only its first `served`.
class TestShare final : public remote::proto::Share::Service {
public:
    explicit TestShare(std::shared_ptr<const remote::SharePolicy> policy, std::chrono::milliseconds idle = remote::limits::kDownloadIdleTimeout)
        : inner_(std::move(policy), {}, idle) {}
    grpc::Status Stat(grpc::ServerContext* c, const FileRef* q, FileInfo* a) override {
        ++stats;
        if (claimed < 0) return inner_.Stat(c, q, a);
        a->set_size(claimed);
        return grpc::Status::OK;
    }
    grpc::Status Read(grpc::ServerContext* c, const ReadRequest* q, ReadReply* a) override {
        ++reads;
        if (claimed < 0) return inner_.Read(c, q, a);
        a->set_data(std::string(static_cast<std::size_t>(std::clamp<std::int64_t>(served - q->offset(), 0, q->length())), 'x'));
        return grpc::Status::OK;
    }
    grpc::Status Download(grpc::ServerContext* c, const FileRef* q, grpc::ServerWriter<remote::proto::Chunk>* w) override {
        if (claimed < 0) return inner_.Download(c, q, w);
        remote::proto::Chunk chunk;
        chunk.set_data(std::string(static_cast<std::size_t>(served.load()), 'x'));
        w->Write(chunk);
        return grpc::Status::OK;
    }
    std::atomic<int> stats{0}, reads{0};
    std::atomic<std::int64_t> claimed{-1}, served{0};

private:
    remote::ShareService inner_;
};

// The test share on 127.0.0.1 (plain transport: TLS is tested on its own) and a client that
// calls its computer SRV.
struct Loopback {
    template <class... Args>
    explicit Loopback(Args&&... args) : service(std::forward<Args>(args)...), server(service, grpc::InsecureServerCredentials(), false) {}
    TestShare service;
    LocalServer server;
    std::shared_ptr<remote::ShareClient> client =
        std::make_shared<remote::ShareClient>(server.plain_channel(), "SRV", server.endpoint());
};

TEST(ShareClient, ReadsByOffsetDirectAndThroughTheBlockCache) {
    TempDir dir;
    const std::string data = random_file(dir / "a.avi", 5 * kMiB / 2 + 123);
    Loopback net(std::make_shared<remote::FolderShare>(dir.path()));
    auto source = remote::make_cached_share_source(net.client, "a.avi");
    const auto size = static_cast<std::int64_t>(data.size());
    const struct {
        std::int64_t offset, length, expect;
    } cases[] = {
        {0, 10, 10}, {kMiB - 3, 6, 6},         // across a block boundary
        {10, 2 * kMiB + 77, 2 * kMiB + 77},    // across three blocks, in several calls
        {size - 4, 100, 4}, {size, 10, 0},     // cut at the end
        {size + kMiB * 100, 10, 0},            // far beyond the end (64-bit offsets)
        {INT64_MAX - 1, 100, 0},               // whose end lies beyond the largest offset
        {0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        for (bool cached : {false, true}) {
            std::vector<std::uint8_t> buf(static_cast<std::size_t>(c.length) + 1, 0xEE);
            const std::int64_t n = cached ? source->read(c.offset, buf.data(), c.length)
                                          : net.client->read("a.avi", c.offset, buf.data(), c.length);
            ASSERT_EQ(n, c.expect);
            EXPECT_EQ(std::memcmp(buf.data(), data.data() + std::min(c.offset, size), static_cast<std::size_t>(n)), 0);
            EXPECT_EQ(buf[static_cast<std::size_t>(n)], 0xEE) << "written past what it returned";
        }
    }
    EXPECT_EQ(net.service.stats.load(), 1) << "the cached source asks the size once";
    // A video and an audio demuxer walking the file half a block apart fetch each block once.
    const int before = net.service.reads;
    auto twin = remote::make_cached_share_source(net.client, "a.avi");
    std::vector<std::uint8_t> buf(64 << 10);
    for (std::int64_t pos = 0; pos < size + kMiB / 2; pos += 64 << 10)
        for (std::int64_t at : {pos, pos - kMiB / 2})
            if (at >= 0 && at < 2 * kMiB) twin->read(at, buf.data(), 64 << 10);
    EXPECT_EQ(net.service.reads - before, 2);
}

// What the client refuses names the computer and the file: the share's own refusals, and what
// a share claims that no file can be (offsets and the copy's deadline would overflow), or a
// file turning out shorter than its size while it is read (the encode would end early).
TEST(ShareClient, RefusalsAndImpossibleClaimsNameTheComputerAndTheFile) {
    TempDir dir;
    Loopback net(std::make_shared<remote::FolderShare>(dir.path()));
    std::uint8_t b[16];
    EXPECT_EQ(error_of([&] { net.client->read("gone.wmv", 0, b, 4); }), "SRV: 'gone.wmv' is not in the Shardex folder of this computer");
    const std::int64_t huge = INT64_MAX - 5;
    const std::string tooBig = "SRV: gave a size of " + std::to_string(huge) + " bytes for 'x.avi', more than a shared file can be (1 PiB)";
    const struct {
        std::int64_t claimed, served, at;
        std::string says;
    } cases[] = {
        {huge, huge, huge - 10, tooBig},
        {3 * kMiB, kMiB, 2 * kMiB, "SRV: 'x.avi' changed while it was read: it is shorter than the 3145728 bytes it had"},
    };
    for (const auto& c : cases) {
        net.service.claimed = c.claimed;
        net.service.served = c.served;
        EXPECT_EQ(error_of([&] { remote::make_cached_share_source(net.client, "x.avi")->read(c.at, b, sizeof b); }), c.says);
    }
    net.service.claimed = huge;
    EXPECT_EQ(error_of([&] { net.client->download("x.avi", dir / "x.avi", {}); }), tooBig);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    // A copy that ends short of the size the share first gave never replaces the file here.
    write_file(dir / "x.avi", "the good one");
    net.service.claimed = 1000;
    net.service.served = 600;
    EXPECT_EQ(error_of([&] { net.client->download("x.avi", dir / "x.avi", {}); }),
              "SRV: 'x.avi' changed while it was copied (600 of 1000 bytes)");
    EXPECT_EQ(read_file(dir / "x.avi"), "the good one");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// A copy replaces the target only when whole, reports its progress, and otherwise (cancelled,
// or its write failing as on a full disk) leaves nothing, not even a temporary file.
TEST(ShareClient, DownloadIsByteExactOrLeavesNothing) {
    TempDir dir;
    fs::create_directories(dir / "out");
    const std::string data = random_file(dir / "seg.wmv", 3 * kMiB + 4321);
    Loopback net(std::make_shared<remote::FolderShare>(dir.path()));
    const fs::path target = dir / "out" / "seg.wmv";
    write_file(target, "an older copy, replaced whole");
    std::vector<std::int64_t> done;
    net.client->download("seg.wmv", target, [&](std::int64_t d, std::int64_t total) {
        EXPECT_EQ(total, static_cast<std::int64_t>(data.size()));
        EXPECT_TRUE(done.empty() || d > done.back());
        done.push_back(d);
        return true;
    });
    EXPECT_EQ(read_file(target), data);
    EXPECT_EQ(done.back(), static_cast<std::int64_t>(data.size()));
    fs::remove(target);
    net.client->download("seg.wmv", dir / "seg.wmv", {});  // onto the very file being served
    EXPECT_EQ(read_file(dir / "seg.wmv"), data);

    int calls = 0;
    EXPECT_EQ(error_of([&] { net.client->download("seg.wmv", target, [&](std::int64_t, std::int64_t) { return ++calls < 2; }); }),
              "the copy of 'seg.wmv' from SRV was cancelled");
    EXPECT_EQ(net.client->size("seg.wmv"), static_cast<std::int64_t>(data.size())) << "the service is unusable after a cancel";
    // The file-size limit stands in for a full disk.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = kMiB;
    ::setrlimit(RLIMIT_FSIZE, &limited);
    const std::string text = error_of([&] { net.client->download("seg.wmv", target, {}); });
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(text, "cannot write '" + target.string() + "': File too large");
    EXPECT_TRUE(fs::is_empty(dir / "out")) << "a temporary file was left";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2) << "a temporary file was left";
}

// A computer that takes the connection and never answers (its program frozen) is given up after
// a short connection limit, not after a whole call deadline; nothing is written.
TEST(ShareClient, ACopyFromAComputerThatNeverAnswersGivesUpOnTheConnection) {
    TempDir dir;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);  // the system completes the connection; nobody answers on it
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const remote::Endpoint at{"127.0.0.1", ntohs(addr.sin_port)};
    remote::ShareClient client(grpc::CreateChannel(at.text(), grpc::InsecureChannelCredentials()), "NODE2", at);
    const std::string text = error_of([&] { client.download("seg.wmv", dir / "seg.wmv", {}); });
    ::close(fd);
    EXPECT_EQ(text, "NODE2 (" + at.text() + ") did not answer in time. Could not copy 'seg.wmv'. (no answer to the connection "
                                              "within 3 s)");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A reader that takes nothing holds a download's thread in Write (flow control): such
// downloads are cancelled after the idle time, which frees their places (one address has a
// few). A download ends only sent whole or cancelled: these are never whole.
TEST(ShareService, UnreadDownloadsAreCancelledAfterTheIdleTime) {
    TempDir dir;
    write_file(dir / "big.wmv", "");
    fs::resize_file(dir / "big.wmv", 256 * kMiB);  // sparse
    Loopback net(std::make_shared<remote::FolderShare>(dir.path()), 300ms);
    auto stub = remote::proto::Share::NewStub(net.server.plain_channel());
    std::vector<std::pair<std::unique_ptr<grpc::ClientContext>, std::unique_ptr<grpc::ClientReader<remote::proto::Chunk>>>> open;
    const auto start = [&] {  // reads the first chunk only
        auto& [context, reader] = open.emplace_back(std::make_unique<grpc::ClientContext>(), nullptr);
        context->set_deadline(std::chrono::system_clock::now() + 60s);
        FileRef ref;
        ref.set_path("big.wmv");
        reader = stub->Download(context.get(), ref);
        remote::proto::Chunk chunk;
        if (reader->Read(&chunk)) return true;
        reader->Finish();
        open.pop_back();
        return false;
    };
    for (int i = 0; i < remote::limits::kMaxDownloadsPerPeer; ++i) EXPECT_TRUE(start());
    EXPECT_FALSE(start()) << "one computer's downloads have no limit";
    bool later = false;
    for (int i = 0; i < 200 && !later; ++i) {
        std::this_thread::sleep_for(100ms);
        later = start();
    }
    EXPECT_TRUE(later) << "the idle downloads kept their places";
    for (auto& [context, reader] : open) {
        context->TryCancel();
        for (remote::proto::Chunk chunk; reader->Read(&chunk);) {
        }
        reader->Finish();
    }
}

// ---- encoding through the share ----

// A path the share does not offer fails the prepare; the share going away mid-encode fails the
// encode with the reason, instead of ending it early as if the file were shorter. Both name the
// computer. (A whole encode through the share is the end-to-end tests'.)
TEST(ShareSource, AnUnsharedPathOrALostShareFailsTheEncodeNamingTheComputer) {
    TempDir dir;
    make_clip(dir / "clip.avi", "-f lavfi -i testsrc2=size=640x480:rate=25:duration=4 -c:v mjpeg -q:v 2");  // 3 MiB
    auto share = std::make_shared<remote::SingleFileShare>();
    share->set(dir / "clip.avi");
    Loopback net(share);
    const auto job = [&](const std::string& source) {
        encoder::LocalEncoderOptions options;
        options.openInput = [client = net.client](const std::string& path) {
            return remote::make_cached_share_source(client, platform::parse_network_path(path).path);
        };
        return make_job(source, dir / "out.wmv", kLan768, options);
    };
    const std::string says = error_of([&] { job("//SRV/elsewhere/clip.avi")->encoder->prepare(true); });
    EXPECT_NE(says.find("cannot open source '//SRV/elsewhere/clip.avi': SRV: '/elsewhere/clip.avi' is not shared by this "
                        "computer"),
              std::string::npos)
        << says;
    auto lost = job(platform::network_source_path("SRV", (dir / "clip.avi").string()));
    lost->encoder->prepare(true);
    ASSERT_LT(net.service.reads.load(), 3) << "prepare read the whole clip: nothing is left to fail";
    net.server.stop();
    lost->encoder->start();
    ASSERT_TRUE(lost->events.waitStopped());
    ASSERT_EQ(lost->events.errors, std::vector<int>{encoder::errors::kSourceUnreadable});
    EXPECT_NE(lost->events.errorTexts[0].find("cannot read source '//SRV"), std::string::npos) << lost->events.errorTexts[0];
    EXPECT_NE(lost->events.errorTexts[0].find("SRV (127.0.0.1:"), std::string::npos) << lost->events.errorTexts[0];
}

}  // namespace
}  // namespace shardex::testing

// A shared source read as the encoder's ByteSource: the block cache fetches each byte once,
// and an encode through the share gives the same result as one from the local file.
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "encoder/support.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/local_encoder.h"
#include "platform/encoder/profiles.h"
#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/share_client.h"
#include "platform/remote/share_service.h"

namespace shardex::remote {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using enc_test::TempDir;

constexpr std::int64_t kMiB = 1 << 20;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The real service, with its calls counted.
class CountingShare final : public proto::Share::Service {
public:
    explicit CountingShare(std::shared_ptr<const SharePolicy> policy) : inner_(std::move(policy)) {}
    grpc::Status Stat(grpc::ServerContext* c, const proto::FileRef* q, proto::FileInfo* a) override {
        ++stats;
        return inner_.Stat(c, q, a);
    }
    grpc::Status Read(grpc::ServerContext* c, const proto::ReadRequest* q, proto::ReadReply* a) override {
        ++reads;
        return inner_.Read(c, q, a);
    }
    std::atomic<int> stats{0}, reads{0};

private:
    ShareService inner_;
};

// The counting share on 127.0.0.1 and a client that calls its computer SRV.
class Loopback {
public:
    explicit Loopback(std::shared_ptr<const SharePolicy> policy) : service(std::move(policy)) {
        grpc::ServerBuilder builder;
        builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
        builder.RegisterService(&service);
        server_ = builder.BuildAndStart();
        EXPECT_TRUE(server_ != nullptr && port_ > 0) << "test server did not start";
        const Endpoint endpoint{"127.0.0.1", static_cast<std::uint16_t>(port_)};
        client = std::make_shared<ShareClient>(grpc::CreateChannel(endpoint.text(), grpc::InsecureChannelCredentials()),
                                               "SRV", endpoint);
    }
    ~Loopback() { stop(); }
    void stop() {
        if (server_) server_->Shutdown(std::chrono::system_clock::now() + 1s);
        server_.reset();
    }

    CountingShare service;
    std::shared_ptr<ShareClient> client;

private:
    int port_ = 0;
    std::unique_ptr<grpc::Server> server_;
};

std::string random_file(const fs::path& p, std::size_t n) {
    std::mt19937 gen(7);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    std::ofstream(p, std::ios::binary) << s;
    return s;
}

TEST(ShareSource, ServesTheFileByteExactAcrossBlocks) {
    TempDir dir;
    const std::string data = random_file(dir / "a.avi", 5 * kMiB / 2);
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    auto source = make_cached_share_source(net.client, "a.avi");
    const auto size = static_cast<std::int64_t>(data.size());
    EXPECT_EQ(source->size(), size);

    struct Case {
        std::int64_t offset, length, expect;
    } cases[] = {
        {0, 10, 10},
        {kMiB - 3, 6, 6},                     // across a block boundary
        {10, 2 * kMiB, 2 * kMiB},             // across three blocks
        {size - 4, 100, 4},                   // the short last block
        {size, 10, 0},
        {size + kMiB * 100, 10, 0},           // far beyond the end (64-bit offsets)
        {INT64_MAX - 10, 5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(c.length));
        const std::int64_t n = source->read(c.offset, buf.data(), c.length);
        ASSERT_EQ(n, c.expect);
        if (n > 0) {
            EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + c.offset, static_cast<std::size_t>(n)));
        }
    }
    EXPECT_EQ(net.service.stats.load(), 1) << "the size is asked once";
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

TEST(ShareSource, KeepsTheRecentlyUsedBlocks) {
    TempDir dir;
    random_file(dir / "a.avi", 20 * kMiB);
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    auto source = make_cached_share_source(net.client, "a.avi");
    std::uint8_t b[1];
    auto touch = [&](int block) { source->read(block * kMiB, b, 1); };

    for (int i = 0; i < 16; ++i) touch(i);  // fills the cache
    EXPECT_EQ(net.service.reads.load(), 16);
    touch(0);   // kept, and now the most recent
    touch(16);  // evicts block 1, the least recently used
    EXPECT_EQ(net.service.reads.load(), 17);
    touch(0);
    EXPECT_EQ(net.service.reads.load(), 17);
    touch(1);
    EXPECT_EQ(net.service.reads.load(), 18);
}

// ---- encoding through the share ----

// An encoder whose "//"-paths are read through `client`'s share; records how often the
// opener was asked.
struct ShareJob {
    std::shared_ptr<encoder::Encoder> encoder;
    enc_test::EventLog events;
    std::vector<std::string> errorTexts;
    int opened = 0;
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

// A few seconds of picture and sound, large enough (about 3.5 MiB) to span several blocks.
fs::path make_source(const TempDir& dir) {
    const fs::path clip = dir / "clip.avi";
    enc_test::make_clip(clip,
                        "-f lavfi -i testsrc2=size=640x480:rate=25:duration=4 -f lavfi -i sine=frequency=440:duration=4 "
                        "-c:v mjpeg -q:v 2 -c:a pcm_s16le");
    return clip;
}

TEST(ShareSource, EncodeThroughTheShareMatchesTheLocalEncode) {
    TempDir dir;
    const fs::path clip = make_source(dir);
    auto share = std::make_shared<SingleFileShare>();
    share->set(clip);
    Loopback net(share);

    auto local = make_share_job(net.client, clip.string(), dir / "local.wmv");
    local->encoder->prepare(true);
    local->encoder->start();
    ASSERT_TRUE(local->events.waitStopped());
    EXPECT_EQ(local->opened, 0);
    EXPECT_EQ(net.service.reads.load(), 0) << "a local path went through the share";

    const std::string networkPath = platform::network_source_path("SRV", clip.string());
    auto remote = make_share_job(net.client, networkPath, dir / "remote.wmv");
    remote->encoder->prepare(true);
    remote->encoder->start();
    ASSERT_TRUE(remote->events.waitStopped());
    EXPECT_TRUE(remote->events.errors.empty());

    const int frames = enc_test::frame_count(dir / "local.wmv");
    EXPECT_GT(frames, 50);
    EXPECT_EQ(enc_test::frame_count(dir / "remote.wmv"), frames);
    // Both demuxers share one cached source: each block of the file is fetched once.
    EXPECT_EQ(remote->opened, 1);
    const auto blocks = static_cast<int>((fs::file_size(clip) + kMiB - 1) / kMiB);
    EXPECT_GE(blocks, 2) << "the clip should span several blocks";
    EXPECT_EQ(net.service.reads.load(), blocks);
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
    TempDir dir;
    const fs::path clip = make_source(dir);
    auto share = std::make_shared<SingleFileShare>();
    share->set(clip);
    Loopback net(share);
    auto job = make_share_job(net.client, platform::network_source_path("SRV", clip.string()), dir / "out.wmv");
    job->encoder->prepare(true);
    ASSERT_LT(net.service.reads.load(), static_cast<int>((fs::file_size(clip) + kMiB - 1) / kMiB))
        << "prepare read the whole clip: nothing is left to fail";
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

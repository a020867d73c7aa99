// The shares: what each policy lets out (and how it says no), and the Share service read
// and copied through ShareClient over loopback.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "encoder/support.h"
#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/share_client.h"
#include "platform/remote/share_service.h"

namespace shardex::remote {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using enc_test::TempDir;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

void write_file(const fs::path& p, const std::string& data) {
    std::ofstream(p, std::ios::binary) << data;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What resolve() answered: the status code it carries (OK when it resolved) and its text.
struct Outcome {
    grpc::StatusCode code = grpc::StatusCode::OK;
    std::string text;
    fs::path file;
};

Outcome resolve(const SharePolicy& policy, const std::string& request) {
    try {
        return {grpc::StatusCode::OK, "", policy.resolve(request)};
    } catch (const Error& e) {
        return {static_cast<grpc::StatusCode>(e.code()), e.what(), {}};
    }
}

constexpr auto kOk = grpc::StatusCode::OK;
constexpr auto kDenied = grpc::StatusCode::PERMISSION_DENIED;
constexpr auto kNotFound = grpc::StatusCode::NOT_FOUND;

// A Shardex folder with one of each kind of entry a request could name.
struct Folder {
    TempDir dir;
    fs::path share = dir / "Shardex";
    Folder() {
        fs::create_directories(share / "sub");
        write_file(share / "clip.wmv", "inside");
        write_file(dir / "secret.txt", "outside");
        fs::create_symlink(dir / "secret.txt", share / "out.wmv");
        fs::create_symlink("clip.wmv", share / "in.wmv");
        ::mkfifo((share / "pipe").c_str(), 0600);
    }
};

TEST(FolderShare, LetsOutOnlyPlainFilesOfTheFolder) {
    Folder f;
    FolderShare policy(f.share);
    const std::string huge(1 << 20, 'a');
    struct Case {
        std::string request;
        grpc::StatusCode code;
        std::string says;
    } cases[] = {
        {"clip.wmv", kOk, ""},
        {"..", kDenied, "'..' is not a plain file name"},
        {".", kDenied, "'.' is not a plain file name"},
        {"", kDenied, "is not a plain file name"},
        {"../secret.txt", kDenied, "'../secret.txt' is not a plain file name"},
        {"sub/x", kDenied, "is not a plain file name"},
        {"sub\\x", kDenied, "is not a plain file name"},
        {"/etc/passwd", kDenied, "'/etc/passwd' is not a plain file name"},
        {std::string("clip.wmv\0.txt", 13), kDenied, "'clip.wmv?.txt' is not a plain file name"},
        {huge, kDenied, "is not a plain file name"},
        // A link is refused wherever it points: out of the folder or into it.
        {"out.wmv", kDenied, "'out.wmv' is a link, not a file of the Shardex folder"},
        {"in.wmv", kDenied, "'in.wmv' is a link"},
        {"sub", kDenied, "'sub' is a folder"},
        {"pipe", kDenied, "'pipe' is not a plain file"},
        {"missing.wmv", kNotFound, "'missing.wmv' is not in the Shardex folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        const Outcome o = resolve(policy, c.request);
        EXPECT_EQ(o.code, c.code) << o.text;
        EXPECT_TRUE(has(o.text, c.says)) << o.text;
        EXPECT_LT(o.text.size(), 300u) << "a refusal quotes the whole request";
        if (c.code == kOk) {
            EXPECT_EQ(o.file, f.share / "clip.wmv");
        }
    }
}

TEST(SingleFileShare, LetsOutExactlyTheChosenFile) {
    TempDir dir;
    const fs::path clip = dir / "clip.avi", next = dir / "next.avi";
    write_file(clip, "a");
    write_file(next, "b");
    const std::string clipPath = platform::share_path_of(clip.string());
    const std::string nextPath = platform::share_path_of(next.string());

    SingleFileShare policy;
    EXPECT_EQ(resolve(policy, clipPath).code, kDenied) << "nothing is shared before a file is set";
    EXPECT_TRUE(has(resolve(policy, clipPath).text, "shares no source"));

    policy.set(clip);
    struct Case {
        std::string request;
        grpc::StatusCode code;
    } cases[] = {
        {clipPath, kOk},
        {"/etc/passwd", kDenied},
        {nextPath, kDenied},
        {clipPath + "x", kDenied},
        {clipPath + "/", kDenied},
        {dir.path().string(), kDenied},
        {clipPath.substr(0, clipPath.size() - 1), kDenied},
        {"/" + clipPath, kDenied},
        {clipPath + std::string(1, '\0'), kDenied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const Outcome o = resolve(policy, c.request);
        EXPECT_EQ(o.code, c.code) << o.text;
        if (c.code == kDenied) {
            EXPECT_TRUE(has(o.text, "is not shared by this computer")) << o.text;
        }
    }
    EXPECT_EQ(resolve(policy, "/etc/passwd").text, "'/etc/passwd' is not shared by this computer");

    policy.set(next);  // a new source replaces the old one
    EXPECT_EQ(resolve(policy, clipPath).code, kDenied);
    EXPECT_EQ(resolve(policy, nextPath).code, kOk);
}

// ---- over loopback ----

// One Share service on 127.0.0.1 (plain transport: TLS is tested on its own), and a client
// of it that calls the computer NODE1.
class Loopback {
public:
    explicit Loopback(std::shared_ptr<const SharePolicy> policy) : service_(std::move(policy)) {
        grpc::ServerBuilder builder;
        builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
        builder.RegisterService(&service_);
        server_ = builder.BuildAndStart();
        EXPECT_TRUE(server_ != nullptr && port_ > 0) << "test server did not start";
        const Endpoint endpoint{"127.0.0.1", static_cast<std::uint16_t>(port_)};
        channel_ = grpc::CreateChannel(endpoint.text(), grpc::InsecureChannelCredentials());
        client = std::make_shared<ShareClient>(channel_, "NODE1", endpoint);
        stub = proto::Share::NewStub(channel_);
    }
    ~Loopback() { server_->Shutdown(std::chrono::system_clock::now() + 1s); }

    std::shared_ptr<ShareClient> client;
    std::unique_ptr<proto::Share::Stub> stub;

private:
    ShareService service_;
    int port_ = 0;
    std::unique_ptr<grpc::Server> server_;
    std::shared_ptr<grpc::Channel> channel_;
};

std::string error_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

// Files of `folder` other than those named.
std::vector<std::string> others(const fs::path& folder, std::initializer_list<std::string> known) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
    }
    return out;
}

constexpr std::int64_t kMiB = 1 << 20;

TEST(ShareService, ReadsByOffsetIncludingPastTheEnd) {
    TempDir dir;
    const std::string data = random_bytes(3 * kMiB + 123, 1);
    write_file(dir / "clip.wmv", data);
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    const auto size = static_cast<std::int64_t>(data.size());
    EXPECT_EQ(net.client->size("clip.wmv"), size);

    struct Case {
        std::int64_t offset, length, expect;
    } cases[] = {
        {0, 100, 100},
        {size - 10, 100, 10},        // cut at the end
        {size, 10, 0},               // at the end
        {size + 5000, 10, 0},        // beyond it
        {1000, 2 * kMiB + 77, 2 * kMiB + 77},  // several calls of at most kMaxReadBytes
        {kMiB - 1, 2, 2},
        {0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(c.length) + 1, 0xEE);
        const std::int64_t n = net.client->read("clip.wmv", c.offset, buf.data(), c.length);
        ASSERT_EQ(n, c.expect);
        if (n > 0) {
            EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + c.offset, static_cast<std::size_t>(n)));
        }
        EXPECT_EQ(buf[static_cast<std::size_t>(n)], 0xEE) << "wrote past what it returned";
    }
}

TEST(ShareService, RefusesMalformedRequests) {
    TempDir dir;
    write_file(dir / "clip.wmv", "0123456789");
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    struct Case {
        std::string path;
        std::int64_t offset;
        std::int32_t length;
        grpc::StatusCode code;
        std::string says;
    } cases[] = {
        {"clip.wmv", -1, 10, grpc::StatusCode::INVALID_ARGUMENT, "offsets start at 0"},
        {"clip.wmv", 0, -1, grpc::StatusCode::INVALID_ARGUMENT, "cannot read -1 bytes of 'clip.wmv'"},
        {"clip.wmv", 0, kMaxReadBytes + 1, grpc::StatusCode::INVALID_ARGUMENT, "a read takes 0 to"},
        {"clip.wmv", INT64_MAX, kMaxReadBytes, grpc::StatusCode::OK, ""},
        {std::string(1 << 20, 'x'), 0, 10, grpc::StatusCode::INVALID_ARGUMENT, "1048576 bytes is not shared"},
        {std::string("clip.wmv\0", 9), 0, 10, kDenied, "is not a plain file name"},
        {"../clip.wmv", 0, 10, kDenied, "is not a plain file name"},
        {"nothing.wmv", 0, 10, kNotFound, "not in the Shardex folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40) + " @" + std::to_string(c.offset) + "+" + std::to_string(c.length));
        proto::ReadRequest request;
        request.set_path(c.path);
        request.set_offset(c.offset);
        request.set_length(c.length);
        proto::ReadReply reply;
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + 10s);
        const grpc::Status status = net.stub->Read(&context, request, &reply);
        EXPECT_EQ(status.error_code(), c.code) << status.error_message();
        EXPECT_TRUE(has(status.error_message(), c.says)) << status.error_message();
        EXPECT_LT(status.error_message().size(), 300u);
        EXPECT_TRUE(reply.data().empty());
    }
}

TEST(ShareClient, RefusalsNameTheComputerAndTheFile) {
    TempDir dir;
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    EXPECT_EQ(error_of([&] { net.client->size("../x"); }), "NODE1: '../x' is not a plain file name: it contains '/', '\\' or ':'");
    std::uint8_t b[4];
    EXPECT_EQ(error_of([&] { net.client->read("gone.wmv", 0, b, 4); }),
              "NODE1: 'gone.wmv' is not in the Shardex folder of this computer");
    EXPECT_EQ(error_of([&] { net.client->download("gone.wmv", dir / "copy.wmv", {}); }),
              "NODE1: 'gone.wmv' is not in the Shardex folder of this computer");
    EXPECT_FALSE(fs::exists(dir / "copy.wmv"));
}

TEST(ShareClient, DownloadCopiesByteExactWithProgress) {
    TempDir dir;
    fs::create_directories(dir / "share");
    fs::create_directories(dir / "out");
    const std::string data = random_bytes(3 * kMiB + 4321, 2);
    write_file(dir / "share" / "seg.wmv", data);
    write_file(dir / "out" / "seg.wmv", "an older copy, replaced whole");
    Loopback net(std::make_shared<FolderShare>(dir / "share"));

    std::vector<std::pair<std::int64_t, std::int64_t>> calls;
    net.client->download("seg.wmv", dir / "out" / "seg.wmv", [&](std::int64_t done, std::int64_t total) {
        calls.emplace_back(done, total);
        return true;
    });
    EXPECT_EQ(read_file(dir / "out" / "seg.wmv"), data);
    ASSERT_GE(calls.size(), 2u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, static_cast<std::int64_t>(data.size()));
        if (i > 0) {
            EXPECT_GT(calls[i].first, calls[i - 1].first);
        }
    }
    EXPECT_EQ(calls.back().first, static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(others(dir / "out", {"seg.wmv"}).empty()) << "a temporary file was left";
}

TEST(ShareClient, DownloadOntoTheServedFileLeavesItIntact) {
    TempDir dir;
    const std::string data = random_bytes(2 * kMiB + 5, 3);
    write_file(dir / "seg.wmv", data);
    Loopback net(std::make_shared<FolderShare>(dir.path()));
    net.client->download("seg.wmv", dir / "seg.wmv", {});
    EXPECT_EQ(read_file(dir / "seg.wmv"), data);
    EXPECT_TRUE(others(dir.path(), {"seg.wmv"}).empty());
}

TEST(ShareClient, CancelledDownloadLeavesNothing) {
    TempDir dir;
    fs::create_directories(dir / "share");
    fs::create_directories(dir / "out");
    write_file(dir / "share" / "seg.wmv", random_bytes(4 * kMiB, 4));
    Loopback net(std::make_shared<FolderShare>(dir / "share"));
    int calls = 0;
    const std::string text = error_of([&] {
        net.client->download("seg.wmv", dir / "out" / "seg.wmv", [&](std::int64_t, std::int64_t) { return ++calls < 2; });
    });
    EXPECT_EQ(text, "the copy of 'seg.wmv' from NODE1 was cancelled");
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    // The service is still usable after a cancelled stream.
    EXPECT_EQ(net.client->size("seg.wmv"), 4 * kMiB);
}

// A write that fails (here: the process's file-size limit, standing in for a full disk)
// names the target and removes the temporary file.
TEST(ShareClient, FailedWriteNamesTheTargetAndLeavesNothing) {
    TempDir dir;
    fs::create_directories(dir / "share");
    fs::create_directories(dir / "out");
    write_file(dir / "share" / "seg.wmv", random_bytes(2 * kMiB, 5));
    Loopback net(std::make_shared<FolderShare>(dir / "share"));

    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = kMiB;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const fs::path target = dir / "out" / "seg.wmv";
    const std::string text = error_of([&] { net.client->download("seg.wmv", target, {}); });
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(text, "cannot write '" + target.string() + "': File too large");
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
}  // namespace shardex::remote

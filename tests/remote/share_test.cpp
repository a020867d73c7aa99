// The share policies: what each lets out, and how it says no. The Share service itself is
// exercised over loopback in share_source_test.cpp.
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "encoder/support.h"
#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/share_service.h"

namespace shardex::remote {
namespace {

namespace fs = std::filesystem;
using enc_test::TempDir;

constexpr auto kOk = grpc::StatusCode::OK;
constexpr auto kDenied = grpc::StatusCode::PERMISSION_DENIED;
constexpr auto kNotFound = grpc::StatusCode::NOT_FOUND;

void write_file(const fs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

// What resolve() answered: the status code it carries (OK when it resolved) and its text.
struct Outcome {
    grpc::StatusCode code = kOk;
    std::string text;
    fs::path file;
};

Outcome resolve(const SharePolicy& policy, const std::string& request) {
    try {
        return {kOk, "", policy.resolve(request)};
    } catch (const Error& e) {
        return {static_cast<grpc::StatusCode>(e.code()), e.what(), {}};
    }
}

TEST(FolderShare, LetsOutOnlyPlainFilesOfTheFolder) {
    TempDir dir;
    const fs::path share = dir / "Shardex";
    fs::create_directories(share / "sub");
    write_file(share / "clip.wmv", "inside");
    write_file(dir / "secret.txt", "outside");
    fs::create_symlink(dir / "secret.txt", share / "out.wmv");
    fs::create_symlink("clip.wmv", share / "in.wmv");
    ::mkfifo((share / "pipe").c_str(), 0600);
    FolderShare policy(share);
    const std::string plain = "is not a plain file name";
    struct Case {
        std::string request;
        grpc::StatusCode code;
        std::string says;
    } cases[] = {
        {"clip.wmv", kOk, ""},
        {"..", kDenied, "'..' " + plain},
        {"", kDenied, plain},
        {"../secret.txt", kDenied, "'../secret.txt' " + plain},
        {"sub/x", kDenied, plain},
        {"sub\\x", kDenied, plain},
        {"/etc/passwd", kDenied, "'/etc/passwd' " + plain},
        {std::string("clip.wmv\0.txt", 13), kDenied, "'clip.wmv?.txt' " + plain},
        {std::string(1 << 20, 'a'), kDenied, plain},
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
        EXPECT_NE(o.text.find(c.says), std::string::npos) << o.text;
        EXPECT_LT(o.text.size(), 300u) << "a refusal quotes the whole request";
        EXPECT_EQ(o.file, c.code == kOk ? share / "clip.wmv" : fs::path());
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
    EXPECT_NE(resolve(policy, clipPath).text.find("shares no source"), std::string::npos);

    policy.set(clip);
    for (const std::string& request :
         {std::string("/etc/passwd"), nextPath, clipPath + "x", clipPath + "/", dir.path().string(),
          clipPath.substr(0, clipPath.size() - 1), "/" + clipPath, clipPath + std::string(1, '\0')}) {
        SCOPED_TRACE(request);
        const Outcome o = resolve(policy, request);
        EXPECT_EQ(o.code, kDenied);
        EXPECT_NE(o.text.find("is not shared by this computer"), std::string::npos) << o.text;
    }
    EXPECT_EQ(resolve(policy, "/etc/passwd").text, "'/etc/passwd' is not shared by this computer");
    EXPECT_EQ(resolve(policy, clipPath).file, clip);

    policy.set(next);  // a new source replaces the old one
    EXPECT_EQ(resolve(policy, clipPath).code, kDenied);
    EXPECT_EQ(resolve(policy, nextPath).code, kOk);
}

}  // namespace
}  // namespace shardex::remote

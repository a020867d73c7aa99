// What the two share policies let out, and how each says no: the agent's Shardex folder gives
// plain files of the folder alone; the Server's share gives exactly the chosen source.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/share_service.h"
#include "support/media.h"

namespace shardex::testing {
namespace {

using Code = grpc::StatusCode;

// What a policy resolves `request` to, or its refusal's code and text.
std::tuple<Code, std::string, fs::path> resolve(const remote::SharePolicy& policy, const std::string& request) {
    try {
        return {Code::OK, "", policy.resolve(request)};
    } catch (const Error& e) {
        return {static_cast<Code>(e.code()), e.what(), {}};
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
    fs::create_hard_link(dir / "secret.txt", share / "hard.wmv");
    ::mkfifo((share / "pipe").c_str(), 0600);
    remote::ShareService service(std::make_shared<remote::FolderShare>(share));
    const std::string plain = "is not a plain file name";
    const struct {
        std::string request;
        Code code;
        std::string says;
    } cases[] = {
        {"clip.wmv", Code::OK, ""}, {"..", Code::PERMISSION_DENIED, "'..' " + plain}, {"", Code::PERMISSION_DENIED, plain},
        {"../secret.txt", Code::PERMISSION_DENIED, "'../secret.txt' " + plain}, {"sub\\x", Code::PERMISSION_DENIED, plain},
        {"/etc/passwd", Code::PERMISSION_DENIED, "'/etc/passwd' " + plain},
        {std::string("clip.wmv\0.txt", 13), Code::PERMISSION_DENIED, "'clip.wmv?.txt' " + plain},
        {std::string(1 << 20, 'a'), Code::INVALID_ARGUMENT, "a path of 1048576 bytes is not shared"},
        // A link is refused wherever it points: out of the folder or into it.
        {"out.wmv", Code::PERMISSION_DENIED, "'out.wmv' is a link, not a file of the Shardex folder"},
        {"in.wmv", Code::PERMISSION_DENIED, "'in.wmv' is a link"},
        {"hard.wmv", Code::PERMISSION_DENIED, "'hard.wmv' has other names (hard links)"},
        {"sub", Code::PERMISSION_DENIED, "'sub' is a folder"}, {"pipe", Code::PERMISSION_DENIED, "'pipe' is not a plain file"},
        {"missing.wmv", Code::NOT_FOUND, "'missing.wmv' is not in the Shardex folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        remote::proto::ReadRequest read;
        read.set_path(c.request);
        read.set_length(100);
        remote::proto::ReadReply data;
        const grpc::Status st = service.Read(nullptr, &read, &data);
        EXPECT_EQ(st.error_code(), c.code) << st.error_message();
        EXPECT_NE(st.error_message().find(c.says), std::string::npos) << st.error_message();
        EXPECT_LT(st.error_message().size(), 300u) << "a refusal quotes the whole request";
        EXPECT_EQ(data.data(), c.code == Code::OK ? "inside" : "");
    }
}

// Nothing before a source is chosen; then that file's path alone, not a near miss of it; a new
// source replaces the old one.
TEST(SingleFileShare, LetsOutExactlyTheChosenFile) {
    TempDir dir;
    write_file(dir / "clip.avi", "a");
    write_file(dir / "next.avi", "b");
    const std::string clip = platform::share_path_of((dir / "clip.avi").string());
    remote::SingleFileShare policy;
    EXPECT_NE(std::get<1>(resolve(policy, clip)).find("shares no source"), std::string::npos);
    policy.set(dir / "clip.avi");
    for (const std::string& near : {clip + "x", clip + "/", dir.path().string(), clip.substr(0, clip.size() - 1), "/" + clip})
        EXPECT_EQ(std::get<1>(resolve(policy, near)), "'" + near + "' is not shared by this computer");
    EXPECT_EQ(std::get<2>(resolve(policy, clip)), dir / "clip.avi");
    policy.set(dir / "next.avi");
    EXPECT_EQ(std::get<0>(resolve(policy, clip)), Code::PERMISSION_DENIED);
    EXPECT_EQ(std::get<2>(resolve(policy, platform::share_path_of((dir / "next.avi").string()))), dir / "next.avi");
}

}  // namespace
}  // namespace shardex::testing

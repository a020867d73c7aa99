// The Share service: read-only access to files one computer offers the others. Two kinds of
// share use it: the Server's, which offers exactly the chosen source file, and an agent's,
// which offers the plain files of its Shardex folder. Every other path is refused with an
// error that says why.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/remote/limits.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {

// Chunks of Read and Download, and the largest Read answered.
inline constexpr int kMaxReadBytes = 1 << 20;
inline constexpr int kChunkBytes = 256 << 10;
// The most session identifiers a copy may present, and their longest.
inline constexpr std::size_t kMaxPresentedSessions = 16;
inline constexpr std::size_t kMaxSessionIdBytes = 64;

// What a share offers: maps a requested path to a local file, or throws shardex::Error
// with the reason for refusing it; the Error's code is the grpc::StatusCode the service
// answers with (PERMISSION_DENIED for a path that is not shared, NOT_FOUND for a shared
// name with no file). The service then opens the file without following a final link and
// reads it only if it is a regular file, and one with other names (hard links) only if the
// policy lets it.
class SharePolicy {
public:
    virtual ~SharePolicy() = default;
    virtual std::filesystem::path resolve(const std::string& requestPath) const = 0;
    // Whether a file that has other names too may be served: such a file may be anyone's,
    // linked into a shared folder from elsewhere.
    virtual bool servesHardLinks() const { return false; }
};

// Exactly one file, which may change (a new source); nothing while none is set. The
// request names it by its share path (platform::share_path_of).
class SingleFileShare final : public SharePolicy {
public:
    void set(const std::filesystem::path& file);
    std::filesystem::path resolve(const std::string& requestPath) const override;
    // The user chose this very file: its other names change nothing.
    bool servesHardLinks() const override { return true; }

private:
    mutable std::mutex mutex_;
    std::filesystem::path file_;
};

// The plain files of one folder: a request names a plain file name (no separators, no
// "..", no NUL); links and anything that is not a regular file are refused.
class FolderShare final : public SharePolicy {
public:
    explicit FolderShare(std::filesystem::path folder);
    std::filesystem::path resolve(const std::string& requestPath) const override;

private:
    std::filesystem::path folder_;
};

class ShareService final : public proto::Share::Service {
public:
    // `onCopied` (may be empty) hears of each file sent whole by Download, with the path
    // the policy resolved it to and the session identifiers the caller presented (call
    // metadata kSessionMetadata; at most kMaxPresentedSessions, longer ones left out). A
    // Download whose reader takes nothing for `idleTimeout` is cancelled;
    // limits::kMaxDownloads are served at once, kMaxDownloadsPerPeer of them to one address,
    // and more are refused (RESOURCE_EXHAUSTED).
    using CopiedHandler = std::function<void(const std::filesystem::path&, const std::vector<std::string>& sessions)>;
    explicit ShareService(std::shared_ptr<const SharePolicy> policy, CopiedHandler onCopied = {},
                          std::chrono::milliseconds idleTimeout = limits::kDownloadIdleTimeout);
    ~ShareService() override;
    grpc::Status Stat(grpc::ServerContext*, const proto::FileRef*, proto::FileInfo*) override;
    grpc::Status Read(grpc::ServerContext*, const proto::ReadRequest*, proto::ReadReply*) override;
    grpc::Status Download(grpc::ServerContext*, const proto::FileRef*, grpc::ServerWriter<proto::Chunk>*) override;

private:
    std::shared_ptr<const SharePolicy> policy_;
    CopiedHandler onCopied_;
    class Downloads;  // the downloads under way, and the thread that cancels idle ones
    std::unique_ptr<Downloads> downloads_;
};

}  // namespace shardex::remote

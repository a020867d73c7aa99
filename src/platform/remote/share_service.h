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

#include "platform/remote/limits.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {

// Chunks of Read and Download, and the largest Read answered.
inline constexpr int kMaxReadBytes = 1 << 20;
inline constexpr int kChunkBytes = 256 << 10;

// What a share offers: maps a requested path to a local file, or throws shardex::Error
// with the reason for refusing it; the Error's code is the grpc::StatusCode the service
// answers with (PERMISSION_DENIED for a path that is not shared, NOT_FOUND for a shared
// name with no file). The service then opens the file without following a final link and
// reads it only if it is a regular file.
class SharePolicy {
public:
    virtual ~SharePolicy() = default;
    virtual std::filesystem::path resolve(const std::string& requestPath) const = 0;
};

// Exactly one file, which may change (a new source); nothing while none is set. The
// request names it by its share path (platform::share_path_of).
class SingleFileShare final : public SharePolicy {
public:
    void set(const std::filesystem::path& file);
    std::filesystem::path resolve(const std::string& requestPath) const override;

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
    // the policy resolved it to. A Download whose reader takes nothing for `idleTimeout`
    // is cancelled; limits::kMaxDownloads are served at once, kMaxDownloadsPerPeer of them
    // to one address, and more are refused (RESOURCE_EXHAUSTED).
    explicit ShareService(std::shared_ptr<const SharePolicy> policy,
                          std::function<void(const std::filesystem::path&)> onCopied = {},
                          std::chrono::milliseconds idleTimeout = limits::kDownloadIdleTimeout);
    ~ShareService() override;
    grpc::Status Stat(grpc::ServerContext*, const proto::FileRef*, proto::FileInfo*) override;
    grpc::Status Read(grpc::ServerContext*, const proto::ReadRequest*, proto::ReadReply*) override;
    grpc::Status Download(grpc::ServerContext*, const proto::FileRef*, grpc::ServerWriter<proto::Chunk>*) override;

private:
    std::shared_ptr<const SharePolicy> policy_;
    std::function<void(const std::filesystem::path&)> onCopied_;
    class Downloads;  // the downloads under way, and the thread that cancels idle ones
    std::unique_ptr<Downloads> downloads_;
};

}  // namespace shardex::remote

// Reading another computer's share: the agent reads the Server's source by offset, the
// Server copies a client's output into its own Shardex folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "platform/encoder/byte_source.h"
#include "platform/remote/peers.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {

// The largest file a share is believed to hold (1 PiB). A claimed size beyond it is refused:
// no real source comes near it, and offsets and deadlines computed from it stay far from
// overflowing.
inline constexpr std::int64_t kMaxSharedFileBytes = std::int64_t{1} << 50;

// Ends the share calls made under it from another thread: cancel() ends the call in flight
// at once and makes every later one fail without being sent. Thread-safe.
class CallCanceller {
public:
    void cancel();
    bool cancelled() const;

    // For the calls made under it (one at a time): registers the call about to be made under
    // `context`; false, and nothing registered, when the canceller has fired already.
    // release() follows before the context goes.
    bool hold(grpc::ClientContext* context);
    void release();

private:
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    grpc::ClientContext* active_ = nullptr;
};

class ShareClient {
public:
    // `computer` and `endpoint` name the share's computer in error texts.
    ShareClient(std::shared_ptr<grpc::Channel> channel, std::string computer, Endpoint endpoint);
    const std::string& computer() const { return computer_; }

    // Throw shardex::Error naming the computer, the file and what failed; also when
    // `canceller` (may be null) fires before or during the call. A size above
    // kMaxSharedFileBytes is refused. A read ends at the largest offset there is.
    std::int64_t size(const std::string& path, CallCanceller* canceller = nullptr);
    std::int64_t read(const std::string& path, std::int64_t offset, std::uint8_t* buffer, std::int64_t length,
                      CallCanceller* canceller = nullptr);

    // Copies the shared file `path` to `target`: written under a temporary name in the
    // target's folder, then renamed over `target`, so an existing file is replaced only by a
    // complete copy and a file is never truncated while it is read (source and target may
    // be the same file). `progress(done, total)` is called after each chunk and may return
    // false to cancel. Throws shardex::Error (the temporary file removed) on failure or
    // cancel. The whole copy has a deadline that grows with the file's size. `here` names
    // this computer in a failure to write the target ("SRV: the disk is full: ...").
    // `sessions` are this Server's open sessions with the share's agent, presented with the
    // call: the copy of a job's output by its own session frees the output's name there.
    void download(const std::string& path, const std::filesystem::path& target,
                  const std::function<bool(std::int64_t done, std::int64_t total)>& progress,
                  const std::string& here = {}, const std::vector<std::string>& sessions = {});

private:
    std::shared_ptr<grpc::Channel> channel_;
    std::unique_ptr<proto::Share::Stub> stub_;
    std::string computer_;
    Endpoint endpoint_;
};

// A shared file read by offset through a small cache of large blocks, so that the video
// and audio demuxers of one encode, which read the same stretch of the file close together,
// fetch its bytes from the network once. Its size is asked once; a file that turns out
// shorter than that while it is read is refused rather than taken as ended early. cancel()
// ends a read in flight (the job stopped, its session ended).
std::shared_ptr<encoder::ByteSource> make_cached_share_source(std::shared_ptr<ShareClient> client, std::string path);

}  // namespace shardex::remote

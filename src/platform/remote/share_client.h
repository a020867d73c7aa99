// Reading another computer's share: the agent reads the Server's source by offset, the
// Server copies a client's output into its own Shardex folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "platform/encoder/byte_source.h"
#include "platform/remote/peers.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {

class ShareClient {
public:
    // `computer` and `endpoint` name the share's computer in error texts.
    ShareClient(std::shared_ptr<grpc::Channel> channel, std::string computer, Endpoint endpoint);

    // Throw shardex::Error naming the computer, the file and what failed.
    std::int64_t size(const std::string& path);
    std::int64_t read(const std::string& path, std::int64_t offset, std::uint8_t* buffer, std::int64_t length);

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
// fetch its bytes from the network once.
std::shared_ptr<encoder::ByteSource> make_cached_share_source(std::shared_ptr<ShareClient> client, std::string path);

}  // namespace shardex::remote

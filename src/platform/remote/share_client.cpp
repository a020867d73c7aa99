// Reading another computer's share: sizes and reads by offset under short deadlines, and
// whole-file copies that replace their target only once complete.
#include "platform/remote/share_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/remote/channel.h"
#include "platform/remote/protocol.h"
#include "platform/remote/share_service.h"

namespace shardex::remote {
namespace {

namespace fs = std::filesystem;

// False when the channel is still connecting after `limit`. A connection refused or reset
// returns at once: the call then reports why.
bool connects_within(grpc::Channel& channel, std::chrono::milliseconds limit) {
    const auto until = std::chrono::system_clock::now() + limit;
    auto state = channel.GetState(true);
    while (state == GRPC_CHANNEL_IDLE || state == GRPC_CHANNEL_CONNECTING) {
        if (!channel.WaitForStateChange(state, until)) return false;
        state = channel.GetState(true);
    }
    return true;
}

// A copy's deadline: a fixed allowance plus a second for every 4 MiB. Sizes are clamped to
// what a share may claim, so the deadline stays a time point the clock can hold.
std::chrono::milliseconds download_deadline(std::int64_t size) {
    const std::int64_t bytes = std::clamp<std::int64_t>(size, 0, kMaxSharedFileBytes);
    return std::chrono::milliseconds(30'000) + std::chrono::milliseconds(1000 * (bytes >> 22));
}

// A call registered with its canceller (none: nothing to do) while it runs. A canceller
// that has fired already ends the call before it is sent.
class Cancellable {
public:
    Cancellable(CallCanceller* canceller, grpc::ClientContext& context, const std::string& stopped)
        : canceller_(canceller) {
        if (canceller_ && !canceller_->hold(&context)) {
            canceller_ = nullptr;
            throw Error(stopped);
        }
    }
    ~Cancellable() {
        if (canceller_) canceller_->release();
    }
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;

private:
    CallCanceller* canceller_;
};

std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string random_suffix() {
    std::random_device rd;
    char buf[17];
    std::snprintf(buf, sizeof buf, "%08x%08x", rd(), rd());
    return buf;
}

// The temporary file a copy is written to: removed on destruction unless it was renamed.
class PartFile {
public:
    PartFile(fs::path part, const fs::path& target, std::string here)
        : part_(std::move(part)), target_(target), here_(std::move(here)) {
        fd_ = ::open(part_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0) fail(errno);
    }
    ~PartFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(part_.c_str());
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    void write(const std::string& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail(errno);
            done += static_cast<std::size_t>(n);
        }
    }

    // Flushes the copy to the disk and puts it in the target's place.
    void commit() {
        if (::fsync(fd_) != 0) fail(errno);
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) fail(errno);
        if (::rename(part_.c_str(), target_.c_str()) != 0) fail(errno);
        committed_ = true;
        // Make the rename itself durable; a failure here leaves a complete file in place.
        const fs::path folder = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }

private:
    // A full disk (or a used-up quota) is said first: the user then frees room on this computer.
    [[noreturn]] void fail(int err) const {
        std::string text = "cannot write " + quoted(target_.string()) + ": " + std::strerror(err);
        if (err == ENOSPC || err == EDQUOT) text = "the disk is full: " + text;
        throw Error(here_.empty() ? text : here_ + ": " + text);
    }

    fs::path part_, target_;
    std::string here_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace

void CallCanceller::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (active_) active_->TryCancel();
}

bool CallCanceller::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool CallCanceller::hold(grpc::ClientContext* context) {
    std::lock_guard lock(mutex_);
    if (cancelled_) return false;
    active_ = context;
    return true;
}

void CallCanceller::release() {
    std::lock_guard lock(mutex_);
    active_ = nullptr;
}

ShareClient::ShareClient(std::shared_ptr<grpc::Channel> channel, std::string computer, Endpoint endpoint)
    : channel_(std::move(channel)),
      stub_(proto::Share::NewStub(channel_)),
      computer_(std::move(computer)),
      endpoint_(std::move(endpoint)) {}

std::int64_t ShareClient::size(const std::string& path, CallCanceller* canceller) {
    grpc::ClientContext context;
    set_deadline(context, kCallDeadline);
    const std::string stopped = "reading the size of " + quoted(path) + " from " + computer_ + " was stopped";
    Cancellable cancellable(canceller, context, stopped);
    proto::FileRef request;
    request.set_path(path);
    proto::FileInfo reply;
    const grpc::Status status = stub_->Stat(&context, request, &reply);
    if (!status.ok() && canceller && canceller->cancelled()) throw Error(stopped);
    if (!status.ok()) throw Error(describe_failure(computer_, endpoint_, "read the size of " + quoted(path), status));
    if (reply.size() < 0)
        throw Error(computer_ + ": gave a negative size (" + std::to_string(reply.size()) + ") for " + quoted(path));
    if (reply.size() > kMaxSharedFileBytes)
        throw Error(computer_ + ": gave a size of " + std::to_string(reply.size()) + " bytes for " + quoted(path) +
                    ", more than a shared file can be (1 PiB)");
    return reply.size();
}

std::int64_t ShareClient::read(const std::string& path, std::int64_t offset, std::uint8_t* buffer, std::int64_t length,
                               CallCanceller* canceller) {
    if (offset < 0 || length < 0)
        throw Error("cannot read " + quoted(path) + " of " + computer_ + " at offset " + std::to_string(offset) + ", " +
                    std::to_string(length) + " bytes: neither may be negative");
    length = std::min(length, INT64_MAX - offset);  // no file reaches past the largest offset
    std::int64_t done = 0;
    proto::ReadRequest request;
    request.set_path(path);
    proto::ReadReply reply;
    while (done < length) {
        const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(length - done, kMaxReadBytes));
        grpc::ClientContext context;
        set_deadline(context, kCallDeadline);
        const std::string stopped = "reading " + quoted(path) + " from " + computer_ + " was stopped";
        Cancellable cancellable(canceller, context, stopped);
        request.set_offset(offset + done);
        request.set_length(want);
        const grpc::Status status = stub_->Read(&context, request, &reply);
        if (!status.ok() && canceller && canceller->cancelled()) throw Error(stopped);
        if (!status.ok())
            throw Error(describe_failure(computer_, endpoint_,
                                         "read " + quoted(path) + " at offset " + std::to_string(offset + done), status));
        const std::string& data = reply.data();
        if (data.size() > static_cast<std::size_t>(want))
            throw Error(computer_ + ": answered a read of " + std::to_string(want) + " bytes of " + quoted(path) +
                        " with " + std::to_string(data.size()));
        std::memcpy(buffer + done, data.data(), data.size());
        done += static_cast<std::int64_t>(data.size());
        if (data.size() < static_cast<std::size_t>(want)) break;  // the end of the file
    }
    return done;
}

void ShareClient::download(const std::string& path, const std::filesystem::path& target,
                           const std::function<bool(std::int64_t done, std::int64_t total)>& progress,
                           const std::string& here, const std::vector<std::string>& sessions) {
    if (!connects_within(*channel_, kConnectLimit))
        throw Error(describe_failure(computer_, endpoint_, "copy " + quoted(path),
                                     grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED,
                                                  "no answer to the connection within " +
                                                      std::to_string(kConnectLimit.count() / 1000) + " s")));
    const std::int64_t total = size(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    PartFile part(folder / ("." + target.filename().string() + ".part-" + random_suffix()), target, here);

    grpc::ClientContext context;
    set_deadline(context, download_deadline(total));
    for (const auto& id : sessions) context.AddMetadata(kSessionMetadata, id);
    proto::FileRef request;
    request.set_path(path);
    auto reader = stub_->Download(&context, request);
    // Ends the stream early; Finish must still be called before the reader goes.
    auto abandon = [&] {
        context.TryCancel();
        proto::Chunk rest;
        while (reader->Read(&rest)) {
        }
        reader->Finish();
    };

    proto::Chunk chunk;
    std::int64_t done = 0;
    while (reader->Read(&chunk)) {
        try {
            part.write(chunk.data());
        } catch (...) {
            abandon();
            throw;
        }
        done += static_cast<std::int64_t>(chunk.data().size());
        if (done > total) {
            abandon();
            throw Error(computer_ + ": " + quoted(path) + " grew while it was copied (more than " + std::to_string(total) +
                        " bytes)");
        }
        if (progress && !progress(done, total)) {
            abandon();
            throw Error("the copy of " + quoted(path) + " from " + computer_ + " was cancelled");
        }
    }
    const grpc::Status status = reader->Finish();
    if (!status.ok()) throw Error(describe_failure(computer_, endpoint_, "copy " + quoted(path), status));
    if (done != total)
        throw Error(computer_ + ": " + quoted(path) + " changed while it was copied (" + std::to_string(done) + " of " +
                    std::to_string(total) + " bytes)");
    part.commit();
}

}  // namespace shardex::remote

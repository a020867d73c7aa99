// The Share service: which paths a share offers (the policies) and the calls that read
// them. Each call opens the file itself without following a final link and checks what it
// opened, so a file swapped for a link between the check and the read is still refused.
#include "platform/remote/share_service.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/protocol.h"
#include "platform/shown_text.h"

namespace shardex::remote {
namespace {

namespace fs = std::filesystem;

// Request paths longer than this are refused before any policy looks at them.
constexpr std::size_t kMaxRequestPath = 4096;

using platform::shown;

[[noreturn]] void refuse(const std::string& text, grpc::StatusCode code) {
    throw Error(text, static_cast<std::int32_t>(code));
}

grpc::Status status_of(const Error& e) {
    auto code = static_cast<grpc::StatusCode>(e.code());
    if (code == grpc::StatusCode::OK) code = grpc::StatusCode::FAILED_PRECONDITION;
    return grpc::Status(code, e.what());
}

// An open descriptor, closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The file a request names, opened for reading: a regular file, not a link. Throws Error
// carrying the status code to answer with.
struct Opened {
    explicit Opened(int f) : fd(f) {}
    Fd fd;
    std::int64_t size = 0;
};

std::unique_ptr<Opened> open_shared(const SharePolicy& policy, const std::string& requestPath) {
    if (requestPath.size() > kMaxRequestPath)
        refuse("a path of " + std::to_string(requestPath.size()) + " bytes is not shared by this computer",
               grpc::StatusCode::INVALID_ARGUMENT);
    const fs::path file = policy.resolve(requestPath);
    int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            refuse(shown(requestPath) + " does not exist on this computer", grpc::StatusCode::NOT_FOUND);
        if (err == ELOOP) refuse(shown(requestPath) + " is a link, not a shared file", grpc::StatusCode::PERMISSION_DENIED);
        refuse("cannot open " + shown(requestPath) + ": " + std::strerror(err),
               err == EACCES || err == EPERM ? grpc::StatusCode::PERMISSION_DENIED : grpc::StatusCode::FAILED_PRECONDITION);
    }
    auto opened = std::make_unique<Opened>(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        refuse("cannot read " + shown(requestPath) + ": " + std::strerror(errno), grpc::StatusCode::FAILED_PRECONDITION);
    if (!S_ISREG(st.st_mode))
        refuse(shown(requestPath) + " is not a plain file", grpc::StatusCode::PERMISSION_DENIED);
    if (st.st_nlink > 1 && !policy.servesHardLinks())
        refuse(shown(requestPath) + " has other names (hard links): a file that may belong elsewhere is not shared",
               grpc::StatusCode::PERMISSION_DENIED);
    // Opened without blocking (a FIFO must not hang the call); regular files read normally.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    opened->size = st.st_size;
    return opened;
}

// Reads up to `length` bytes at `offset`; fewer only at the end of the file.
std::int64_t read_at(int fd, std::int64_t offset, char* buffer, std::int64_t length, const std::string& requestPath) {
    std::int64_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, buffer + done, static_cast<std::size_t>(length - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            refuse("cannot read " + shown(requestPath) + ": " + std::strerror(errno), grpc::StatusCode::FAILED_PRECONDITION);
        if (n == 0) break;
        done += n;
    }
    return done;
}

// The session identifiers a caller presented with its call, within the limits.
std::vector<std::string> presented_sessions(const grpc::ServerContext& context) {
    std::vector<std::string> ids;
    const auto [from, to] = context.client_metadata().equal_range(kSessionMetadata);
    for (auto it = from; it != to && ids.size() < kMaxPresentedSessions; ++it)
        if (it->second.size() <= kMaxSessionIdBytes) ids.emplace_back(it->second.data(), it->second.size());
    return ids;
}

}  // namespace

// ---- policies ----

void SingleFileShare::set(const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    file_ = file;
}

std::filesystem::path SingleFileShare::resolve(const std::string& requestPath) const {
    fs::path file;
    {
        std::lock_guard lock(mutex_);
        file = file_;
    }
    if (file.empty())
        refuse(shown(requestPath) + " is not shared by this computer: it shares no source now",
               grpc::StatusCode::PERMISSION_DENIED);
    if (requestPath != platform::share_path_of(file.string()))
        refuse(shown(requestPath) + " is not shared by this computer", grpc::StatusCode::PERMISSION_DENIED);
    // The user chose this file: a link to it is followed here, so that the service's open,
    // which follows none, reaches the file itself.
    std::error_code ec;
    fs::path real = fs::canonical(file, ec);
    return ec ? file : real;
}

FolderShare::FolderShare(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path FolderShare::resolve(const std::string& requestPath) const {
    try {
        platform::check_plain_name(requestPath);
    } catch (const Error& e) {
        // Its reason (after the quoted name, which may be huge) with the name cut short.
        static const std::string kNotPlain = " is not a plain file name";
        const std::string text = e.what();
        const std::size_t at = text.rfind(kNotPlain);
        refuse(shown(requestPath) + kNotPlain + (at == std::string::npos ? "" : text.substr(at + kNotPlain.size())),
               grpc::StatusCode::PERMISSION_DENIED);
    }
    const fs::path file = folder_ / requestPath;
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(file, ec);
    if (st.type() == fs::file_type::not_found)
        refuse(shown(requestPath) + " is not in the Shardex folder of this computer", grpc::StatusCode::NOT_FOUND);
    if (ec) refuse("cannot look at " + shown(requestPath) + ": " + ec.message(), grpc::StatusCode::FAILED_PRECONDITION);
    if (st.type() == fs::file_type::symlink)
        refuse(shown(requestPath) + " is a link, not a file of the Shardex folder", grpc::StatusCode::PERMISSION_DENIED);
    if (st.type() == fs::file_type::directory)
        refuse(shown(requestPath) + " is a folder, not a file of the Shardex folder", grpc::StatusCode::PERMISSION_DENIED);
    if (st.type() != fs::file_type::regular)
        refuse(shown(requestPath) + " is not a plain file of the Shardex folder", grpc::StatusCode::PERMISSION_DENIED);
    return file;
}

// ---- downloads under way ----

// How many downloads run, to whom, and when each last moved. A download's thread waits in
// Write while its reader takes nothing (flow control); only a cancel ends that wait, so a
// thread of its own (started with the first download, joined by the destructor) cancels
// the downloads that stood still for the idle time.
class ShareService::Downloads {
    using Clock = std::chrono::steady_clock;
    struct Entry {
        grpc::ServerContext* context;
        std::string peer;
        Clock::time_point moved;
    };

public:
    // A download's place among the others, for as long as it runs.
    class Slot {
    public:
        Slot(Downloads& all, std::list<Entry>::iterator at) : all_(all), at_(at) {}
        ~Slot() {
            std::lock_guard lock(all_.mutex_);
            all_.entries_.erase(at_);
        }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        void moved() {
            std::lock_guard lock(all_.mutex_);
            at_->moved = Clock::now();
        }

    private:
        Downloads& all_;
        std::list<Entry>::iterator at_;
    };

    explicit Downloads(std::chrono::milliseconds idle) : idle_(idle) {}
    ~Downloads() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        if (reaper_.joinable()) reaper_.join();
    }

    // A place for a download to `peer` (the address part of gRPC's peer text); throws Error
    // (RESOURCE_EXHAUSTED) past the limits.
    std::unique_ptr<Slot> enter(grpc::ServerContext* context) {
        std::string peer = context->peer();
        peer = peer.substr(0, peer.rfind(':'));  // without the port
        std::lock_guard lock(mutex_);
        const auto toPeer = std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.peer == peer; });
        // The copying computer shows these after this one's name: "NODE1: it sends ...".
        if (toPeer >= limits::kMaxDownloadsPerPeer)
            refuse("it sends " + std::to_string(toPeer) +
                       " files to this computer already, the most it sends to one computer at once: wait until a "
                       "copy ends",
                   grpc::StatusCode::RESOURCE_EXHAUSTED);
        if (entries_.size() >= static_cast<std::size_t>(limits::kMaxDownloads))
            refuse("it sends " + std::to_string(entries_.size()) +
                       " files already, the most it sends at once: wait until a copy ends",
                   grpc::StatusCode::RESOURCE_EXHAUSTED);
        if (!reaper_.joinable()) reaper_ = std::thread([this] { reap(); });
        entries_.push_back({context, std::move(peer), Clock::now()});
        return std::make_unique<Slot>(*this, std::prev(entries_.end()));
    }

private:
    void reap() {
        const auto period = std::clamp<std::chrono::milliseconds>(idle_ / 4, std::chrono::milliseconds(10),
                                                                  std::chrono::milliseconds(1000));
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            cv_.wait_for(lock, period, [this] { return stopping_; });
            const auto now = Clock::now();
            // A cancelled download ends at once and leaves; until then it is cancelled again,
            // which does no harm.
            for (auto& e : entries_)
                if (now - e.moved >= idle_) e.context->TryCancel();
        }
    }

    const std::chrono::milliseconds idle_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::list<Entry> entries_;
    bool stopping_ = false;
    std::thread reaper_;
};

// ---- service ----

ShareService::ShareService(std::shared_ptr<const SharePolicy> policy, CopiedHandler onCopied,
                           std::chrono::milliseconds idleTimeout)
    : policy_(std::move(policy)), onCopied_(std::move(onCopied)),
      downloads_(std::make_unique<Downloads>(idleTimeout)) {}

ShareService::~ShareService() = default;

grpc::Status ShareService::Stat(grpc::ServerContext*, const proto::FileRef* request, proto::FileInfo* reply) {
    try {
        reply->set_size(open_shared(*policy_, request->path())->size);
        return grpc::Status::OK;
    } catch (const Error& e) {
        return status_of(e);
    }
}

grpc::Status ShareService::Read(grpc::ServerContext*, const proto::ReadRequest* request, proto::ReadReply* reply) {
    try {
        const std::string& path = request->path();
        if (request->offset() < 0)
            refuse("cannot read " + shown(path) + " at offset " + std::to_string(request->offset()) +
                       ": offsets start at 0",
                   grpc::StatusCode::INVALID_ARGUMENT);
        if (request->length() < 0 || request->length() > kMaxReadBytes)
            refuse("cannot read " + std::to_string(request->length()) + " bytes of " + shown(path) + ": a read takes 0 to " +
                       std::to_string(kMaxReadBytes) + " bytes",
                   grpc::StatusCode::INVALID_ARGUMENT);
        auto file = open_shared(*policy_, path);
        std::string* data = reply->mutable_data();
        const std::int64_t want = std::clamp<std::int64_t>(file->size - request->offset(), 0, request->length());
        data->resize(static_cast<std::size_t>(want));
        if (want > 0) data->resize(static_cast<std::size_t>(read_at(file->fd.get(), request->offset(), data->data(), want, path)));
        return grpc::Status::OK;
    } catch (const Error& e) {
        return status_of(e);
    }
}

grpc::Status ShareService::Download(grpc::ServerContext* context, const proto::FileRef* request,
                                    grpc::ServerWriter<proto::Chunk>* writer) {
    try {
        const std::string& path = request->path();
        auto file = open_shared(*policy_, path);
        const auto slot = downloads_->enter(context);
        proto::Chunk chunk;
        std::int64_t offset = 0;
        for (;;) {
            if (context->IsCancelled()) return grpc::Status(grpc::StatusCode::CANCELLED, "the copy was cancelled");
            std::string* data = chunk.mutable_data();
            data->resize(kChunkBytes);
            const std::int64_t n = read_at(file->fd.get(), offset, data->data(), kChunkBytes, path);
            if (n == 0) {
                if (onCopied_) onCopied_(policy_->resolve(path), presented_sessions(*context));
                return grpc::Status::OK;
            }
            data->resize(static_cast<std::size_t>(n));
            offset += n;
            // The client went away (or cancelled): nothing more to send.
            if (!writer->Write(chunk)) return grpc::Status(grpc::StatusCode::CANCELLED, "the copy was cancelled");
            slot->moved();
        }
    } catch (const Error& e) {
        return status_of(e);
    }
}

}  // namespace shardex::remote

// The listeners' guard: the program's own accept4 in front of the C library's, the
// connections it let in, and the descriptor it keeps in reserve for when none is left.
#include "platform/remote/listen_guard.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/remote/limits.h"

namespace shardex::remote {
namespace {

using Clock = std::chrono::steady_clock;
using AcceptFn = int (*)(int, sockaddr*, socklen_t*, int);

// The next accept4 after the program's own: a sanitizer's when one is loaded, else the C
// library's.
AcceptFn next_accept4() {
    static const AcceptFn fn = reinterpret_cast<AcceptFn>(::dlsym(RTLD_NEXT, "accept4"));
    return fn;
}

// The address a connection comes from, as bytes: IPv4 (IPv4-mapped IPv6 included) in 4,
// IPv6 in 16; empty for other families, which are counted in all but not per peer.
std::string peer_key(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(a).sin_addr;
        return std::string(reinterpret_cast<const char*>(&in), 4);
    }
    if (a.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
        const char* bytes = reinterpret_cast<const char*>(&in6);
        if (IN6_IS_ADDR_V4MAPPED(&in6)) return std::string(bytes + 12, 4);
        return std::string(bytes, 16);
    }
    return {};
}

// Closes a connection with a reset rather than a goodbye: the peer learns at once, and
// this side keeps nothing of it.
void drop(int fd) {
    linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(fd);
}

struct Held {
    int fd;
    dev_t dev;
    ino_t ino;
    std::string peer;
};

class Guard {
public:
    void arm(const ListenLimits& limits) {
        std::lock_guard lock(mutex_);
        limits_ = limits;
        if (reserve_ < 0) reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        armed_ = true;
    }
    bool armed() const { return armed_.load(std::memory_order_acquire); }

    // Keeps `fd` if the caps allow it; false when it must be closed.
    bool admit(int fd, const std::string& peer) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return false;
        std::lock_guard lock(mutex_);
        // A descriptor number seen again was closed by its owner since.
        std::erase_if(held_, [fd](const Held& h) { return h.fd == fd; });
        if (!peer.empty() && count(peer) >= limits_.connectionsPerPeer) {
            prune([&](const Held& h) { return h.peer == peer; });
            if (count(peer) >= limits_.connectionsPerPeer) return refuse(&overPeer_);
        }
        if (static_cast<int>(held_.size()) >= limits_.connections) {
            // Looking at every connection costs a system call each: not for each one
            // refused in a flood.
            const auto now = Clock::now();
            if (now - lastFullPrune_ >= std::chrono::milliseconds(50)) {
                lastFullPrune_ = now;
                prune([](const Held&) { return true; });
            }
            if (static_cast<int>(held_.size()) >= limits_.connections) return refuse(&overAll_);
        }
        held_.push_back({fd, st.st_dev, st.st_ino, peer});
        return true;
    }

    // Out of descriptors with connections waiting on `listener`: takes the oldest one with
    // the reserve's descriptor and closes it. False when none was waiting (or no
    // descriptor could be freed).
    bool shed(int listener) {
        std::lock_guard lock(mutex_);
        if (reserve_ < 0) reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (reserve_ < 0) return false;
        ::close(reserve_);
        const int fd = next_accept4()(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            drop(fd);
            ++refusals_.noDescriptors;
            note();
        }
        reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        return fd >= 0;
    }

    ListenRefusals refusals() {
        std::lock_guard lock(mutex_);
        return refusals_;
    }

private:
    int count(const std::string& peer) const {
        return static_cast<int>(std::count_if(held_.begin(), held_.end(), [&](const Held& h) { return h.peer == peer; }));
    }

    // Forgets the connections `which` selects whose descriptor was closed (or now names
    // something else).
    template <class Which>
    void prune(Which which) {
        std::erase_if(held_, [&](const Held& h) {
            if (!which(h)) return false;
            struct stat st {};
            return ::fstat(h.fd, &st) != 0 || st.st_dev != h.dev || st.st_ino != h.ino;
        });
    }

    bool refuse(std::int64_t* kind) {
        ++*kind;
        ++refusals_.overCap;
        note();
        return false;
    }

    // One line now and then for whoever watches the program: why peers are turned away.
    void note() {
        const auto now = Clock::now();
        if (noted_ != Clock::time_point{} && now - noted_ < std::chrono::seconds(10)) return;
        noted_ = now;
        std::fprintf(stderr,
                     "%s: turning incoming connections away: %lld over %d at once from one address, %lld over %d in "
                     "all, %lld for want of open files (limit %ld) since start\n",
                     program_invocation_short_name, static_cast<long long>(overPeer_), limits_.connectionsPerPeer,
                     static_cast<long long>(overAll_), limits_.connections,
                     static_cast<long long>(refusals_.noDescriptors), limits_.descriptors);
        std::fflush(stderr);
    }

    std::atomic<bool> armed_{false};
    std::mutex mutex_;
    ListenLimits limits_;
    std::vector<Held> held_;
    int reserve_ = -1;
    Clock::time_point lastFullPrune_{};
    Clock::time_point noted_{};
    ListenRefusals refusals_;
    std::int64_t overPeer_ = 0, overAll_ = 0;
};

Guard& guard() {
    static Guard* g = new Guard;  // never destroyed: gRPC's threads may accept until exit
    return *g;
}

}  // namespace

ListenLimits listen_limits_for(long descriptors) {
    ListenLimits l;
    l.descriptors = descriptors;
    const long room = std::min(descriptors / 2, std::max(limits::kDescriptorRoom, descriptors / 4));
    l.connections = static_cast<int>(std::clamp<long>(descriptors - room, 1, limits::kMaxConnections));
    l.connectionsPerPeer = std::clamp(l.connections / 4, 1, limits::kMaxConnectionsPerPeer);
    return l;
}

ListenLimits guard_listeners() {
    static const ListenLimits limits = [] {
        rlimit nofile {};
        if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
            rlimit raised = nofile;
            raised.rlim_cur = nofile.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) nofile = raised;
        }
        const auto l = listen_limits_for(
            nofile.rlim_cur == RLIM_INFINITY ? limits::kMaxConnections * 4L : static_cast<long>(nofile.rlim_cur));
        arm_listen_guard(l);
        return l;
    }();
    return limits;
}

void arm_listen_guard(const ListenLimits& limits) { guard().arm(limits); }

ListenRefusals listen_refusals() { return guard().refusals(); }

}  // namespace shardex::remote

// gRPC's listener reaches this instead of the C library's accept4 (the executable's own
// definition comes first); so does anything else in the program that accepts.
extern "C" int accept4(int listener, sockaddr* addr, socklen_t* addrlen, int flags) {
    using namespace shardex::remote;
    const AcceptFn next = next_accept4();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if (!guard().armed()) return next(listener, addr, addrlen, flags);
    for (;;) {
        sockaddr_storage peer {};
        socklen_t peerLen = sizeof peer;
        const int fd = next(listener, reinterpret_cast<sockaddr*>(&peer), &peerLen, flags);
        if (fd >= 0) {
            if (!guard().admit(fd, peer_key(peer))) {
                drop(fd);
                continue;  // the next waiting connection may be welcome
            }
            if (addr != nullptr && addrlen != nullptr) {
                std::memcpy(addr, &peer, std::min<socklen_t>(*addrlen, peerLen));
                *addrlen = peerLen;
            }
            return fd;
        }
        if (errno != EMFILE && errno != ENFILE) return -1;
        // gRPC gives up on its listener at this error, but retries on "try again".
        if (!guard().shed(listener)) {
            errno = EAGAIN;
            return -1;
        }
    }
}

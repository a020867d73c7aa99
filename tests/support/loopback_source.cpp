// The test program's own connect, in front of the C library's (gRPC's library calls it
// too): binds the socket to the chosen loopback address first while a LoopbackSource lives.
#include "support/loopback_source.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<in_addr_t> g_source{0};  // network order; 0: connect as usual

}  // namespace

namespace shardex::testing {

LoopbackSource::LoopbackSource(const std::string& address) { g_source = ::inet_addr(address.c_str()); }
LoopbackSource::~LoopbackSource() { g_source = 0; }

}  // namespace shardex::testing

extern "C" int connect(int fd, const sockaddr* to, socklen_t length) {
    using ConnectFn = int (*)(int, const sockaddr*, socklen_t);
    static const auto next = reinterpret_cast<ConnectFn>(::dlsym(RTLD_NEXT, "connect"));
    const in_addr_t source = g_source;
    if (source != 0 && to != nullptr && to->sa_family == AF_INET) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = source;
        ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    } else if (source != 0 && to != nullptr && to->sa_family == AF_INET6) {
        // gRPC connects to IPv4 addresses through IPv4-mapped IPv6 ones.
        sockaddr_in6 from{};
        from.sin6_family = AF_INET6;
        from.sin6_addr.s6_addr[10] = from.sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(&from.sin6_addr.s6_addr[12], &source, 4);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    }
    return next(fd, to, length);
}

// The listeners' guard in front of accept4, on a plain listener of this process (the
// program's accept4 is the guard's): connections over the caps are closed at once, a closed
// connection frees its place, and a process out of descriptors keeps its listener.
// Clients come from 127.0.0.3 and up, whose connections no other server here holds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/remote/listen_guard.h"

namespace shardex::remote {
namespace {

class ListenGuard : public ::testing::Test {
protected:
    void SetUp() override {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        ASSERT_EQ(::listen(listener, 64), 0);
        socklen_t length = sizeof at;
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);
    }
    void TearDown() override {
        for (int fd : open) ::close(fd);
        ::close(listener);
        arm_listen_guard(guard_listeners());  // the program's own caps again
    }

    // A client from the loopback address `from`, waiting to be accepted.
    int connect_from(const char* from) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in source{AF_INET, 0, {::inet_addr(from)}, {}};
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0) << std::strerror(errno);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << std::strerror(errno);
        open.push_back(fd);
        return fd;
    }
    // Accepts as gRPC does, until nothing waits: the connections let in.
    std::vector<int> accept_all() {
        std::vector<int> in;
        for (int fd; in.size() < 100 && (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) in.push_back(fd);
        EXPECT_EQ(errno, EAGAIN) << std::strerror(errno);
        open.insert(open.end(), in.begin(), in.end());
        return in;
    }
    // True when this side closed the client's connection.
    static bool closed(int client, int waitMs) {
        pollfd p{client, POLLIN, 0};
        char byte;
        return ::poll(&p, 1, waitMs) == 1 && ::recv(client, &byte, 1, MSG_DONTWAIT) <= 0;
    }

    int listener = -1;
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<int> open;
};

TEST_F(ListenGuard, ConnectionsOverACapAreClosedAtOnceAndAClosedOneFreesItsPlace) {
    arm_listen_guard({1000, 4, 3});
    const struct {
        const char* intent;
        const char* from;
        bool kept;
    } steps[] = {
        {"first of an address", "127.0.0.3", true},
        {"second", "127.0.0.3", true},
        {"third: the address's cap", "127.0.0.3", true},
        {"over the address's cap", "127.0.0.3", false},
        {"another address: the cap in all", "127.0.0.4", true},
        {"over the cap in all", "127.0.0.4", false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.intent);
        const int client = connect_from(s.from);
        EXPECT_EQ(accept_all().size(), s.kept ? 1u : 0u);
        EXPECT_EQ(closed(client, s.kept ? 0 : 5000), !s.kept);
    }
    // gRPC is done with the first address's first connection: its place is free.
    ::close(open[1]);
    open.erase(open.begin() + 1);
    connect_from("127.0.0.3");
    EXPECT_EQ(accept_all().size(), 1u);
}

// gRPC gives its listener up at any failure but "try again". Out of descriptors, the
// waiting connections are closed instead and gRPC is told to try again; once descriptors
// are free, connections are taken again.
TEST_F(ListenGuard, OutOfDescriptorsTheListenerLivesOn) {
    arm_listen_guard({1000, 100, 100});
    const int waiting[] = {connect_from("127.0.0.5"), connect_from("127.0.0.5")};
    const auto shedBefore = listen_refusals().noDescriptors;
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(::fcntl(0, F_DUPFD_CLOEXEC, 0));
    ::close(static_cast<int>(low.rlim_cur));
    low.rlim_cur += 16;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; filler.size() < 64 && (fd = ::dup(0)) >= 0;) filler.push_back(fd);
    const int fillError = errno;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int acceptError = errno;
    ::close(filler.back());  // room for a client and its connection
    ::close(filler.end()[-2]);
    connect_from("127.0.0.5");
    const auto later = accept_all();
    for (std::size_t i = 0; i + 2 < filler.size(); ++i) ::close(filler[i]);
    ::setrlimit(RLIMIT_NOFILE, &old);

    EXPECT_EQ(fillError, EMFILE);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(acceptError, EAGAIN) << std::strerror(acceptError);
    EXPECT_EQ(listen_refusals().noDescriptors - shedBefore, 2);
    for (int client : waiting) EXPECT_TRUE(closed(client, 5000));
    EXPECT_EQ(later.size(), 1u);
}

}  // namespace
}  // namespace shardex::remote

#include "platform/discovery/dns_sd.h"

// The system's Bonjour API (Avahi's compatibility library): the angle brackets keep our own
// header of the same name out of the search.
#include <dns_sd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>

namespace shardex::discovery {

namespace {

using Clock = std::chrono::steady_clock;

// Avahi's library prints a warning about itself to the user of every program built on it
// unless this is set. Set before main, while the process has a single thread: setenv is not
// thread-safe. A value the user gave is kept.
[[maybe_unused]] const bool quietCompatWarning = [] { return ::setenv("AVAHI_COMPAT_NOWARN", "1", 0) == 0; }();

// Owns one DNSServiceRef: deallocating it ends the operation and closes its socket.
struct ServiceRefDeleter {
    void operator()(DNSServiceRef ref) const noexcept { DNSServiceRefDeallocate(ref); }
};
using ServiceRef = std::unique_ptr<std::remove_pointer_t<DNSServiceRef>, ServiceRefDeleter>;

// The one place a DNS-SD error code becomes words. Avahi's library answers "unknown" when
// it cannot reach its daemon (no avahi-daemon, or no system bus), by far the usual cause.
std::string describe(DNSServiceErrorType code) {
    const char* what = nullptr;
    switch (code) {
    case kDNSServiceErr_Unknown:
        what = "no DNS-SD daemon reachable: avahi-daemon is not running or cannot be reached";
        break;
    case kDNSServiceErr_NameConflict: what = "the name is already announced by another computer"; break;
    case kDNSServiceErr_NoMemory: what = "out of memory"; break;
    case kDNSServiceErr_BadParam: what = "a name or service type DNS-SD does not accept"; break;
    case kDNSServiceErr_BadReference:
    case kDNSServiceErr_BadState: what = "the DNS-SD daemon ended the operation"; break;
    case kDNSServiceErr_Unsupported: what = "not supported by this DNS-SD daemon"; break;
    case kDNSServiceErr_NotInitialized: what = "the DNS-SD daemon is not ready"; break;
    case kDNSServiceErr_AlreadyRegistered: what = "already announced"; break;
    case kDNSServiceErr_Invalid: what = "an invalid request"; break;
    case kDNSServiceErr_Refused: what = "refused by the DNS-SD daemon"; break;
    default: what = "DNS-SD failed"; break;
    }
    return std::string(what) + ", error " + std::to_string(code);
}

// Waits up to `timeoutMs` (-1: without limit) for any of `fds` to be readable (their revents
// say which); false on the time limit or an error. poll, not select: the process may hold
// file descriptors above FD_SETSIZE (gRPC opens many).
bool wait_readable(std::vector<pollfd>& fds, int timeoutMs) {
    for (auto& p : fds) p.revents = 0;
    const int n = ::poll(fds.data(), fds.size(), timeoutMs);
    return n > 0;
}

// One instance seen by the browse, with the operations that resolve it. Callbacks only
// record what they hear; the loop starts and ends operations between rounds, so that no
// reference is ever released while one of its callbacks runs.
struct Instance {
    Found found;
    std::string type, domain;
    std::uint32_t interface = 0;
    int presence = 0;  // adds minus removes: an instance is announced once per interface and protocol
    ServiceRef resolve, query;
    bool resolveStarted = false, queryStarted = false;
    bool resolved = false, addressed = false;
};

struct BrowseState {
    std::map<std::string, Instance> instances;  // nodes stay put: callbacks keep pointers to them
    DNSServiceErrorType browseError = kDNSServiceErr_NoError;
};

void on_browse(DNSServiceRef, DNSServiceFlags flags, std::uint32_t interface, DNSServiceErrorType error,
               const char* name, const char* type, const char* domain, void* context) {
    auto& state = *static_cast<BrowseState*>(context);
    // An error comes without a name: check it first.
    if (error != kDNSServiceErr_NoError) {
        state.browseError = error;
        return;
    }
    if (!name || !type || !domain) return;
    if (flags & kDNSServiceFlagsAdd) {
        Instance& in = state.instances[name];
        if (in.presence <= 0) {
            in.found.name = name;
            in.type = type;
            in.domain = domain;
            in.interface = interface;
        }
        ++in.presence;
    } else if (auto it = state.instances.find(name); it != state.instances.end()) {
        --it->second.presence;
    }
}

void on_resolve(DNSServiceRef, DNSServiceFlags, std::uint32_t, DNSServiceErrorType error, const char*,
                const char* host, std::uint16_t portNetworkOrder, std::uint16_t, const unsigned char*, void* context) {
    auto& in = *static_cast<Instance*>(context);
    in.resolved = true;  // an error ends the resolve too
    if (error != kDNSServiceErr_NoError || !host) return;
    in.found.host = host;
    in.found.port = ntohs(portNetworkOrder);
}

void on_address(DNSServiceRef, DNSServiceFlags flags, std::uint32_t, DNSServiceErrorType error, const char*,
                std::uint16_t type, std::uint16_t, std::uint16_t length, const void* data, std::uint32_t,
                void* context) {
    auto& in = *static_cast<Instance*>(context);
    if (error != kDNSServiceErr_NoError) {
        in.addressed = true;
        return;
    }
    if (!(flags & kDNSServiceFlagsAdd) || type != kDNSServiceType_A || length != 4 || !data) return;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, data, text, sizeof text)) {
        in.found.address = text;
        in.addressed = true;
    }
}

// Between rounds: forgets the instances withdrawn, starts the resolve of the new ones and the
// address query of the resolved ones, ends the operations that are done.
void tend(BrowseState& state) {
    for (auto it = state.instances.begin(); it != state.instances.end();) {
        if (it->second.presence <= 0) {
            it = state.instances.erase(it);
            continue;
        }
        Instance& in = it->second;
        if (!in.resolveStarted) {
            in.resolveStarted = true;
            DNSServiceRef ref = nullptr;
            if (DNSServiceResolve(&ref, 0, in.interface, in.found.name.c_str(), in.type.c_str(), in.domain.c_str(),
                                  on_resolve, &in) == kDNSServiceErr_NoError)
                in.resolve.reset(ref);
        }
        if (in.resolved) in.resolve.reset();
        if (in.resolved && !in.found.host.empty() && !in.queryStarted) {
            in.queryStarted = true;
            DNSServiceRef ref = nullptr;
            if (DNSServiceQueryRecord(&ref, 0, in.interface, in.found.host.c_str(), kDNSServiceType_A,
                                      kDNSServiceClass_IN, on_address, &in) == kDNSServiceErr_NoError)
                in.query.reset(ref);
        }
        if (in.addressed) in.query.reset();
        ++it;
    }
}

}  // namespace

// ---- announcement ---------------------------------------------------------------------------

struct Announcement::Impl {
    std::function<void(const std::string&)> log;
    std::string name;
    std::once_flag reported;
    bool withdraw = false;  // set by a callback, acted on by the thread once the callback is over
    ServiceRef ref;
    int stopPipe[2] = {-1, -1};
    std::thread thread;

    void fail(DNSServiceErrorType error) {
        report(error == kDNSServiceErr_NameConflict ? conflict() : describe(error));
    }
    std::string conflict() const {
        return "the name " + name + " is already announced on the network by another computer";
    }

    void report(const std::string& why) {
        std::call_once(reported, [&] {
            if (log) log(why);
        });
    }

    // Avahi renames a service whose name is taken ("NAME #2") and has no flag to stop it; the
    // name is how Servers know this computer, so a renamed announcement is withdrawn and told.
    static void on_registered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char* registered,
                              const char*, const char*, void* context) {
        auto& self = *static_cast<Impl*>(context);
        if (error != kDNSServiceErr_NoError) {
            self.fail(error);
            self.withdraw = true;
        } else if (registered && registered != self.name) {
            self.report(self.conflict());
            self.withdraw = true;
        }
    }

    // Hears the daemon's answers until the stop pipe is written to (or the daemon goes away).
    void run() {
        std::vector<pollfd> fds{{DNSServiceRefSockFD(ref.get()), POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        for (;;) {
            if (!wait_readable(fds, -1)) {
                if (errno == EINTR) continue;
                report(std::string("cannot wait for the DNS-SD daemon: ") + std::strerror(errno));
                return;
            }
            if (fds[1].revents) return;
            if (fds[0].revents) {
                const DNSServiceErrorType error = DNSServiceProcessResult(ref.get());
                if (error != kDNSServiceErr_NoError) fail(error);
                if (error != kDNSServiceErr_NoError || withdraw) {
                    ref.reset();
                    return;
                }
            }
        }
    }
};

Announcement::Announcement(const std::string& type, const std::string& name, std::uint16_t port,
                           std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>()) {
    impl_->log = std::move(log);
    impl_->name = name;
    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType error = DNSServiceRegister(&ref, 0, 0, name.c_str(), type.c_str(), nullptr, nullptr,
                                                         htons(port), 0, nullptr, &Impl::on_registered, impl_.get());
    if (error != kDNSServiceErr_NoError) {
        impl_->fail(error);
        return;
    }
    impl_->ref.reset(ref);
    if (::pipe2(impl_->stopPipe, O_CLOEXEC) != 0) {
        impl_->report(std::string("cannot make a pipe: ") + std::strerror(errno));
        impl_->ref.reset();
        return;
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

Announcement::~Announcement() {
    if (impl_->thread.joinable()) {
        const char stop = 1;
        while (::write(impl_->stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
        }
        impl_->thread.join();
    }
    impl_->ref.reset();  // withdraws the announcement
    for (int fd : impl_->stopPipe)
        if (fd >= 0) ::close(fd);
}

// ---- browse ---------------------------------------------------------------------------------

std::vector<Found> browse(const std::string& type, std::chrono::milliseconds limit, std::string* error) {
    const auto deadline = Clock::now() + limit;
    BrowseState state;
    std::vector<Found> result;
    auto fail = [&](DNSServiceErrorType code) {
        if (error) *error = describe(code);
    };
    if (error) error->clear();

    DNSServiceRef raw = nullptr;
    if (const auto code = DNSServiceBrowse(&raw, 0, 0, type.c_str(), nullptr, on_browse, &state);
        code != kDNSServiceErr_NoError) {
        fail(code);
        return result;
    }
    const ServiceRef browser(raw);

    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        // The browse first, then the operations of each instance, in the map's order.
        std::vector<pollfd> fds{{DNSServiceRefSockFD(browser.get()), POLLIN, 0}};
        std::vector<DNSServiceRef> refs{browser.get()};
        for (auto& [name, in] : state.instances) {
            for (const ServiceRef* op : {&in.resolve, &in.query}) {
                if (!*op) continue;
                fds.push_back({DNSServiceRefSockFD(op->get()), POLLIN, 0});
                refs.push_back(op->get());
            }
        }
        if (!wait_readable(fds, static_cast<int>(left))) continue;  // the deadline (or a signal): checked above
        bool browseEnded = false;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            const DNSServiceErrorType code = DNSServiceProcessResult(refs[i]);
            if (i == 0 && code != kDNSServiceErr_NoError) {
                fail(code);
                browseEnded = true;
            } else if (i > 0 && code != kDNSServiceErr_NoError) {
                // A resolve or query that failed: its instance keeps what it has.
                for (auto& [name, in] : state.instances) {
                    if (in.resolve.get() == refs[i]) in.resolved = true;
                    if (in.query.get() == refs[i]) in.addressed = true;
                }
            }
        }
        if (state.browseError != kDNSServiceErr_NoError) {
            fail(state.browseError);
            browseEnded = true;
        }
        tend(state);
        if (browseEnded) break;
    }

    for (const auto& [name, in] : state.instances)
        if (in.presence > 0) result.push_back(in.found);  // the map keeps them sorted and unique
    return result;
}

}  // namespace shardex::discovery

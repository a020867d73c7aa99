// Finding computers with DNS-SD against a private avahi-daemon (its own bus and network
// namespace): announcements found and resolved, a withdrawn one dropped, a name clash told,
// no daemon at all answered without a hang; and the real shardex-agent announcing itself,
// listing its peers, and a Server finding it and announcing its share.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "platform/discovery/dns_sd.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "support/avahi_fixture.h"
#include "support/media.h"

namespace shardex::testing {
namespace {

using discovery::Announcement;
using discovery::Found;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What an Announcement reports, kept for the test to read (the announcement's thread writes).
struct Reports {
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& why) {
            std::lock_guard lock(mutex);
            lines.push_back(why);
        };
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

bool resolved(const std::vector<Found>& found, const std::string& name) {
    return std::any_of(found.begin(), found.end(), [&](const Found& f) { return f.name == name && !f.address.empty(); });
}

// Browses `type` in rounds until every name in `names` is resolved (or, with none, until
// nothing answers), for `limit` at most: a fresh announcement is probed for about a second.
std::vector<Found> browse_until(const std::string& type, const std::vector<std::string>& names,
                                std::chrono::milliseconds limit = 6000ms) {
    std::vector<Found> found;
    wait_for([&] {
        found = discovery::browse(type, 300ms);
        return names.empty() ? found.empty()
                             : std::all_of(names.begin(), names.end(), [&](auto& n) { return resolved(found, n); });
    }, limit);
    return found;
}

// What `shardex-agent --list` prints and its exit status (it lists and ends).
std::string list(const fs::path& root, const fs::path& network, const std::vector<std::string>& extra = {}) {
    auto o = AgentProcess::at("LISTER", root, network);
    o.extra = extra;
    o.extra.insert(o.extra.begin(), "--list");
    AgentProcess lister(o);
    lister.spawn();
    const int rc = lister.wait_exit(5000ms);
    return std::to_string(rc) + ": " + lister.log();
}

class Discovery : public ::testing::Test {
protected:
    static void SetUpTestSuite() { avahi = new PrivateAvahi; }
    static void TearDownTestSuite() { delete avahi; }
    void SetUp() override { ASSERT_TRUE(avahi->ok()) << avahi->why(); }
    static inline PrivateAvahi* avahi = nullptr;
};

TEST_F(Discovery, AnnouncementsAreFoundSortedWithdrawnAndAClashIsToldOnce) {
    Reports reports, twinReports;
    Announcement second("_sxtest-a._tcp", "NODE2", 40002, reports.sink());
    Announcement first("_sxtest-a._tcp", "NODE1", 40001, reports.sink());
    auto goes = std::make_unique<Announcement>("_sxtest-a._tcp", "GOES", 40004, reports.sink());
    Announcement twin("_sxtest-a._tcp", "NODE1", 40005, twinReports.sink());
    auto found = browse_until("_sxtest-a._tcp", {"NODE1", "NODE2", "GOES"});
    ASSERT_EQ(found.size(), 3u);  // no "NODE1 (2)"
    EXPECT_EQ(found[1].name, "NODE1");
    EXPECT_EQ(found[1].port, 40001);
    EXPECT_EQ(found[2].name, "NODE2");
    EXPECT_EQ(found[2].host, std::string(PrivateAvahi::kHostName) + ".local.");
    EXPECT_EQ(found[2].address, "127.0.0.1");
    EXPECT_TRUE(discovery::browse("_sxtest-b._tcp", 300ms).empty()) << "another type's browse sees them";
    EXPECT_TRUE(reports.all().empty()) << reports.all().front();
    ASSERT_TRUE(wait_for([&] { return !twinReports.all().empty(); }, 3s));
    EXPECT_EQ(twinReports.all(), std::vector<std::string>{twinReports.all().front()});
    EXPECT_TRUE(has(twinReports.all().front(), "NODE1 is already announced")) << twinReports.all().front();

    // A browse that sees GOES come, then go (about 1 s after), does not return it.
    std::thread withdraw([&goes] {
        std::this_thread::sleep_for(300ms);
        goes.reset();
    });
    found = discovery::browse("_sxtest-a._tcp", 2000ms);
    withdraw.join();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_FALSE(resolved(found, "GOES"));
}

// With no daemon on the bus: an empty browse saying why, an announcement that tells once and
// goes on, and an agent that still serves and lists nothing.
TEST(NoDaemon, BrowseAnnouncementAndAgentSayWhyAndGoOn) {
    const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string oldBus = old ? old : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", PrivateAvahi::busAddress().c_str(), 1);
    setenv("AVAHI_COMPAT_NOWARN", "1", 1);
    std::string error;
    EXPECT_TRUE(discovery::browse(discovery::kAgentService, 5000ms, &error).empty());
    EXPECT_TRUE(has(error, "no DNS-SD daemon reachable")) << error;
    Reports reports;
    { Announcement a(discovery::kAgentService, "NODE1", 40001, reports.sink()); }
    ASSERT_EQ(reports.all().size(), 1u);
    EXPECT_TRUE(has(reports.all().front(), "no DNS-SD daemon reachable")) << reports.all().front();

    TempDir dir;
    remote::init_network(dir / "network");
    AgentProcess agent(AgentProcess::at("NODE1", dir.path(), dir / "network"));
    ASSERT_TRUE(agent.start()) << agent.log();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(agent.exited()) << agent.log();
    const std::string log = agent.log(), told = "cannot announce this agent on the network (no DNS-SD daemon reachable";
    EXPECT_TRUE(has(log, told) && log.find(told) == log.rfind(told)) << log;
    EXPECT_TRUE(has(log, "Servers find it only through their peers entries")) << log;
    const std::string listed = list(dir.path(), dir / "network", {"--browse-ms", "300"});
    EXPECT_TRUE(has(listed, "0: no Shardex agent answered within 0.3 s (no DNS-SD daemon reachable")) << listed;
    if (old) setenv("DBUS_SYSTEM_BUS_ADDRESS", oldBus.c_str(), 1);
    else unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

// The real agent announces itself: --list shows it, a Server without peers entries finds and
// reaches it and announces its own share, and once stopped it is withdrawn.
TEST_F(Discovery, AServerFindsTheRunningAgentWhichListShowsAndWithdrawsOnStop) {
    TempDir dir;
    remote::init_network(dir / "network");
    AgentProcess agent(AgentProcess::at("NODE7", dir.path(), dir / "network"));
    ASSERT_TRUE(agent.start()) << agent.log();
    ASSERT_TRUE(resolved(browse_until(discovery::kAgentService, {"NODE7"}), "NODE7")) << agent.log();
    EXPECT_EQ(list(dir.path(), dir / "network"), "0: NODE7  " + std::string(PrivateAvahi::kHostName) + ".local.  " +
                                                     std::to_string(agent.port()) + "  127.0.0.1\n");
    EXPECT_FALSE(has(agent.log(), "cannot announce")) << agent.log();

    remote::NetworkOptions o;
    o.networkFolder = dir / "network";
    o.peersFile = dir / "no-peers";
    o.shareListen = "127.0.0.1:0";
    o.serverName = "SRV";
    o.browseMs = 700;
    remote::RemoteNetwork server(o);
    ASSERT_EQ(server.discoverAgents(), std::vector<std::string>{"NODE7"});
    EXPECT_NE(server.connectAgent("NODE7"), nullptr);  // where DNS-SD said: no peers entry
    const auto shares = browse_until(discovery::kShareService, {"SRV"});
    ASSERT_EQ(shares.size(), 1u);
    EXPECT_EQ(shares[0].port, server.sharePort());

    agent.stop();
    EXPECT_TRUE(browse_until(discovery::kAgentService, {}, 4000ms).empty());
}

}  // namespace
}  // namespace shardex::testing

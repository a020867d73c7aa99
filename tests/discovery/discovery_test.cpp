// Finding computers with DNS-SD against a private avahi-daemon (its own bus and network
// namespace): announcements found and resolved, a withdrawn one dropped, a name clash told,
// no daemon at all answered at once; and the real shardex-agent announcing itself, listing
// its peers, and a Server finding it and announcing its share.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/discovery/dns_sd.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "support/agent_process.h"
#include "support/avahi_fixture.h"

namespace shardex::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using discovery::Announcement;
using discovery::Found;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What an Announcement reports, kept for the test to read (the announcement's thread writes).
class Reports {
public:
    std::function<void(const std::string&)> sink() {
        return [lines = lines_](const std::string& why) {
            std::lock_guard lock(lines->mutex);
            lines->all.push_back(why);
        };
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(lines_->mutex);
        return lines_->all;
    }
    bool wait_for_one(std::chrono::milliseconds limit) const {
        for (const auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(10ms))
            if (!all().empty()) return true;
        return !all().empty();
    }

private:
    struct Lines {
        mutable std::mutex mutex;
        std::vector<std::string> all;
    };
    std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};

// Browses `type` in rounds of `round` until `done` holds for the answer, for `limit` at most;
// the last answer. A fresh announcement is probed for about a second before it is seen; an
// established one is resolved within some 30 ms.
std::vector<Found> browse_until(const std::string& type, const std::function<bool(const std::vector<Found>&)>& done,
                                std::chrono::milliseconds limit = 6000ms, std::chrono::milliseconds round = 300ms) {
    std::vector<Found> found;
    for (const auto until = Clock::now() + limit; Clock::now() < until;) {
        found = discovery::browse(type, round);
        if (done(found)) break;
    }
    return found;
}

bool resolved(const std::vector<Found>& found, const std::string& name) {
    return std::any_of(found.begin(), found.end(),
                       [&](const Found& f) { return f.name == name && !f.address.empty(); });
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/shardex-discovery.XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// ---- the library against a private daemon ---------------------------------------------------

class DiscoveryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        avahi = new PrivateAvahi;
        std::printf("private avahi-daemon ready in %lld ms\n", avahi->startupMs());
    }
    static void TearDownTestSuite() {
        delete avahi;
        avahi = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(avahi->ok()) << avahi->why(); }

    static inline PrivateAvahi* avahi = nullptr;
};

TEST_F(DiscoveryTest, AnnouncementsAreFoundResolvedAndSortedByName) {
    Reports reports;
    Announcement second("_sxtest-a._tcp", "NODE2", 40002, reports.sink());
    Announcement first("_sxtest-a._tcp", "NODE1", 40001, reports.sink());
    const auto found =
        browse_until("_sxtest-a._tcp", [](const auto& f) { return resolved(f, "NODE1") && resolved(f, "NODE2"); });

    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "NODE1");
    EXPECT_EQ(found[1].name, "NODE2");
    EXPECT_EQ(found[0].port, 40001);
    EXPECT_EQ(found[1].port, 40002);
    for (const auto& f : found) {
        EXPECT_EQ(f.host, std::string(PrivateAvahi::kHostName) + ".local.");
        EXPECT_EQ(f.address, "127.0.0.1");
    }
    EXPECT_TRUE(reports.all().empty()) << reports.all().front();
    // Another service type's browse does not see them.
    EXPECT_TRUE(discovery::browse("_sxtest-b._tcp", 300ms).empty());
}

TEST_F(DiscoveryTest, AnAnnouncementWithdrawnDuringABrowseIsNotReturned) {
    Reports reports;
    Announcement stays("_sxtest-c._tcp", "STAYS", 40003, reports.sink());
    auto goes = std::make_unique<Announcement>("_sxtest-c._tcp", "GOES", 40004, reports.sink());
    ASSERT_TRUE(resolved(
        browse_until("_sxtest-c._tcp", [](const auto& f) { return resolved(f, "GOES") && resolved(f, "STAYS"); }),
        "GOES"));

    // The browse sees GOES come, then go, before its deadline.
    std::thread withdraw([&goes] {
        std::this_thread::sleep_for(300ms);
        goes.reset();
    });
    const auto found = discovery::browse("_sxtest-c._tcp", 2000ms);  // the removal comes about 1 s after
    withdraw.join();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "STAYS");
    EXPECT_TRUE(reports.all().empty());
}

TEST_F(DiscoveryTest, ASecondComputerOfTheSameNameIsToldOnceAndNotRenamed) {
    Reports firstReports, secondReports;
    Announcement first("_sxtest-d._tcp", "TWIN", 40005, firstReports.sink());
    Announcement second("_sxtest-d._tcp", "TWIN", 40006, secondReports.sink());
    ASSERT_TRUE(secondReports.wait_for_one(3000ms));
    EXPECT_TRUE(has(secondReports.all().front(), "TWIN is already announced")) << secondReports.all().front();

    const auto found = browse_until("_sxtest-d._tcp", [](const auto& f) { return resolved(f, "TWIN"); });
    ASSERT_EQ(found.size(), 1u);  // no "TWIN (2)"
    EXPECT_EQ(found[0].port, 40005);
    EXPECT_TRUE(firstReports.all().empty());
    EXPECT_EQ(secondReports.all().size(), 1u);
}

// ---- no daemon: an empty answer at once, never a hang ---------------------------------------

// The bus a PrivateAvahi would use, while none runs.
class NoDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) oldBus = old;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", PrivateAvahi::busAddress().c_str(), 1);
        setenv("AVAHI_COMPAT_NOWARN", "1", 1);
    }
    void TearDown() override {
        if (oldBus) setenv("DBUS_SYSTEM_BUS_ADDRESS", oldBus->c_str(), 1);
        else unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    TempDir dir;
    std::optional<std::string> oldBus;
};

TEST_F(NoDaemonTest, BrowseAnswersNothingAtOnceAndSaysWhy) {
    std::string error;
    const auto start = Clock::now();
    const auto found = discovery::browse(discovery::kAgentService, 5000ms, &error);
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(has(error, "no DNS-SD daemon reachable")) << error;
}

TEST_F(NoDaemonTest, AnnouncementTellsOnceAndGoesOn) {
    Reports reports;
    const auto start = Clock::now();
    {
        Announcement a(discovery::kAgentService, "NODE1", 40001, reports.sink());
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_LT(Clock::now() - start, 1000ms);
    ASSERT_EQ(reports.all().size(), 1u);
    EXPECT_TRUE(has(reports.all().front(), "no DNS-SD daemon reachable")) << reports.all().front();
}

TEST_F(NoDaemonTest, AnAgentServesEvenWhenItCannotAnnounceItselfAndListsNothing) {
    const fs::path network = dir.path() / "network";
    remote::init_network(network);
    fs::create_directories(dir.path() / "Shardex");
    AgentProcess agent({SHARDEX_AGENT_PATH, "NODE1", dir.path() / "Shardex", network, dir.path() / "agent.log",
                        "127.0.0.1:0", {}, {"HOME=" + dir.path().string()}});
    ASSERT_TRUE(agent.start()) << agent.log();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(agent.exited()) << agent.log();
    const std::string log = agent.log();
    const std::string told = "shardex-agent: cannot announce this agent on the network (no DNS-SD daemon reachable";
    EXPECT_TRUE(has(log, told)) << log;
    EXPECT_EQ(log.find(told), log.rfind(told)) << log;
    EXPECT_TRUE(has(log, "Servers find it only through their peers entries")) << log;

    // Listing says why nothing answered, and still succeeds.
    AgentProcess list({SHARDEX_AGENT_PATH, "LISTER", dir.path() / "Shardex", network, dir.path() / "list.log",
                       "127.0.0.1:0", {"--list", "--browse-ms", "300"}, {}});
    list.start(100ms);  // never "listening": it lists and ends
    EXPECT_EQ(list.wait_exit(5000ms), 0) << list.log();
    EXPECT_TRUE(has(list.log(), "no Shardex agent answered within 0.3 s (no DNS-SD daemon reachable")) << list.log();
}

// ---- the real agent and Server --------------------------------------------------------------

class AgentDiscoveryTest : public DiscoveryTest {
protected:
    void SetUp() override {
        DiscoveryTest::SetUp();
        remote::init_network(network);
        fs::create_directories(dir.path() / "Shardex");
        agent = std::make_unique<AgentProcess>(AgentProcess::Options{
            SHARDEX_AGENT_PATH, "NODE7", dir.path() / "Shardex", network, dir.path() / "agent.log", "127.0.0.1:0",
            {}, {"HOME=" + dir.path().string()}});
        ASSERT_TRUE(agent->start()) << agent->log();
    }

    // Waits until the agent's announcement is established (a fresh one is probed for a second).
    bool announced() {
        return resolved(browse_until(discovery::kAgentService, [](const auto& f) { return resolved(f, "NODE7"); }),
                        "NODE7");
    }

    // What `shardex-agent --list` prints (it listens for the default second).
    std::string list() {
        AgentProcess list({SHARDEX_AGENT_PATH, "LISTER", dir.path() / "Shardex", network, dir.path() / "list.log",
                           "127.0.0.1:0", {"--list"}, {"HOME=" + dir.path().string()}});
        list.start(100ms);  // never "listening": it lists and ends
        EXPECT_EQ(list.wait_exit(5000ms), 0) << list.log();
        return list.log();
    }

    TempDir dir;
    fs::path network = dir.path() / "network";
    std::unique_ptr<AgentProcess> agent;
};

TEST_F(AgentDiscoveryTest, ListShowsTheRunningAgentWithItsHostPortAndAddress) {
    ASSERT_TRUE(announced()) << agent->log();
    const std::string out = list();
    const std::string line = std::string("NODE7  ") + PrivateAvahi::kHostName + ".local.  " +
                             std::to_string(agent->port()) + "  127.0.0.1\n";
    EXPECT_EQ(out, line);
    EXPECT_FALSE(has(agent->log(), "cannot announce")) << agent->log();

    // Once stopped, it is withdrawn.
    agent->stop();
    EXPECT_TRUE(browse_until(discovery::kAgentService, [](const auto& f) { return f.empty(); }, 4000ms).empty());
}

TEST_F(AgentDiscoveryTest, AServerWithoutPeersEntriesFindsTheAgentAndAnnouncesItsShare) {
    remote::NetworkOptions o;
    o.networkFolder = network;
    o.peersFile = dir.path() / "no-peers";
    o.shareListen = "127.0.0.1:0";
    o.serverName = "SRV";
    o.browseMs = 700;
    remote::RemoteNetwork server(o);
    ASSERT_TRUE(announced()) << agent->log();
    ASSERT_EQ(server.discoverAgents(), std::vector<std::string>{"NODE7"});

    // Reached through what DNS-SD found: no peers entry says where NODE7 listens.
    auto node = server.connectAgent("NODE7");
    ASSERT_NE(node, nullptr);
    const auto found = browse_until(discovery::kShareService, [](const auto& f) { return resolved(f, "SRV"); });
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "SRV");
    EXPECT_EQ(found[0].port, server.sharePort());
}

}  // namespace
}  // namespace shardex::testing

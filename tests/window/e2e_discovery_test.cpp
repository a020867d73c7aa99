// Computers found by DNS-SD: a private avahi daemon, real agents that announce themselves,
// and the window's start-up list, default clients and loads built from what the browse
// found; then a distributed run to names found that way, without any peers entry.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "app/form1.h"
#include "platform/discovery/dns_sd.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "run/run_control.h"
#include "source/source_selection.h"
#include "support/agent_process.h"
#include "support/avahi_fixture.h"
#include "support/fake_dialogs.h"
#include "support/qt_wait.h"
#include "support/real_services.h"

namespace shardex::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string text(const QLabel* l) { return l->text().toStdString(); }

std::vector<std::string> items(const QListWidget* list) {
    std::vector<std::string> v;
    for (int i = 0; i < list->count(); ++i) v.push_back(list->item(i)->text().toStdString());
    return v;
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(avahi.ok()) << "DNS-SD cannot run here: " << avahi.why();
        savedHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        fs::create_directories(root() / "Shardex");
        remote::init_network(root() / "network");
    }
    void TearDown() override {
        f.reset();
        agents.clear();
        qputenv("HOME", savedHome);
    }
    fs::path root() const { return home.path().toStdString(); }

    void start_agent(const std::string& name) {
        const fs::path dir = root() / name;
        fs::create_directories(dir / "Shardex");
        agents.push_back(std::make_unique<AgentProcess>(AgentProcess::Options{
            SHARDEX_AGENT_PATH, name, dir / "Shardex", root() / "network", dir / "agent.log", "127.0.0.1:0", {},
            {"HOME=" + dir.string(), "XDG_CONFIG_HOME=" + (dir / "config").string()}}));
        ASSERT_TRUE(agents.back()->start()) << agents.back()->log();
    }

    // Waits (bounded) until the browse answers with `names` resolved, as a Server started
    // a moment later would find them.
    void wait_announced(std::vector<std::string> names) {
        const auto until = Clock::now() + std::chrono::seconds(10);
        std::vector<std::string> seen;
        while (Clock::now() < until) {
            seen.clear();
            for (const auto& f : discovery::browse(discovery::kAgentService, std::chrono::milliseconds(500)))
                if (f.port != 0) seen.push_back(f.name);
            if (seen == names) return;
        }
        FAIL() << "the agents were not announced in time";
    }

    // The window on the real services and a network without any peers entry.
    void open_window(const std::string& self) {
        auto s = real_services(dialogs, self);
        remote::NetworkOptions o;
        o.networkFolder = root() / "network";
        o.peersFile = root() / "no-peers";
        o.shareListen = "127.0.0.1:0";
        o.serverName = self;
        o.browseMs = 1000;
        net = std::make_shared<remote::RemoteNetwork>(o);
        s.browseComputers = [n = net, self] {
            auto names = n->discoverAgents();
            names.push_back(self);
            std::sort(names.begin(), names.end());
            names.erase(std::unique(names.begin(), names.end()), names.end());
            return names;
        };
        s.createAgent = [n = net](const std::string& c) { return n->connectAgent(c); };
        s.shareSource = [n = net](const std::string& p) { n->shareSource(p); };
        s.copyFromClient = [n = net](const std::string& c, const std::string& name, const std::string& target,
                                     const std::function<bool(std::int64_t, std::int64_t)>& progress) {
            n->copyFromClient(c, name, target, progress);
        };
        f = std::make_unique<Form1>(s);
        const auto t0 = Clock::now();
        f->load();
        startupMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    }

    PrivateAvahi avahi;
    QTemporaryDir home;
    QByteArray savedHome;
    std::vector<std::unique_ptr<AgentProcess>> agents;
    std::shared_ptr<remote::RemoteNetwork> net;
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::unique_ptr<Form1> f;
    long long startupMs = 0;
};

// Three computers: the clients are the two agents, the loads keep their design values, and
// a run to names found by DNS-SD alone encodes three segments.
TEST_F(Discovery, TwoAnnouncedAgentsBecomeTheClientsAndEncode) {
    start_agent("NODE1");
    start_agent("NODE2");
    wait_announced({"NODE1", "NODE2"});
    open_window("SRV");
    std::printf("start-up with two agents announced: %lld ms\n", startupMs);
    EXPECT_EQ(items(f->ListBox_NetComputers), (std::vector<std::string>{"NODE1", "NODE2", "SRV"}));
    EXPECT_EQ(f->S.Client1_Computer, "NODE1");
    EXPECT_EQ(f->S.Client2_Computer, "NODE2");
    EXPECT_EQ(f->local_load->text().toStdString(), "40");
    EXPECT_EQ(f->remote_load->text().toStdString(), "40");
    EXPECT_EQ(f->remote2_load->text().toStdString(), "20");

    const std::string clip = root().string() + "/clip.avi";
    ASSERT_EQ(std::system(("timeout 120 ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
                           "sine -t 9 -c:v mjpeg -c:a pcm_s16le '" + clip + "'").c_str()),
              0);
    dialogs->nextOpenPath = clip;
    Cmd_File_Click(*f);
    ASSERT_EQ(f->CommonDialog1.FileName, clip);
    f->local_load->setText(QStringLiteral("34"));
    f->remote_load->setText(QStringLiteral("33"));
    f->remote2_load->setText(QStringLiteral("33"));
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_until([&] { return f->Cmd_Go->text() == QStringLiteral("Go"); }, 180000));
    static const QRegularExpression success(QStringLiteral("^Status:  Success \\d*\\.\\d to 1$"));
    for (auto* status : {f->Local_Status, f->Remote_Status, f->Remote2_Status})
        EXPECT_TRUE(success.match(status->text()).hasMatch()) << text(status);
    EXPECT_TRUE(dialogs->shown.empty()) << dialogs->shown.front().text;
    for (const auto& name : {f->S.Remote_OutFile, f->S.Remote2_OutFile})
        EXPECT_TRUE(fs::exists(root() / "Shardex" / name)) << name;
}

// Two computers: this one and one agent give loads 50/50/0 and Client 1 the agent; Client 2
// is the entry after Client 1's, which here is this computer, as designed.
TEST_F(Discovery, OneAgentAndThisComputerSplitTheLoadInHalves) {
    start_agent("NODE1");
    wait_announced({"NODE1"});
    open_window("THISPC");
    EXPECT_EQ(items(f->ListBox_NetComputers), (std::vector<std::string>{"NODE1", "THISPC"}));
    EXPECT_EQ(f->S.Client1_Computer, "NODE1");
    EXPECT_EQ(f->S.Client2_Computer, "THISPC");
    EXPECT_EQ(f->local_load->text().toStdString(), "50");
    EXPECT_EQ(f->remote_load->text().toStdString(), "50");
    EXPECT_EQ(f->remote2_load->text().toStdString(), "0");
}

// No agent announced: the browse waits its whole time and finds this computer alone.
TEST_F(Discovery, NothingAnnouncedLeavesThisComputerAlone) {
    open_window("THISPC");
    std::printf("start-up with no agent announced: %lld ms (browse time 1000 ms)\n", startupMs);
    EXPECT_EQ(items(f->ListBox_NetComputers), std::vector<std::string>{"THISPC"});
    EXPECT_EQ(f->local_load->text().toStdString(), "100");
}

}  // namespace
}  // namespace shardex::testing

// A distributed run through the window for end-to-end tests: the Server (this process, SRV)
// and two real shardex-agent processes (NODE1 and NODE2 on 127.0.0.1, each with its own
// Shardex folder, all under the test's own network certificates), a 12 s and a 60 s
// generated clip, and ffprobe to read the outputs back.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "app/form1.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "source/source_selection.h"
#include "support/agent_process.h"
#include "support/fake_dialogs.h"
#include "support/qt_wait.h"
#include "support/real_services.h"
#include "support/shell.h"

namespace shardex::testing {

namespace fs = std::filesystem;

inline int frame_count(const std::string& path) {
    const auto out = run("timeout 60 ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                         "stream=nb_read_packets -of csv=p=0 '" + path + "'");
    return out.empty() ? -1 : std::atoi(out.c_str());
}

// "asf wmv2 wmav2" for a Windows Media file with both streams.
inline std::string formats(const std::string& path) {
    auto fmt = run("timeout 60 ffprobe -v error -show_entries format=format_name -of csv=p=0 '" + path + "'");
    auto codecs = run("timeout 60 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path + "'");
    std::istringstream words(fmt + " " + codecs);
    std::string s, w;
    while (words >> w) s += (s.empty() ? "" : " ") + w;
    return s;
}

inline std::string text(const QLabel* l) { return l->text().toStdString(); }

constexpr const char* kServer = "SRV";
constexpr const char* kMakeClip =
    "timeout 120 ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30000/1001 -f lavfi -i sine -t ";

class DistributedRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new QTemporaryDir;
        const std::string d = dir->path().toStdString();
        clip = d + "/clip.avi";
        run(kMakeClip + std::string("12 -c:v mjpeg -c:a pcm_s16le '") + clip + "'");
        network = d + "/network";
        remote::init_network(network);
        otherNetwork = d + "/other-network";
        remote::init_network(otherNetwork);
    }
    // The 60 s clip, made when a test first asks for it (most tests of a run need none).
    static const std::string& long_clip() {
        if (longClip.empty()) {
            longClip = dir->path().toStdString() + "/long.avi";
            run(kMakeClip + std::string("60 -c:v mjpeg -q:v 5 -c:a pcm_s16le '") + longClip + "'");
        }
        return longClip;
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
        clip.clear();
        longClip.clear();
    }

    void SetUp() override {
        ASSERT_TRUE(fs::exists(clip)) << "ffmpeg could not make the test clip";
        savedHome = qgetenv("HOME");
        savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit());
        fs::create_directories(home.path().toStdString() + "/Shardex");
        for (int n : {1, 2}) {
            fs::create_directories(node_root(n) / "Shardex");
            fs::create_directories(node_root(n) / "config");
            node(n) = make_node(n);
            ASSERT_TRUE(node(n)->start()) << node(n)->log();
        }
    }
    fs::path node_root(int n) const { return home.path().toStdString() + (n == 1 ? "/node1" : "/node2"); }
    std::unique_ptr<AgentProcess>& node(int n) { return n == 1 ? node1 : node2; }
    std::unique_ptr<AgentProcess> make_node(int n, const std::string& listen = "127.0.0.1:0") {
        const fs::path root = node_root(n);
        return std::make_unique<AgentProcess>(AgentProcess::Options{
            SHARDEX_AGENT_PATH, n == 1 ? "NODE1" : "NODE2", root / "Shardex", network,
            root / ("agent-" + std::to_string(++agentsStarted) + ".log"), listen, {},
            {"XDG_CONFIG_HOME=" + (root / "config").string(), "HOME=" + root.string()}});
    }
    // Starts agent `n` again where the window's peers entry says it is (its old port).
    bool restart_node(int n) {
        const std::string where = node(n)->endpoint();
        node(n).reset();
        node(n) = make_node(n, where);
        return node(n)->start();
    }
    void TearDown() override {
        f.reset();
        node1.reset();
        node2.reset();
        qputenv("HOME", savedHome);
        qputenv("XDG_CONFIG_HOME", savedConfig);
    }

    // The window on the real encoder, player and network, with NODE1 and NODE2 as clients.
    void open_window(const fs::path& networkFolder = network) {
        auto s = real_services(dialogs, kServer, {"NODE1", "NODE2", kServer});
        remote::NetworkOptions o;
        o.networkFolder = networkFolder;
        o.peersFile = home.path().toStdString() + "/no-peers";
        o.peers = {"NODE1=" + node1->endpoint(), "NODE2=" + node2->endpoint()};
        o.shareListen = "127.0.0.1:0";
        o.serverName = kServer;
        net = std::make_shared<remote::RemoteNetwork>(o);
        s.createAgent = [n = net](const std::string& c) { return n->connectAgent(c); };
        s.shareSource = [n = net](const std::string& p) { n->shareSource(p); };
        s.copyFromClient = [n = net](const std::string& c, const std::string& name, const std::string& target,
                                     const std::function<bool(std::int64_t, std::int64_t)>& progress) {
            n->copyFromClient(c, name, target, progress);
        };
        f = std::make_unique<Form1>(s);
        f->load();
        ASSERT_EQ(f->S.Client1_Computer, "NODE1");
        ASSERT_EQ(f->S.Client2_Computer, "NODE2");
    }

    void choose(const std::string& path, const char* a = "34", const char* b = "33", const char* c = "33") {
        dialogs->nextOpenPath = path;
        Cmd_File_Click(*f);
        ASSERT_EQ(f->CommonDialog1.FileName, path);
        f->local_load->setText(QString::fromLatin1(a));
        f->remote_load->setText(QString::fromLatin1(b));
        f->remote2_load->setText(QString::fromLatin1(c));
    }
    bool wait_for_go(int ms) {
        return wait_until([&] { return f->Cmd_Go->text() == QStringLiteral("Go"); }, ms);
    }
    std::string here(const std::string& name) const { return home.path().toStdString() + "/Shardex/" + name; }
    std::string messages() const {
        std::string all;
        for (const auto& m : dialogs->shown) all += "[" + m.text + "] ";
        return all;
    }
    static bool success(const QLabel* status) {
        static const QRegularExpression re(QStringLiteral("^Status:  Success \\d*\\.\\d to 1$"));
        return re.match(status->text()).hasMatch();
    }

    static inline QTemporaryDir* dir = nullptr;
    static inline std::string clip, longClip;
    static inline fs::path network, otherNetwork;
    QTemporaryDir home;
    QByteArray savedHome, savedConfig;
    std::unique_ptr<AgentProcess> node1, node2;
    int agentsStarted = 0;
    std::shared_ptr<remote::RemoteNetwork> net;
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::unique_ptr<Form1> f;
};

}  // namespace shardex::testing

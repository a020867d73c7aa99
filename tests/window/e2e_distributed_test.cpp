// Distributed runs through the window: the Server and two real shardex-agent processes
// (NODE1 and NODE2 on 127.0.0.1, each with its own Shardex folder, all under the test's own
// network certificates) encode a generated clip in three segments; outputs are checked with
// ffprobe. Then what a user meets when a client fails: an agent killed mid-run, a client
// job stopped by the user, a profile a client lacks, certificates of another network.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/form1.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "profiles/profile_catalogue.h"
#include "run/run_control.h"
#include "source/source_selection.h"
#include "support/agent_process.h"
#include "support/fake_dialogs.h"
#include "support/qt_wait.h"
#include "support/real_services.h"
#include "support/shell.h"

namespace shardex::testing {
namespace {

namespace fs = std::filesystem;

int frame_count(const std::string& path) {
    const auto out = run("timeout 60 ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                         "stream=nb_read_packets -of csv=p=0 '" + path + "'");
    return out.empty() ? -1 : std::atoi(out.c_str());
}

// "asf wmv2 wmav2" for a Windows Media file with both streams.
std::string formats(const std::string& path) {
    auto fmt = run("timeout 60 ffprobe -v error -show_entries format=format_name -of csv=p=0 '" + path + "'");
    auto codecs = run("timeout 60 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path + "'");
    std::istringstream words(fmt + " " + codecs);
    std::string s, w;
    while (words >> w) s += (s.empty() ? "" : " ") + w;
    return s;
}

std::string text(const QLabel* l) { return l->text().toStdString(); }

constexpr const char* kServer = "SRV";

class DistributedRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new QTemporaryDir;
        const std::string d = dir->path().toStdString();
        clip = d + "/clip.avi";
        longClip = d + "/long.avi";
        const std::string make = "timeout 120 ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30000/1001 "
                                 "-f lavfi -i sine -t ";
        run(make + "12 -c:v mjpeg -c:a pcm_s16le '" + clip + "'");
        run(make + "60 -c:v mjpeg -q:v 5 -c:a pcm_s16le '" + longClip + "'");
        network = d + "/network";
        remote::init_network(network);
        otherNetwork = d + "/other-network";
        remote::init_network(otherNetwork);
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(fs::exists(clip)) << "ffmpeg could not make the test clip";
        savedHome = qgetenv("HOME");
        savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit());
        fs::create_directories(home.path().toStdString() + "/Shardex");
        for (auto* node : {&node1, &node2}) {
            const bool first = node == &node1;
            const fs::path root = home.path().toStdString() + (first ? "/node1" : "/node2");
            fs::create_directories(root / "Shardex");
            fs::create_directories(root / "config");
            *node = std::make_unique<AgentProcess>(AgentProcess::Options{
                SHARDEX_AGENT_PATH, first ? "NODE1" : "NODE2", root / "Shardex", network, root / "agent.log",
                "127.0.0.1:0", {}, {"XDG_CONFIG_HOME=" + (root / "config").string(), "HOME=" + root.string()}});
            ASSERT_TRUE((*node)->start()) << (*node)->log();
        }
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
    std::shared_ptr<remote::RemoteNetwork> net;
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::unique_ptr<Form1> f;
};

TEST_F(DistributedRun, ThreeComputersEncodeThreeSegmentsThatMeetExactly) {
    open_window();
    choose(clip);
    const int sourceFrames = frame_count(clip);
    ASSERT_GT(sourceFrames, 300);

    Cmd_Go_Click(*f);
    EXPECT_EQ(f->Cmd_Go->text().toStdString(), "Stop");
    ASSERT_TRUE(wait_for_go(180000)) << messages();
    EXPECT_TRUE(dialogs->shown.empty()) << messages();
    for (auto* status : {f->Local_Status, f->Remote_Status, f->Remote2_Status})
        EXPECT_TRUE(success(status)) << text(status);
    EXPECT_EQ(f->S.Remote_SegStart, 4000);
    EXPECT_EQ(f->S.Remote2_SegStart, 8000);
    EXPECT_EQ(f->S.Remote2_SegEnd, 12000);

    int total = 0;
    for (const auto& name : {f->S.Local_OutFile, f->S.Remote_OutFile, f->S.Remote2_OutFile}) {
        EXPECT_EQ(formats(here(name)), "asf wmv2 wmav2") << name;
        total += frame_count(here(name));
    }
    EXPECT_EQ(total, sourceFrames) << "the three segments must hold every source frame exactly once";
    // Each client also keeps its own copy.
    EXPECT_TRUE(fs::exists(home.path().toStdString() + "/node1/Shardex/" + f->S.Remote_OutFile));
    EXPECT_TRUE(fs::exists(home.path().toStdString() + "/node2/Shardex/" + f->S.Remote2_OutFile));

    // A second run reuses each client slot's application and encoder.
    auto app = f->S.Remote_App;
    auto enc = f->S.Remote2_Encoder;
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(180000)) << messages();
    EXPECT_EQ(f->S.Remote_App, app);
    EXPECT_EQ(f->S.Remote2_Encoder, enc);
    for (auto* status : {f->Local_Status, f->Remote_Status, f->Remote2_Status})
        EXPECT_TRUE(success(status)) << text(status);
}

TEST_F(DistributedRun, AKilledAgentEndsItsSlotAsStoppedWhileTheOthersFinish) {
    open_window();
    choose(longClip, "20", "20", "60");
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_until([&] { return f->S.Remote2_Encoder &&
                                        f->S.Remote2_Encoder->statistics()->archiveFileDuration().raw > 2000; },
                           60000))
        << messages();
    node2->kill_now();
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return text(f->Remote2_Status) == "Status:  Stopped "; }, 10000))
        << text(f->Remote2_Status);
    const auto noticed = std::chrono::steady_clock::now() - killed;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count();
    std::printf("a killed agent's slot read \"Stopped\" %lld ms after the kill\n", static_cast<long long>(ms));
    EXPECT_LT(noticed, std::chrono::seconds(2));
    ASSERT_FALSE(dialogs->shown.empty());
    EXPECT_NE(dialogs->shown.front().text.find("Remote Encoder-2: lost the connection to NODE2"), std::string::npos)
        << messages();

    ASSERT_TRUE(wait_for_go(180000)) << messages();
    EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status);
    EXPECT_TRUE(success(f->Remote_Status)) << text(f->Remote_Status);
}

TEST_F(DistributedRun, AClientJobStoppedByTheUserBringsItsPartialFileHome) {
    open_window();
    choose(longClip, "0", "100", "0");
    Cmd_Remote_Encode_Click(*f);
    ASSERT_TRUE(wait_until([&] { return f->Remote_Status->text().startsWith(QStringLiteral("Status:  Encoding")) &&
                                        f->S.Remote_Encoder->statistics()->archiveFileDuration().raw > 2000; },
                           60000))
        << messages();
    Cmd_Remote_Encode_Click(*f);
    ASSERT_TRUE(wait_until([&] { return f->Cmd_Remote_Encode->text() == QStringLiteral("Encode"); }, 30000));
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
    EXPECT_TRUE(dialogs->shown.empty()) << messages();
    const std::string copy = here(f->S.Remote_OutFile);
    EXPECT_EQ(formats(copy), "asf wmv2 wmav2");
    EXPECT_GT(frame_count(copy), 30);
    EXPECT_LT(frame_count(copy), frame_count(longClip));
}

TEST_F(DistributedRun, AClientWithoutTheChosenProfileGetsNoneAndSaysSo) {
    // A profile this computer has and the clients lack.
    const fs::path profiles = home.path().toStdString() + "/config/shardex/profiles";
    fs::create_directories(profiles);
    std::ofstream(profiles / "only_here.json") << R"json({"name": "Only Here (500 Kbps)", "contentType": 17,
        "modes": {"video": 1, "audio": 1}, "audiences": [{"videoCodec": 0, "width": 320, "height": 240,
        "fps": 29970, "videoBitrate": 436000, "videoBufferMs": 5000, "audioBitrate": 64000,
        "audioSampleRate": 44100, "audioChannels": 2}]})json";
    open_window();
    const int index = f->Combo_Profile->findText(QStringLiteral("Only Here (500 Kbps)"));
    ASSERT_GE(index, 0);
    f->Combo_Profile->setCurrentIndex(index);
    Combo_Profile_Click(*f);
    choose(clip, "50", "50", "0");
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(120000));
    ASSERT_EQ(dialogs->shown.size(), 1u) << messages() << text(f->Remote_Status);
    EXPECT_EQ(dialogs->shown[0].text, "Remote Encoder: NODE1: no profile is set for this job: the profile chosen on "
                                      "the Server is not installed on NODE1");
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
    EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status);
}

// What the user reads when a client cannot be used; the slot ends as stopped, and the
// Server's own segment is not held up.
TEST_F(DistributedRun, ClientsThatCannotBeReachedSayWhy) {
    open_window(otherNetwork);  // this computer holds another network's certificates
    choose(clip, "50", "50", "0");
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(120000));
    ASSERT_EQ(dialogs->shown.size(), 1u) << messages();
    EXPECT_EQ(dialogs->shown[0].text.rfind("Remote Encoder: NODE1 (" + node1->endpoint() + ") is not a Shardex agent or does not "
                                           "use this network's certificates", 0),
              0u)
        << messages();
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
    EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status);
    EXPECT_EQ(f->S.Remote_Connected, 0);

    // No certificates at all on this computer.
    dialogs->shown.clear();
    f->services.createAgent = [this](const std::string& c) {
        remote::NetworkOptions o;
        o.networkFolder = home.path().toStdString() + "/no-network";
        return remote::RemoteNetwork(o).connectAgent(c);
    };
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(120000));
    ASSERT_EQ(dialogs->shown.size(), 1u) << messages();
    EXPECT_NE(dialogs->shown[0].text.find("shardex-agent --init"), std::string::npos) << messages();

    // No agent where NODE1 is said to be.
    open_window();
    choose(clip, "50", "50", "0");
    dialogs->shown.clear();
    const std::string where = node1->endpoint();
    node1->stop();
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(120000));
    ASSERT_EQ(dialogs->shown.size(), 1u) << messages();
    EXPECT_EQ(dialogs->shown[0].text.rfind("Remote Encoder: NODE1 (" + where + ") is not reachable", 0), 0u)
        << messages();
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
}

}  // namespace
}  // namespace shardex::testing

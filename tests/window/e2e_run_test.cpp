// Runs through the window on the production services: the Server alone, the Server and two
// real agents on 127.0.0.1 encoding three segments that meet exactly, what a user reads when a
// client cannot be used, and computers found by DNS-SD on a private daemon. Outputs are read
// back with ffprobe.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <cmath>

#include "app/video_frame_widget.h"
#include "platform/discovery/dns_sd.h"
#include "platform/remote/network_certs.h"
#include "run/balance.h"
#include "run/run_control.h"
#include "support/avahi_fixture.h"
#include "support/e2e.h"
#include "support/qt_wait.h"

namespace shardex::testing {
namespace {

// DNS-SD reads the bus address once a process: the private daemon's, whether it runs or not.
[[maybe_unused]] const bool kBus = setenv("DBUS_SYSTEM_BUS_ADDRESS", PrivateAvahi::busAddress().c_str(), 1) == 0;

// Source frames (29.97 a second) from `fromMs` up to `toMs`.
int frames_between(int fromMs, int toMs) {
    const auto first = [](int ms) { return static_cast<int>(std::ceil(ms * 30.0 / 1001.0 - 1e-9)); };
    return first(toMs) - first(fromMs);
}

bool encoding_past(const std::shared_ptr<encoder::Encoder>& e, int ms) {
    return e && e->statistics()->archiveFileDuration().raw > ms;
}

TEST_F(DistributedRun, TheServerAloneEncodesTheClipATrimmedStretchAndStopsWithAValidFile) {
    open_window();
    EXPECT_EQ(f->Combo_Profile->currentText().toStdString(), "Windows Media Video 8 for Local Area Network (768 Kbps)");
    choose(clip, "100", "0", "0");
    const struct {
        int markIn, markOut, segStart, segEnd;  // marks -1: as chosen; a whole run ends at the clip's end
        const char* clock;
    } runs[] = {{-1, -1, 0, 12012, "0:00:12 /0:00:12"}, {2500, 9400, 2000, 9000, nullptr}};
    for (const auto& r : runs) {
        if (r.markIn >= 0) f->S.Mark_In = r.markIn;
        if (r.markOut >= 0) f->S.Mark_Out = r.markOut;
        Cmd_Go_Click(*f);
        ASSERT_TRUE(wait_for_go(120000)) << text(f->Local_Status);
        EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status) << messages();
        EXPECT_EQ(f->S.Local_SegStart, r.segStart);
        EXPECT_EQ(f->S.Local_SegStart + f->S.Local_SegLength, r.segEnd);
        EXPECT_EQ(frame_count(here(f->S.Local_OutFile)), frames_between(r.segStart, r.segEnd));
        if (r.clock) {
            EXPECT_EQ(text(f->Label2), r.clock);
        }
    }

    choose(long_clip(), "100", "0", "0");
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_until([&] { return encoding_past(f->S.Local_Encoder, 3000); }, 60000));
    EXPECT_GT(f->Frame_Video->framesShown(), 0);  // the encoder's pictures in the preview frame
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(60000));
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    EXPECT_EQ(dialogs->shown.size(), 0u) << messages();
    EXPECT_EQ(formats(here(f->S.Local_OutFile)), "asf wmv2 wmav2");
    EXPECT_LT(frame_count(here(f->S.Local_OutFile)), frame_count(long_clip()));
}

TEST_F(DistributedRun, ThreeComputersEncodeThreeSegmentsThatMeetExactly) {
    open_window();
    choose(clip);
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(180000)) << messages();
    EXPECT_TRUE(dialogs->shown.empty()) << messages();
    int frames = 0;
    for (const auto& [status, name] : {std::pair{f->Local_Status, f->S.Local_OutFile},
                                       {f->Remote_Status, f->S.Remote_OutFile}, {f->Remote2_Status, f->S.Remote2_OutFile}}) {
        EXPECT_TRUE(success(status)) << text(status);
        EXPECT_EQ(formats(here(name)), "asf wmv2 wmav2") << name;
        frames += frame_count(here(name));
    }
    EXPECT_EQ(frames, frame_count(clip)) << "the segments must hold every source frame exactly once";
    const fs::path joined = here(clip.stem().string() + ".wmv");
    EXPECT_EQ(formats(joined), "asf wmv2 wmav2");
    EXPECT_EQ(frame_count(joined), frames) << "the joined file holds them all";
    EXPECT_EQ(f->S.Remote2_SegStart, 8000);
    EXPECT_EQ(f->S.Remote2_SegEnd, 12012) << "the last segment reaches the clip's real end, past the split's 12 s";
    EXPECT_TRUE(fs::exists(node_root(2) / "Shardex" / f->S.Remote2_OutFile)) << "the client keeps its own copy";
}

TEST_F(DistributedRun, AClientJobStoppedByTheUserBringsItsPartialFileHome) {
    open_window();
    choose(long_clip(), "0", "100", "0");
    Cmd_Remote_Encode_Click(*f);
    ASSERT_TRUE(wait_until([&] { return encoding_past(f->S.Remote_Encoder, 2000); }, 60000)) << messages();
    Cmd_Remote_Encode_Click(*f);
    ASSERT_TRUE(wait_until([&] { return f->Cmd_Remote_Encode->text() == QStringLiteral("Encode"); }, 30000));
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
    EXPECT_TRUE(dialogs->shown.empty()) << messages();
    EXPECT_EQ(formats(here(f->S.Remote_OutFile)), "asf wmv2 wmav2");
    EXPECT_GT(frame_count(here(f->S.Remote_OutFile)), 30);
}

// A client that cannot take the job says why, the Server's own segment is not held up, and
// the Server then encodes the client's segment too.
TEST_F(DistributedRun, AClientThatCannotBeUsedSaysWhy) {
    fs::create_directories(home->path() / "config" / "shardex" / "profiles");
    write_file(home->path() / "config" / "shardex" / "profiles" / "only_here.json",
               R"json({"name": "Only Here (500 Kbps)", "contentType": 17, "modes": {"video": 1, "audio": 1},
                   "audiences": [{"videoCodec": 0, "width": 320, "height": 240, "fps": 29970, "videoBitrate": 436000,
                   "videoBufferMs": 5000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]})json");
    const std::string at = "NODE1 (" + node1->endpoint() + ") ";
    const struct {
        const char* intent;
        std::function<void()> arrange;
        std::string says;
    } cases[] = {
        {"a profile only the Server has", [&] { ASSERT_EQ(w->choose_profile("Only Here (500 Kbps)"), ""); },
         "Remote Encoder: NODE1: no profile is set for this job: the profile chosen on the Server is not installed on NODE1"},
        {"another network's certificates here", [&] { open_window(otherNetwork); },
         "Remote Encoder: " + at + "is not a Shardex agent or does not use this network's certificates"},
        {"no certificates here",
         [&] {
             NetworkSettings none;
             none.networkFolder = (home->path() / "none").string();
             f->services.createAgent = default_services(none).createAgent;
         },
         "shardex-agent --init"},
        {"no agent where NODE1 is said to be", [&] { open_window(); node1->stop(); },
         "Remote Encoder: " + at + "is not reachable"},
    };
    open_window();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        c.arrange();
        choose(clip, "50", "50", "0");
        Cmd_Go_Click(*f);
        ASSERT_TRUE(wait_for_go(120000));
        ASSERT_EQ(dialogs->shown.size(), 1u) << messages();
        EXPECT_NE(dialogs->shown[0].text.find(c.says), std::string::npos) << messages();
        EXPECT_TRUE(success(f->Remote_Status)) << "encoded again on the Server: " << text(f->Remote_Status);
        EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status);
    }
}

// Balance measures the Server and each client side by side and writes whole loads adding up
// to 100 from their speeds; a client that cannot be reached gets 0, with a message. No probe
// output stays in any computer's Shardex folder.
TEST_F(DistributedRun, BalanceSetsTheLoadsFromMeasuredSpeeds) {
    open_window();
    choose(clip, "100", "0", "0");
    for (bool node2Gone : {false, true}) {
        SCOPED_TRACE(node2Gone ? "NODE2 gone" : "all answer");
        dialogs->shown.clear();
        if (node2Gone) node2->stop();
        Cmd_Balance_Click(*f);
        const int loads[] = {f->local_load->text().toInt(), f->remote_load->text().toInt(),
                             f->remote2_load->text().toInt()};
        const std::string shown = f->Label_Balance->text().toStdString();
        std::printf("Balance: %s, loads %d/%d/%d\n", shown.c_str(), loads[0], loads[1], loads[2]);
        EXPECT_EQ(loads[0] + loads[1] + loads[2], 100);
        EXPECT_TRUE(loads[0] > 0 && loads[1] > 0) << shown << messages();
        EXPECT_EQ(loads[2] > 0, !node2Gone) << shown;
        EXPECT_EQ(dialogs->shown.size(), node2Gone ? 1u : 0u) << messages();
        EXPECT_EQ(shown.find("NODE2 -") != std::string::npos, node2Gone) << shown;
        for (const fs::path& folder : {home->path() / "Shardex", node_root(1) / "Shardex", node_root(2) / "Shardex"})
            EXPECT_FALSE(fs::exists(folder / "shardex-balance-probe.wmv")) << folder;
    }
}

// Computers found by DNS-SD on a private avahi daemon, without any peers entry: the list, the
// default clients and loads built from what the browse found, and a run to those names.
TEST(Discovery, AnnouncedAgentsBecomeTheClientsAndEncode) {
    PrivateAvahi avahi;
    ASSERT_TRUE(avahi.ok()) << "DNS-SD cannot run here: " << avahi.why();
    TempDir root("shardex-e2e-dns");
    HomeAt home(root.path());
    remote::init_network(root / "network");
    std::vector<std::unique_ptr<AgentProcess>> agents;
    const struct {
        std::vector<std::string> agents;
        const char* self;
        std::vector<std::string> listed;
        const char *client1, *client2, *loads;
    } cases[] = {
        {{}, "THISPC", {"THISPC"}, "", "", "100/0/0"},
        {{"NODE1"}, "THISPC", {"NODE1", "THISPC"}, "NODE1", "THISPC", "50/50/0"},
        {{"NODE1", "NODE2"}, "SRV", {"NODE1", "NODE2", "SRV"}, "NODE1", "NODE2", "40/40/20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.self + std::string(" with ") + std::to_string(c.agents.size()) + " agents");
        for (std::size_t i = agents.size(); i < c.agents.size(); ++i) {
            agents.push_back(std::make_unique<AgentProcess>(AgentProcess::at(c.agents[i], root / c.agents[i], root / "network")));
            ASSERT_TRUE(agents.back()->start()) << agents.back()->log();
        }
        // Until every agent's announcement is established (a fresh one is probed for about a
        // second), as a Server started a moment later finds them.
        for (const auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
            const auto found = discovery::browse(discovery::kAgentService, 500ms);
            if (std::count_if(found.begin(), found.end(), [](const auto& a) { return !a.address.empty(); }) ==
                static_cast<long>(c.agents.size()))
                break;
        }
        auto w = std::make_unique<ServerWindow>(NetworkSettings{(root / "network").string(), "", {}, "127.0.0.1:0", c.self});
        std::vector<std::string> listed;
        for (int i = 0; i < (*w)->ListBox_NetComputers->count(); ++i)
            listed.push_back((*w)->ListBox_NetComputers->item(i)->text().toStdString());
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ((*w)->S.Client1_Computer, c.client1);
        EXPECT_EQ((*w)->S.Client2_Computer, c.client2);
        EXPECT_EQ(((*w)->local_load->text() + "/" + (*w)->remote_load->text() + "/" + (*w)->remote2_load->text())
                      .toStdString(),
                  c.loads);
        if (c.agents.size() < 2) continue;
        make_test_clip(root / "clip.avi", 9);
        ASSERT_EQ(w->choose(root / "clip.avi"), "");
        const RunResult r = w->go(std::chrono::seconds(180));
        EXPECT_TRUE(r.success) << r.why();
    }
}

}  // namespace
}  // namespace shardex::testing

// Distributed runs through the window: the Server and two real shardex-agent processes
// (NODE1 and NODE2 on 127.0.0.1, each with its own Shardex folder, all under the test's own
// network certificates) encode a generated clip in three segments; outputs are checked with
// ffprobe. Then what a user meets when a client fails: an agent killed mid-run, a client
// job stopped by the user, a profile a client lacks, certificates of another network.
#include <gtest/gtest.h>

#include <QListWidget>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "profiles/profile_catalogue.h"
#include "run/balance.h"
#include "run/run_control.h"
#include "support/distributed_run.h"

namespace shardex::testing {
namespace {

const std::string kReRunNote = "\nIts segment will be encoded again by another computer of the run.";

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
    EXPECT_EQ(f->S.Remote2_SegEnd, 12012) << "the last segment reaches the clip's real end, past the split's 12 s";

    int total = 0;
    for (const auto& name : {f->S.Local_OutFile, f->S.Remote_OutFile, f->S.Remote2_OutFile}) {
        EXPECT_EQ(formats(here(name)), "asf wmv2 wmav2") << name;
        total += frame_count(here(name));
    }
    EXPECT_EQ(total, sourceFrames) << "the three segments must hold every source frame exactly once";
    const std::string joined = fs::path(clip).stem().string() + ".wmv";
    EXPECT_EQ(formats(here(joined)), "asf wmv2 wmav2");
    EXPECT_EQ(frame_count(here(joined)), sourceFrames) << "the joined file holds them all";
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

TEST_F(DistributedRun, AKilledAgentIsNoticedAtOnceAndItsSegmentEncodedElsewhere) {
    open_window();
    choose(long_clip(), "20", "20", "60");
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_until([&] { return f->S.Remote2_Encoder &&
                                        f->S.Remote2_Encoder->statistics()->archiveFileDuration().raw > 2000; },
                           60000))
        << messages();
    node2->kill_now();
    const auto killed = std::chrono::steady_clock::now();
    // Noticed: the segment waits for a computer, or is encoded again already.
    ASSERT_TRUE(wait_until([&] { return f->Remote2_Status->text().startsWith(QStringLiteral("Status:  Waiting")) ||
                                        f->TextBox_Remote2File->text().contains(QStringLiteral(" (on ")); },
                           10000))
        << text(f->Remote2_Status);
    const auto noticed = std::chrono::steady_clock::now() - killed;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count();
    std::printf("a killed agent's slot read \"%s\" %lld ms after the kill\n", text(f->Remote2_Status).c_str(),
                static_cast<long long>(ms));
    EXPECT_LT(noticed, std::chrono::seconds(2));
    ASSERT_FALSE(dialogs->shown.empty());
    EXPECT_NE(dialogs->shown.front().text.find("Remote Encoder-2: lost the connection to NODE2"), std::string::npos)
        << messages();

    ASSERT_TRUE(wait_for_go(180000)) << messages();
    for (auto* status : {f->Local_Status, f->Remote_Status, f->Remote2_Status}) EXPECT_TRUE(success(status)) << text(status);
}

TEST_F(DistributedRun, AClientJobStoppedByTheUserBringsItsPartialFileHome) {
    open_window();
    choose(long_clip(), "0", "100", "0");
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
    EXPECT_LT(frame_count(copy), frame_count(long_clip()));
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
                                      "the Server is not installed on NODE1" + kReRunNote);
    EXPECT_TRUE(success(f->Remote_Status)) << "the Server encodes the segment again: " << text(f->Remote_Status);
    EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status);
}

// What the user reads when a client cannot be used; the Server's own segment is not held up,
// and the Server then encodes the client's segment too.
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
    EXPECT_TRUE(success(f->Remote_Status)) << text(f->Remote_Status);
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
    EXPECT_TRUE(success(f->Remote_Status)) << text(f->Remote_Status);
}

// Balance measures the Server and each client side by side and writes whole loads adding up
// to 100 from their speeds; a client that cannot be reached gets 0, with a message. No probe
// output stays in the Server's Shardex folder.
TEST_F(DistributedRun, BalanceSetsTheLoadsFromMeasuredSpeeds) {
    open_window();
    choose(clip, "100", "0", "0");
    for (bool node2Gone : {false, true}) {
        SCOPED_TRACE(node2Gone ? "NODE2 gone" : "all answer");
        dialogs->shown.clear();
        if (node2Gone) node2->stop();
        const auto t0 = std::chrono::steady_clock::now();
        Cmd_Balance_Click(*f);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        const int loads[] = {f->local_load->text().toInt(), f->remote_load->text().toInt(),
                             f->remote2_load->text().toInt()};
        const std::string shown = f->Label_Balance->text().toStdString();
        std::printf("Balance took %lld ms: %s, loads %d/%d/%d\n", static_cast<long long>(ms.count()), shown.c_str(),
                    loads[0], loads[1], loads[2]);
        EXPECT_EQ(loads[0] + loads[1] + loads[2], 100);
        EXPECT_TRUE(loads[0] > 0 && loads[1] > 0) << shown << messages();
        EXPECT_EQ(loads[2] > 0, !node2Gone) << shown;
        EXPECT_EQ(dialogs->shown.size(), node2Gone ? 1u : 0u) << messages();
        EXPECT_EQ(shown.find("NODE2 -") != std::string::npos, node2Gone) << shown;
        EXPECT_FALSE(fs::exists(here("shardex-balance-probe.wmv")));
    }
}

}  // namespace
}  // namespace shardex::testing

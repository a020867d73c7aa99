// The clients' job set-up, events and completion on a scripted agent: connecting once per
// slot, configuring on every job, the failure path, client errors and the copy home.
#include <QTimer>

#include "jobs/completion.h"
#include "jobs/remote_job.h"
#include "run_fixture.h"
#include "platform/encoder/errors.h"
#include "support/fake_agent.h"

namespace shardex::testing {
namespace {

class ClientJob : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        f->services.createAgent = agents.agents();
        f->services.copyFromClient = agents.copier();
        f->services.shareSource = [this](const std::string& path) { shared.push_back(path); };
        f->S.Server_Computer = "SRV";
        f->S.Client1_Computer = "NODE1";
        f->S.Client2_Computer = "NODE2";
        f->S.Remote_SegStart = 40000;
        f->S.Remote_SegEnd = 125000;  // beyond the source's 123,456 ms
        f->S.Remote_Running = kTrue;
        f->S.Remote2_Running = kTrue;
        f->S.Remote_LoadText = "50";
    }
    FakeAgents agents{fx};
    std::vector<std::string> shared;
};

TEST_F(ClientJob, ConnectsConfiguresAndStartsOnTheClient) {
    agents.names = {"Older", "WMEnc_1"};  // the agent's first name is taken, whatever it is
    Start_Remote_Job(*f);
    ASSERT_TRUE(dialogs->shown.empty()) << dialogs->shown[0].text;
    EXPECT_EQ(shared, std::vector<std::string>{"/videos/clip.avi"});
    EXPECT_EQ(agents.computers, std::vector<std::string>{"NODE1"});
    EXPECT_EQ(agents.appRequests, std::vector<std::string>{"WMEnc_1|WMEnc.WMEncoderApp"});
    EXPECT_EQ(agents.encoderRequests, std::vector<std::string>{"Older"});
    EXPECT_EQ(f->S.Remote_Connected, 1);
    EXPECT_EQ(f->S.Remote_App, agents.apps.front());
    auto& enc = fx.last();
    EXPECT_EQ(f->S.Remote_Encoder.get(), &enc);
    EXPECT_EQ(enc.video().input(), "//SRV/videos/clip.avi");
    EXPECT_EQ(enc.audio().input(), "//SRV/videos/clip.avi");
    EXPECT_EQ(enc.outputPath, home.path().toStdString() + "/Shardex/clip_SX1.wmv");
    EXPECT_EQ(enc.title(), "Shardex demo");
    ASSERT_TRUE(enc.group().profile());
    EXPECT_EQ(f->S.Remote_SegEnd, 123456);
    EXPECT_EQ(f->S.Remote_SegLength, 83456);
    EXPECT_EQ(enc.video().markIn(), 40000);
    EXPECT_EQ(enc.audio().markOut(), 123456);
    EXPECT_EQ(agents.apps.front()->first, 800);
    EXPECT_EQ(agents.apps.front()->second, 600);
    EXPECT_TRUE(agents.apps.front()->visible);
    EXPECT_TRUE(f->TimerRemote->isActive());
    EXPECT_EQ(text(f->TextBox_RemoteFile), "clip_SX1.wmv");
    // The order that matters: reset before configuring, the window shown before the start.
    auto at = [&](const std::string& call) {
        return std::find(fx.script->calls.begin(), fx.script->calls.end(), call) - fx.script->calls.begin();
    };
    EXPECT_LT(at("reset"), at("sourceGroups"));
    EXPECT_LT(at("prepare"), at("setVisible"));
    EXPECT_LT(at("setVisible"), at("start"));
}

TEST_F(ClientJob, ASecondJobMakesANewAgentButReusesTheApplication) {
    Start_Remote_Job(*f);
    settle();
    fx.last().finish();
    settle();
    const auto app = f->S.Remote_App;
    const auto enc = f->S.Remote_Encoder;
    f->S.Remote_Running = kTrue;
    Start_Remote_Job(*f);
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(agents.computers.size(), 2u);
    EXPECT_EQ(agents.appRequests.size(), 1u);
    EXPECT_EQ(f->S.Remote_App, app);
    EXPECT_EQ(f->S.Remote_Encoder, enc);
    EXPECT_EQ(fx.script->count("reset"), 2u);
}

// A slot whose computer was lost since its last job (the agent killed, frozen or started
// again) connects once more to the same computer; any other failure of the reset is the
// job's failure, and the slot keeps its application.
TEST_F(ClientJob, ASlotWhoseComputerWasLostConnectsAgain) {
    struct Case {
        std::int32_t code;
        std::size_t apps;
        const char* message;
    } cases[] = {
        {encoder::errors::kConnectionLost, 2, nullptr},
        {encoder::errors::kInternal, 1, "Remote Encoder: The scripted call failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.apps);
        agents.appRequests.clear();
        dialogs->shown.clear();
        f->S.Remote_Connected = 0;
        f->S.Remote_Running = kTrue;
        f->S.Remote_Stopped = kFalse;
        Start_Remote_Job(*f);
        settle();
        fx.last().finish();
        settle();
        const auto enc = f->S.Remote_Encoder;
        fx.script->failAt = {"reset"};
        fx.script->failCode = c.code;
        fx.script->failOnce = true;
        f->S.Remote_Running = kTrue;
        f->S.Remote_Stopped = kFalse;
        const std::size_t resets = fx.script->count("reset");
        Start_Remote_Job(*f);
        EXPECT_EQ(agents.appRequests.size(), c.apps);
        EXPECT_EQ(f->S.Remote_Connected, 1);
        if (c.message) {
            EXPECT_EQ(messages(), std::vector<std::string>{c.message});
            EXPECT_EQ(f->S.Remote_Encoder, enc);
            EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
        } else {
            EXPECT_TRUE(dialogs->shown.empty()) << dialogs->shown[0].text;
            EXPECT_NE(f->S.Remote_Encoder, enc);
            EXPECT_TRUE(f->TimerRemote->isActive());
            EXPECT_EQ(f->S.Remote_App, agents.apps.back());
        }
        EXPECT_EQ(fx.script->count("reset"), resets + c.apps);  // a new encoder is reset too
    }
}

TEST_F(ClientJob, NoComputerDoesNothing) {
    f->S.Client2_Computer = "";
    Start_Remote2_Job(*f);
    EXPECT_TRUE(agents.computers.empty());
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(f->S.Remote2_Running, kTrue);  // the callers clear it
}

// A failure at any step ends the slot as stopped with the slot's prefix; a failure while
// connecting leaves the slot unconnected, so the next job tries again.
TEST_F(ClientJob, FailuresEndTheSlotWithTheReason) {
    struct Case {
        const char* failing;
        bool client2;
        std::int16_t connectedAfter;
        const char* message;
    } cases[] = {
        {"createAgent", false, 0, "Remote Encoder: The scripted call failed"},
        {"createEncoderApp", true, 0, "Remote Encoder-2: The scripted call failed"},
        {"encoderNames", false, 0, "Remote Encoder: The scripted call failed"},
        {"prepare", true, 1, "Remote Encoder-2: The scripted call failed"},
        {"start", false, 1, "Remote Encoder: The scripted call failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        dialogs->shown.clear();
        f->S.Remote_Connected = f->S.Remote2_Connected = 0;
        f->S.Remote_Running = f->S.Remote2_Running = kTrue;
        f->S.Remote_Stopped = f->S.Remote2_Stopped = kFalse;
        fx.script->failAt = {c.failing};
        c.client2 ? Start_Remote2_Job(*f) : Start_Remote_Job(*f);
        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(c.client2 ? f->S.Remote2_Connected : f->S.Remote_Connected, c.connectedAfter);
        EXPECT_EQ(c.client2 ? f->S.Remote2_Running : f->S.Remote_Running, kFalse);
        EXPECT_EQ(text(c.client2 ? f->Remote2_Status : f->Remote_Status), "Status:  Stopped ");
        EXPECT_FALSE((c.client2 ? f->TimerRemote2 : f->TimerRemote)->isActive());
    }
}

TEST_F(ClientJob, TheOutputIsCopiedHomeAfterTheEncodeEnds) {
    Start_Remote_Job(*f);
    settle();
    write_output("clip_SX1.wmv", 4096);
    fx.last().finish();
    settle();
    EXPECT_EQ(agents.copies, std::vector<std::string>{"NODE1|clip_SX1.wmv|" + home.path().toStdString() +
                                                      "/Shardex/clip_SX1.wmv"});
    EXPECT_EQ(text(f->Remote_Status).rfind("Status:  Success ", 0), 0u) << text(f->Remote_Status);
}

// A copy that fails leaves no ratio read from an older file of that name.
TEST_F(ClientJob, AFailedCopyEndsTheSlotAsStopped) {
    Start_Remote_Job(*f);
    settle();
    write_output("clip_SX1.wmv", 4096);  // from an earlier run
    fx.script->failAt = {"copyFromClient"};
    fx.last().finish();
    settle();
    EXPECT_EQ(messages(), std::vector<std::string>{"Remote Encoder: The scripted call failed"});
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
}

// A client's encode that fails ends as stopped, not as a success with a partial file. The
// partial file still comes home, unless the client was lost: then no copy is tried (it
// would fail, after holding the window until its deadline when the client froze).
TEST_F(ClientJob, AClientErrorEndsTheSlotAsStopped) {
    struct Case {
        std::int32_t code;
        const char* description;
        std::size_t copies;
    } cases[] = {
        {-1072889851, "encoding failed (error -1072889851)", 1},
        {encoder::errors::kConnectionLost, "lost the connection to NODE2 (127.0.0.1:9): it stopped answering", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        dialogs->shown.clear();
        agents.copies.clear();
        f->S.Remote2_Connected = 0;  // a new encoder for each case
        f->S.Remote2_Running = kTrue;
        f->S.Remote2_Stopped = kFalse;
        f->S.Remote2_SegStart = 0;
        f->S.Remote2_SegEnd = 20000;
        Start_Remote2_Job(*f);
        settle();
        write_output("clip_SX2.wmv", 4096);
        fx.last().reportError(c.code, c.description);
        fx.last().finish();
        settle();
        EXPECT_EQ(messages(), std::vector<std::string>{std::string("Remote Encoder-2: ") + c.description});
        EXPECT_EQ(text(f->Remote2_Status), "Status:  Stopped ");
        EXPECT_EQ(agents.copies.size(), c.copies);
    }
}

}  // namespace
}  // namespace shardex::testing

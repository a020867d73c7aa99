// The jobs: the Server's and the clients' set-ups and their failures, the copy of a client's
// output, the encoders' events, each panel's polling and each slot's completion.
#include <QCheckBox>

#include "app/colors.h"
#include "app/video_frame_widget.h"
#include "jobs/completion.h"
#include "jobs/job_setup.h"
#include "jobs/join_run.h"
#include "jobs/local_job.h"
#include "jobs/polling.h"
#include "jobs/remote_job.h"
#include "platform/encoder/errors.h"
#include "support/test_window.h"

#include <atomic>
#include <thread>

namespace shardex::testing {
namespace {

using Strings = std::vector<std::string>;

class Jobs : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        given_source();
        auto& S = f->S;
        S.Client1_Computer = "NODE1";
        S.Client2_Computer = "NODE2";
        S.Local_SegStart = 2000;
        S.Local_SegEnd = S.Remote_SegEnd = 125000;  // beyond the source's 123,456 ms
        S.Remote_SegStart = 40000;
        S.Local_Running = S.Remote_Running = S.Remote2_Running = kTrue;
        S.Local_LoadText = "40";
        S.Remote_LoadText = "60";
        S.Remote2_LoadText = "0";
    }
    std::string shardex(const std::string& name) const { return home.path().toStdString() + "/Shardex/" + name; }
    // Where an encoder reads from and writes to, and the stretch it marks on video and audio.
    static std::string job(FakeEncoder& e) {
        return e.video().path + " " + e.audio().path + " > " + e.outputPath + " " + std::to_string(e.video().in) +
               ".." + std::to_string(e.video().out) + " " + std::to_string(e.audio().in) + ".." +
               std::to_string(e.audio().out);
    }
};

// A fresh encoder reads the source itself and writes into the Shardex folder with the chosen
// profile, two passes on the video only, the segment's end lowered to the source's length,
// and the preview drawn into the picture box once prepared.
TEST_F(Jobs, TheServersJobIsSetUpAndStarted) {
    auto& S = f->S;
    S.Two_Pass = 1;
    Start_Local_Job(*f);
    ASSERT_EQ(messages(), Strings{});
    auto& enc = fx.last();
    EXPECT_EQ(S.Local_Encoder.get(), &enc);
    EXPECT_EQ(job(enc), "/videos/clip.avi /videos/clip.avi > " + shardex("clip_SX.wmv") + " 2000..123456 2000..123456");
    EXPECT_EQ(enc.group->groupName + " " + enc.title() + " " + enc.group->chosen->name(), "SG_1 Shardex demo " +
              std::string(kLanProfile));
    EXPECT_EQ(std::make_pair(enc.video().pass, enc.audio().pass), std::make_pair(1, 0));
    EXPECT_EQ(std::make_pair(S.Local_SegEnd, S.Local_SegLength), std::make_pair(123456, 121456));
    ASSERT_EQ(fx.views.size(), 1u);
    EXPECT_EQ(std::make_pair(fx.views[0]->window, fx.views[0]->cookie), std::make_pair(f->Frame_Video->hWnd(), 7));
    const FakeScript& s = *fx.script;
    EXPECT_LT(s.at("addDataView"), s.at("prepare"));
    EXPECT_LT(s.at("prepare"), s.at("startView"));
    EXPECT_LT(s.at("setMarkOut 1"), s.at("start"));
    EXPECT_EQ(text(f->TextBox_LocalFile), "clip_SX.wmv");
    EXPECT_TRUE(timer_enabled(f->TimerLocal));

    // Without the preview, and with no profile of exactly that name, neither is set.
    S.Post_View = kFalse;
    S.Two_Pass = 0;
    f->Combo_Profile->setEditText(QString::fromLatin1(kLanProfile).toLower());
    Start_Local_Job(*f);
    EXPECT_EQ(fx.views.size(), 1u);
    EXPECT_FALSE(fx.last().group->chosen);
    EXPECT_EQ(fx.last().video().pass, 0);
}

// The source is offered through this computer's share; an agent on the client's computer
// makes the encoder application once and hands out the first encoder it lists, which reads
// the source as //SRV/path and writes into the client's Shardex folder; the application is
// shown before the start. A later job connects again, keeping the application and encoder.
TEST_F(Jobs, AClientsJobIsSetUpOnItsComputer) {
    auto& S = f->S;
    fx.encoderNames = {"Older", "WMEnc_1"};
    Start_Remote_Job(*f);
    ASSERT_EQ(messages(), Strings{});
    EXPECT_EQ(shared, Strings{"/videos/clip.avi"});
    EXPECT_EQ(fx.agents, Strings{"NODE1"});
    const FakeScript& s = *fx.script;
    EXPECT_TRUE(s.called("createEncoderApp WMEnc_1|WMEnc.WMEncoderApp") && s.called("encoder Older"));
    EXPECT_EQ(S.Remote_Connected, 1);
    EXPECT_EQ(S.Remote_App, fx.apps.front());
    auto& enc = fx.last();
    EXPECT_EQ(S.Remote_Encoder.get(), &enc);
    EXPECT_EQ(job(enc), "//SRV/videos/clip.avi //SRV/videos/clip.avi > " + shardex("clip_SX1.wmv") +
                            " 40000..123456 40000..123456");
    EXPECT_TRUE(enc.group->chosen);
    EXPECT_EQ(S.Remote_SegLength, 83456);
    EXPECT_EQ(fx.apps.front()->placement, std::make_pair(800, 600));
    EXPECT_TRUE(fx.apps.front()->visible);
    EXPECT_TRUE(timer_enabled(f->TimerRemote));
    EXPECT_EQ(text(f->TextBox_RemoteFile), "clip_SX1.wmv");
    EXPECT_LT(s.at("reset"), s.at("sourceGroups"));
    EXPECT_LT(s.at("prepare"), s.at("setVisible"));
    EXPECT_LT(s.at("setVisible"), s.at("start"));

    enc.finish();
    settle();
    EXPECT_EQ(s.copies, Strings{"NODE1|clip_SX1.wmv|" + shardex("clip_SX1.wmv")});
    S.Remote_Running = kTrue;
    Start_Remote_Job(*f);
    EXPECT_EQ(messages(), Strings{});
    EXPECT_EQ(fx.agents.size(), 2u);  // a new connection
    EXPECT_EQ(fx.apps.size(), 1u);    // the same application
    EXPECT_EQ(S.Remote_Encoder.get(), &enc);
    EXPECT_EQ(s.count("reset"), 2u);
}

// A slot whose computer was lost since its last job connects once more to the same computer;
// any other failure of the reset is the job's failure, and the slot keeps its application.
TEST_F(Jobs, ASlotWhoseComputerWasLostConnectsAgain) {
    auto& S = f->S;
    const std::pair<std::int32_t, std::size_t> cases[] = {{encoder::errors::kConnectionLost, 2},
                                                          {encoder::errors::kInternal, 1}};
    for (auto [code, apps] : cases) {
        SCOPED_TRACE(code);
        fx.apps.clear();
        dialogs->shown.clear();
        S.Remote_Connected = 0;
        S.Remote_Running = kTrue;
        Start_Remote_Job(*f);
        fx.last().finish();
        settle();
        const auto enc = S.Remote_Encoder;
        fx.script->failAt = {"reset"};
        fx.script->failCode = code;
        fx.script->failOnce = true;
        S.Remote_Running = kTrue;
        Start_Remote_Job(*f);
        EXPECT_EQ(fx.apps.size(), apps);
        EXPECT_EQ(S.Remote_Connected, 1);
        EXPECT_EQ(S.Remote_Encoder == enc, apps == 1);
        EXPECT_EQ(messages(), apps == 1 ? Strings{"Remote Encoder: The scripted call failed"} : Strings{});
        EXPECT_EQ(timer_enabled(f->TimerRemote), apps == 2);
    }
}

// A failing step of a set-up ends the slot as failed, says why with the slot's prefix and
// gives the slot's controls back; a client that failed while connecting stays unconnected,
// so that its next job tries again.
TEST_F(Jobs, AFailingStepEndsTheSlotAsFailed) {
    auto& S = f->S;
    const std::pair<int, std::string> cases[] = {
        {0, "createEncoder"}, {0, "add SG_1"}, {0, "setInput 2"}, {0, "setLocalFileName"},
        {0, "setProfile " + std::string(kLanProfile)}, {0, "prepare"}, {0, "startView"}, {0, "duration"},
        {0, "setMarkOut 1"}, {0, "start"}, {1, "createAgent"}, {2, "createEncoderApp WMEnc_1|WMEnc.WMEncoderApp"},
        {1, "encoderNames"}, {2, "prepare"}, {1, "start"},
    };
    const std::string prefix[] = {"Local Encoder: ", "Remote Encoder: ", "Remote Encoder-2: "};
    void (*start[])(Form1&) = {Start_Local_Job, Start_Remote_Job, Start_Remote2_Job};
    for (const auto& [slot, failing] : cases) {
        SCOPED_TRACE(failing);
        const SlotNames s = slot_names(*f, slot);
        dialogs->shown.clear();
        S.Remote_Connected = S.Remote2_Connected = 0;
        s.running = kTrue;
        s.stopped = kFalse;
        s.encode->setText(QStringLiteral("Stop"));
        fx.script->failAt = {failing};
        start[slot](*f);
        EXPECT_EQ(messages(), Strings{prefix[slot] + "The scripted call failed"});
        EXPECT_EQ(std::make_pair(s.running, s.stopped), std::make_pair(kFalse, kTrue));
        EXPECT_FALSE(timer_enabled(s.timer));
        EXPECT_EQ(text(s.status) + "|" + text(s.encode) + "|" + text(s.load), "Status:  Failed |Encode|" + s.loadText);
        // Connected once the encoder is made, that is past its application and name.
        EXPECT_EQ(S.Remote_Connected + S.Remote2_Connected, failing == "prepare" || failing == "start" ? slot > 0 : 0);
    }
}

// A client's output comes home after its encode ends, also after a failed encode. A copy that
// fails or an encode that failed ends the slot as failed, so no ratio is read from an older
// file of that name; a lost client's file stays where it is (the copy would only fail).
TEST_F(Jobs, AClientsOutputComesHomeUnlessItsComputerWasLost) {
    auto& S = f->S;
    struct Case {
        std::int32_t code;
        std::string error;
        bool copyFails;
        const char* status;
        std::size_t copiesTried;
    } cases[] = {
        {0, "", false, "Status:  Success ", 1},
        {0, "", true, "Status:  Failed ", 1},
        {-1072889851, "encoding failed", false, "Status:  Failed ", 1},
        {encoder::errors::kConnectionLost, "lost the connection to NODE2", false, "Status:  Failed ", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error + (c.copyFails ? "the copy fails" : ""));
        fx.script->failAt.clear();
        fx.script->calls.clear();
        dialogs->shown.clear();
        S.Remote2_Connected = 0;  // a new encoder for each case
        S.Remote2_Running = kTrue;
        S.Remote2_Stopped = kFalse;
        S.Remote2_SegEnd = 20000;
        Start_Remote2_Job(*f);
        settle();
        write_output("clip_SX2.wmv", 4096);  // as the copy leaves it, or from an earlier run
        if (c.copyFails) fx.script->failAt = {"copyFromClient"};
        if (!c.error.empty()) fx.last().reportError(c.code, c.error);
        fx.last().finish();
        settle();
        const std::string why = c.copyFails ? "The scripted call failed" : c.error;
        EXPECT_EQ(messages(), why.empty() ? Strings{} : Strings{"Remote Encoder-2: " + why});
        EXPECT_EQ(text(f->Remote2_Status).rfind(c.status, 0), 0u) << text(f->Remote2_Status);
        EXPECT_EQ(fx.script->count("copyFromClient"), c.copiesTried);
    }
}

// A message about one client never holds another client's copy, nor opens inside another
// message: while Client 2's output comes home (slowly), Client 1 is lost and its box stays open
// as long as a person takes to read it; the copy goes on, Client 2's slot ends meanwhile, a
// failed copy's message waits for the first box to close, and Go comes back after both.
TEST_F(Jobs, AMessageAboutOneClientNeverHoldsAnothersCopy) {
    auto& S = f->S;
    f->Cmd_Go->setText(QStringLiteral("Stop"));
    S.Local_Running = kFalse;
    for (const bool copyFails : {false, true}) {
        SCOPED_TRACE(copyFails ? "the copy fails" : "the copy succeeds");
        dialogs->shown.clear();
        S.Remote_Connected = S.Remote2_Connected = 0;
        S.Remote_Running = S.Remote2_Running = kTrue;
        S.Remote_Stopped = S.Remote2_Stopped = kFalse;
        Start_Remote_Job(*f);
        auto& client1 = fx.last();
        Start_Remote2_Job(*f);
        auto& client2 = fx.last();
        settle();
        std::atomic<int> chunks{0};
        f->services.copyFromClient = [&](const std::string&, const std::string&, const std::string& target,
                                         const std::function<bool(std::int64_t, std::int64_t)>& progress) {
            for (int i = 1; i <= 10; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                ++chunks;
                if (!progress(i, 10)) throw Error("cancelled");
            }
            if (copyFails) throw Error("the share went away");
            std::ofstream(target) << std::string(4096, 'x');
        };
        std::string slot2WhileOpen;
        int boxes = 0, depth = 0, deepest = 0;
        dialogs->whileOpen = [&] {
            deepest = std::max(deepest, ++depth);
            if (boxes++ == 0) {
                wait_until([&] { return !f->copies->copying(2); }, 5000);
                slot2WhileOpen = text(f->Remote2_Status);
            }
            --depth;
        };
        client2.finish();  // Client 2's copy starts
        ASSERT_TRUE(wait_until([&] { return chunks > 0; }, 5000));
        client1.reportError(encoder::errors::kConnectionLost, "lost the connection to NODE1");
        client1.finish();
        settle();
        dialogs->whileOpen = nullptr;
        EXPECT_EQ(chunks.load(), 10);
        EXPECT_EQ(slot2WhileOpen.rfind(copyFails ? "Status:  Failed" : "Status:  Success", 0), 0u) << slot2WhileOpen;
        EXPECT_EQ(deepest, 1) << "a message box opened inside another";
        Strings said{"Remote Encoder: lost the connection to NODE1"};
        if (copyFails) said.push_back("Remote Encoder-2: the share went away");
        EXPECT_EQ(messages(), said);
        EXPECT_EQ(text(f->Cmd_Go), "Go");
        f->Cmd_Go->setText(QStringLiteral("Stop"));
    }
}

// Starting shows Stop, a pause marks the file box, and the stop ends the timer and refreshes
// the figures a last time. A replaced encoder's late events are dropped.
TEST_F(Jobs, TheServersEventsStartPauseAndEndItsSlot) {
    auto& S = f->S;
    S.Movie_Length = 100000;
    S.Source_SizeKB = 50000;
    S.Local_SegStart = 0;
    S.Local_SegEnd = 40000;
    S.Remote_Running = S.Remote2_Running = kFalse;
    Start_Local_Job(*f);
    settle();
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Stop");
    fx.last().report(encoder::kStatePaused);
    settle();
    EXPECT_EQ(text(f->TextBox_LocalFile), "clip_SX.wmv  (Pause)");

    write_output("clip_SX.wmv", 1600 * 1024);
    fx.script->mediaMs = 40000;
    fx.last().finish();
    settle();
    EXPECT_FALSE(timer_enabled(f->TimerLocal));
    EXPECT_EQ(S.Local_Running, kFalse);
    EXPECT_EQ(text(f->Label2), "0:00:40 /0:00:40");

    auto first = fx.made.back();
    S.Local_Running = kTrue;
    Start_Local_Job(*f);
    settle();
    f->Local_Status->setText(QStringLiteral("Status:  Encoding  3 %"));
    first->finish();
    settle();
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  3 %");
    EXPECT_TRUE(timer_enabled(f->TimerLocal));
}

// The code as the encoder gives it; where the output could not be written (a full disk),
// the reason follows, naming this computer. The job then ends as failed.
TEST_F(Jobs, AServerEncoderErrorIsShownAndTheJobEndsAsFailed) {
    auto& S = f->S;
    const std::tuple<std::uint32_t, const char*, const char*> cases[] = {
        {0xC00D1B66u, "", "Local Encoder Error: -1072882842"},
        {0xC00D0003u, "encoding the video failed", "Local Encoder Error: -1072889853"},
        {0xC00D0004u, "the disk is full", "Local Encoder Error: -1072889852\nSRV: the disk is full"},
        {0xC00D0005u, "cannot create 'x'", "Local Encoder Error: -1072889851\nSRV: cannot create 'x'"},
    };
    for (const auto& [code, description, message] : cases) {
        dialogs->shown.clear();
        S.Local_Running = kTrue;
        S.Local_Stopped = kFalse;
        Start_Local_Job(*f);
        write_output("clip_SX.wmv", 1600 * 1024);
        fx.last().reportError(static_cast<std::int32_t>(code), description);
        fx.last().finish();
        settle();
        EXPECT_EQ(messages(), Strings{message});
        EXPECT_EQ(text(f->Local_Status), "Status:  Failed ");
    }
}

// Each slot's completion writes its own outcome (from its own segment and output), gives its
// own load text and caption back, and Go comes back after the last one.
TEST_F(Jobs, EachSlotsCompletionWritesItsOwnPanel) {
    auto& S = f->S;
    S.Movie_Length = 100000;
    S.Source_SizeKB = 50000;
    const std::tuple<std::int32_t, std::uintmax_t, const char*, const char*> cases[] = {
        // segment (ms), output (KB), output file, outcome: 20,000, 10,000 and 4,000 KB of source
        {40000, 1600, "clip_SX.wmv", "Status:  Success 12.5 to 1"},
        {20000, 1000, "clip_SX1.wmv", "Status:  Success 10.0 to 1"},
        {8000, 640, "clip_SX2.wmv", "Status:  Success 6.3 to 1"},
    };
    void (*finish[])(Form1&) = {Finish_Local_Job, Finish_Remote_Job, Finish_Remote2_Job};
    f->Cmd_Go->setText(QStringLiteral("Stop"));
    for (int slot = 0; slot < 3; ++slot) {
        SCOPED_TRACE(slot);
        const auto& [segment, kb, name, outcome] = cases[slot];
        const SlotNames s = slot_names(*f, slot);
        s.segLength = segment;
        write_output(name, kb * 1024);
        s.bar->setValue(100);
        s.load->setText(QStringLiteral("100"));
        s.running = kFalse;
        finish[slot](*f);
        EXPECT_EQ(text(s.status), outcome);
        EXPECT_EQ(back_color(s.status), kLightYellow);
        EXPECT_EQ(s.bar->value(), 0);
        EXPECT_EQ(text(s.load) + "|" + text(s.encode), s.loadText + "|Encode");
        EXPECT_EQ(text(f->Cmd_Go), slot < 2 ? "Stop" : "Go");
    }
    // A job the user stopped says so, one that stopped by itself failed, and the Server's
    // preview takes the picture back.
    auto graph = std::make_shared<FakeGraph>();
    S.Media_Window = graph;
    S.Local_Stopped = kTrue;
    f->stopAsked[0] = true;
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Failed ");
    EXPECT_EQ(graph->owner, f->Frame_Video->hWnd());
}

// Each slot's tick fills its own panel from its own segment and start; a client that no
// longer runs has its bar at 0 and its status left to its completion; statistics that cannot
// be read keep the last figures.
TEST_F(Jobs, EachSlotsTickFillsItsOwnPanel) {
    auto& S = f->S;
    S.Local_Encoder = S.Remote_Encoder = S.Remote2_Encoder = std::make_shared<FakeEncoder>(fx.script);
    fx.script->bytes = 7340032;
    fx.script->mediaMs = 150000;
    fx.script->bitrate = 391300;
    ticks = 91000;
    struct Case {
        void (*tick)(Form1&);
        std::int32_t segment, start;
        const char* shown;  // media, clock, speed, status
        int percent;
    } cases[] = {
        {TimerLocal_Timer, 600000, 1000, "0:02:30 /0:10:00|0:01:30|Speed:  1.7x|Status:  Encoding  25 %", 25},
        {TimerRemote_Timer, 300000, 31000, "0:02:30 /0:05:00|0:01:00|Speed:  2.5x|Status:  Encoding 50 %", 50},
        {TimerRemote2_Timer, 150000, 61000, "0:02:30 /0:02:30|0:00:30|Speed:  5.x|Status:  Encoding 100 %", 100},
    };
    for (int slot = 0; slot < 3; ++slot) {
        const auto& c = cases[slot];
        const SlotNames s = slot_names(*f, slot);
        s.segLength = c.segment;
        s.startTicks = c.start;
        c.tick(*f);
        EXPECT_EQ(text(s.size) + "|" + text(s.rate), "Size:     7,168 KB|Bit rate: 391 Kb") << slot;
        EXPECT_EQ(text(s.media) + "|" + text(s.clock) + "|" + text(s.speed) + "|" + text(s.status), c.shown);
        EXPECT_EQ(s.bar->value(), c.percent) << slot;
    }
    EXPECT_EQ(S.Local_NowTicks, 91000);

    S.Remote_Running = kFalse;
    TimerRemote_Timer(*f);
    EXPECT_EQ(f->ProgressBar_Remote->value(), 0);
    EXPECT_EQ(text(f->Remote_Status), "Status:  Encoding 50 %");

    fx.script->mediaMs = 300000;
    for (const char* failing : {"statistics", "archiveFileSize", "outputBitrate"}) {
        fx.script->failAt = {failing};
        ticks += 500;
        TimerLocal_Timer(*f);
        EXPECT_EQ(text(f->Label2) + "|" + text(f->Local_Clock), "0:02:30 /0:10:00|0:01:30") << failing;
    }
    S.Local_Encoder.reset();
    TimerLocal_Timer(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  25 %");
}

// The split cuts in whole seconds: without an Out marker, the segment that ends the run (the
// first whose end is the last cut) runs on to the source's real end, and every segment is
// told the stretch, -1 for "to the source's end".
TEST_F(Jobs, TheSegmentThatEndsTheStretchReachesTheSourcesEnd) {
    auto& S = f->S;
    struct Case {
        const char* what;
        std::int32_t localEnd, remoteEnd, remote2End, markOut;
        std::int32_t end, stretchEnd;
    };
    const Case cases[] = {
        {"alone, no Out marker", 123000, 123000, 123000, 123456, 123456, -1},
        {"an Out marker", 100000, 100000, 100000, 100400, 100000, 100000},
        {"a client ends the run", 40000, 80000, 123000, 123456, 40000, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        S.Local_SegEnd = S.Remote_SegStart = c.localEnd;
        S.Remote_SegEnd = S.Remote2_SegStart = c.remoteEnd;
        S.Remote2_SegEnd = c.remote2End;
        S.Mark_Out = c.markOut;
        Start_Local_Job(*f);
        auto& enc = fx.last();
        EXPECT_EQ(std::make_pair(S.Local_SegEnd, enc.audio().out), std::make_pair(c.end, c.end));
        EXPECT_EQ(std::make_pair(enc.video().stretchStart(), enc.audio().stretchEnd()), std::make_pair(2000, c.stretchEnd));
    }
    // Client 2's segment is empty: Client 1's ends the run, and only it.
    S.Remote_SegEnd = S.Remote2_SegStart = S.Remote2_SegEnd = 123000;
    EXPECT_EQ(run_stretch(S).endingSlot, 1);
    // ...and still once its end has moved on to the source's real end: Client 2's empty
    // segment at the cut must not take the tail a second time.
    S.Remote_SegEnd = 123456;
    EXPECT_EQ(run_stretch(S).endingSlot, 1);
}

// Joined only after a Go run of more than one slot whose every started slot succeeded, with
// Join ticked, once; a source in the Shardex folder is never overwritten; a failure or a rate
// over the profile's is told.
TEST_F(Jobs, ARunThatEndedWellIsJoinedOnceIntoTheSourcesName) {
    auto& S = f->S;
    const std::string folder = shardex("");
    struct Case {
        const char* what;
        const char* remoteLoad;
        VbBool remoteStopped;
        bool ticked;
        const char* source;
        std::string failure, warning;
        const char* output;  // "" when nothing is joined
        const char* says;    // in the message, "" when none
    };
    const Case cases[] = {
        {"two slots ended well", "60", kFalse, true, "/videos/clip.avi", "", "", "clip.wmv", ""},
        {"a slot stopped", "60", kTrue, true, "/videos/clip.avi", "", "", "", ""},
        {"Join not ticked", "60", kFalse, false, "/videos/clip.avi", "", "", "", ""},
        {"one slot alone", "0", kFalse, true, "/videos/clip.avi", "", "", "", ""},
        {"the source is clip.wmv there", "60", kFalse, true, "clip.wmv", "", "", "clip_joined.wmv", "clip_joined.wmv"},
        {"the join fails", "60", kFalse, true, "/videos/clip.avi", "cannot join: gap", "", "clip.wmv", "cannot join: gap"},
        {"over the rate", "60", kFalse, true, "/videos/clip.avi", "", "'clip.wmv' is 7.0% over", "clip.wmv", "7.0% over"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<join::JoinRequest> joins;
        f->services.joinSegments = [&](const join::JoinRequest& r) {
            joins.push_back(r);
            if (!c.failure.empty()) throw Error(c.failure);
            join::JoinResult result;
            result.completed = true;
            result.rateWarning = c.warning;
            return result;
        };
        dialogs->shown.clear();
        f->CommonDialog1.FileName = c.source[0] == '/' ? c.source : write_output(c.source, 10);
        write_output("clip_SX.wmv", 4096);
        write_output("clip_SX1.wmv", 4096);
        loads("40", c.remoteLoad, "0");
        f->CheckBox_Join->setChecked(c.ticked);
        Plan_Join(*f);
        S.Local_Running = S.Remote_Running = S.Remote2_Running = kFalse;
        S.Local_Stopped = kFalse;
        S.Remote_Stopped = c.remoteStopped;
        Finish_Remote_Job(*f);
        Finish_Local_Job(*f);
        Finish_Local_Job(*f);  // a second end of the same run joins nothing more
        if (*c.output == 0) {
            EXPECT_TRUE(joins.empty());
        } else {
            ASSERT_EQ(joins.size(), 1u);
            EXPECT_EQ(joins[0].inputs, (Strings{folder + "clip_SX.wmv", folder + "clip_SX1.wmv"}));
            EXPECT_EQ(joins[0].output, folder + c.output);
        }
        const auto shown = messages();
        if (*c.says == 0) {
            EXPECT_EQ(shown, Strings{});
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_NE(shown[0].find(c.says), std::string::npos) << shown[0];
        }
    }
}

}  // namespace
}  // namespace shardex::testing

// Go/Stop, the load check before a run, the Encode buttons, refused stops, and Go coming
// back when nothing is left running.
#include "app/colors.h"
#include "run/run_control.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

using Strings = std::vector<std::string>;

class RunControl : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        given_source();
    }
};

// Go starts the Server and each client whose load text is not exactly "0"; a wrong sum
// refuses the stop; Stop ends every job and Go comes back once the encoders report it.
TEST_F(RunControl, GoStartsTheJobsAndStopEndsThem) {
    auto& S = f->S;
    S.Client1_Computer = "NODE1";
    loads("100", "00", "0");
    Cmd_Go_Click(*f);
    EXPECT_EQ(fx.agents, Strings{"NODE1"});
    EXPECT_EQ(text(f->Cmd_Go), "Stop");
    EXPECT_TRUE(S.Local_Running == kTrue && S.Remote_Running == kTrue && S.Remote2_Running == kFalse);
    EXPECT_EQ(std::make_pair(S.Local_StartTicks, S.Local_SegEnd), std::make_pair(1000, 123456));
    EXPECT_EQ(S.Remote_SegStart, S.Remote_SegEnd);
    EXPECT_TRUE(timer_enabled(f->TimerLocal) && timer_enabled(f->TimerRemote));
    settle();
    EXPECT_EQ(text(f->Cmd_Local_Encode) + "|" + text(f->Cmd_Remote_Encode), "Stop|Stop");  // the starting events
    EXPECT_TRUE(fore_color(f->Local_Clock) == kBrightGreen && fore_color(f->Remote_Clock) == kBrightGreen);

    f->local_load->setText(QStringLiteral("50"));
    Cmd_Go_Click(*f);
    EXPECT_FALSE(fx.script->called("stop"));
    EXPECT_EQ(messages(), Strings{"Incorrect Server/Client Load"});

    f->local_load->setText(QStringLiteral("100"));
    Cmd_Go_Click(*f);
    EXPECT_EQ(fx.script->count("stop"), 2u);
    EXPECT_EQ(std::make_pair(S.Local_Running, S.Remote_Stopped), std::make_pair(kFalse, kTrue));
    EXPECT_FALSE(timer_enabled(f->TimerLocal) || timer_enabled(f->TimerRemote));
    EXPECT_EQ(text(f->Cmd_Go), "Stop");  // until the encoders report their stop
    settle();
    EXPECT_EQ(text(f->Local_Status) + "|" + text(f->Remote_Status) + "|" + text(f->Cmd_Go),
              "Status:  Stopped |Status:  Stopped |Go");
}

// An accepted check keeps the texts the completions give back, clears the stopped flags and
// resets the panels; a refused one says so; without a source nothing is said.
TEST_F(RunControl, TheLoadCheckBeforeARun) {
    f->S.Remote_Stopped = kTrue;
    f->Local_Status->setText(QStringLiteral("Status:  Stopped "));
    loads("-20", "60", "60");
    ASSERT_EQ(Check_Loads(*f), 1);
    EXPECT_EQ(f->S.Local_LoadText + "|" + f->S.Remote2_LoadText + "|" + text(f->Local_Status), "-20|60|Status:");
    EXPECT_EQ(f->S.Remote_Stopped, kFalse);
    loads("30", "30", "30");
    EXPECT_EQ(Check_Loads(*f), 0);
    f->CommonDialog1.FileName.clear();
    EXPECT_EQ(Check_Loads(*f), 0);
    EXPECT_EQ(messages(), Strings{"Incorrect Server/Client Load"});
}

// Go that starts nothing leaves Go on the button: each row sets a run up to fail.
TEST_F(RunControl, GoComesBackWhenNoJobReallyStarts) {
    struct Case {
        const char* intent;
        std::function<void()> arrange;
        Strings messages;
        std::size_t encoders;
    } cases[] = {
        {"no source", [&] { f->CommonDialog1.FileName.clear(); }, {}, 0},
        {"a bound beyond 32 bits", [&] { f->S.Mark_Out = INT32_MAX; }, {"Incorrect Server/Client Load"}, 0},
        {"the Server's set-up fails and the only client has no computer",
         [&] { fx.script->failAt = {"prepare"}, loads("0", "100", "0"); }, {" The scripted call failed"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        given_source();
        f->S.Mark_Out = 0;
        dialogs->shown.clear();
        fx.made.clear();
        c.arrange();
        Cmd_Go_Click(*f);
        EXPECT_EQ(messages(), c.messages);
        EXPECT_EQ(fx.made.size(), c.encoders);
        EXPECT_EQ(text(f->Cmd_Go), "Go");
        EXPECT_FALSE(any_slot_running(f->S));
    }
    // A client without a computer does not hold the run open once the Server is done.
    loads("50", "50", "0");
    fx.script->failAt.clear();
    Cmd_Go_Click(*f);
    EXPECT_EQ(text(f->Cmd_Go), "Stop");
    fx.last().finish();
    settle();
    EXPECT_EQ(text(f->Cmd_Go), "Go");
}

// A stop the encoder refuses is shown and ends the slot at once, through Go and through the
// slot's own button.
TEST_F(RunControl, ARefusedStopEndsTheSlotAndGivesGoBack) {
    for (auto click : {Cmd_Go_Click, Cmd_Local_Encode_Click}) {
        fx.script->failAt.clear();
        dialogs->shown.clear();
        click(*f);
        settle();
        fx.script->failAt = {"stop"};
        click(*f);
        EXPECT_EQ(messages(), Strings{" The scripted call failed"});
        EXPECT_EQ(f->S.Local_Running, kFalse);
        EXPECT_EQ(text(f->Local_Status) + "|" + text(f->Cmd_Local_Encode) + "|" + text(f->Cmd_Go),
                  "Status:  Stopped |Encode|Go");
    }
}

// Each Encode button runs its slot alone on the whole stretch, leaving Go alone, and stops it
// again; a client's needs a computer. The load boxes hold what a user may leave there.
TEST_F(RunControl, EncodeButtonsRunOneSlotAlone) {
    auto& S = f->S;
    struct Case {
        void (*click)(Form1&);
        std::string* computer;
        const char* noComputer;
        std::int32_t *start, *end;
        const char* shown;  // its bounds, then the three load boxes while it runs
    } cases[] = {
        {Cmd_Local_Encode_Click, nullptr, nullptr, &S.Local_SegStart, &S.Local_SegEnd, "1000..11000 100|abc|"},
        {Cmd_Remote_Encode_Click, &S.Client1_Computer, "No Client Available", &S.Remote_SegStart, &S.Remote_SegEnd,
         "1000..10000 0|100|0"},
        {Cmd_Remote2_Encode_Click, &S.Client2_Computer, "No Client-2 Available", &S.Remote2_SegStart,
         &S.Remote2_SegEnd, "1000..11000 0|0|100"},
    };
    S.Mark_In = 1400;
    S.Mark_Out = 10600;
    const char* userLoads[] = {"40", "abc", ""};
    for (int slot = 0; slot < 3; ++slot) {
        SCOPED_TRACE(slot);
        const auto& c = cases[slot];
        const SlotNames s = slot_names(*f, slot);
        loads(userLoads[0], userLoads[1], userLoads[2]);
        dialogs->shown.clear();
        if (c.computer) {
            c.click(*f);
            EXPECT_EQ(messages(), Strings{c.noComputer});
            *c.computer = "NODE";
            dialogs->shown.clear();
        }
        c.click(*f);
        EXPECT_TRUE(dialogs->shown.empty());
        EXPECT_EQ(s.running, kTrue);
        EXPECT_EQ(std::to_string(*c.start) + ".." + std::to_string(*c.end) + " " + text(f->local_load) + "|" +
                      text(f->remote_load) + "|" + text(f->remote2_load),
                  c.shown);
        EXPECT_EQ(text(s.encode) + "|" + text(f->Cmd_Go), "Stop|Go");
        c.click(*f);
        EXPECT_EQ(s.stopped, kTrue);
        settle();
        EXPECT_EQ(text(s.status) + "|" + text(s.encode) + "|" + text(s.load),
                  std::string("Status:  Stopped |Encode|") + userLoads[slot]);  // its own load text back
    }
}

}  // namespace
}  // namespace shardex::testing

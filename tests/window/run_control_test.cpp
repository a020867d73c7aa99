// The load check, the split, Go/Stop and the Encode buttons, on a scripted encoder.
#include "app/colors.h"
#include "run/run_control.h"
#include "run_fixture.h"

namespace shardex::testing {
namespace {

using RunControl = WindowFixture;

struct Bounds {
    std::int32_t a, b, c, d, e, g;
};
Bounds bounds(const SessionState& S) {
    return {S.Local_SegStart, S.Local_SegEnd, S.Remote_SegStart, S.Remote_SegEnd, S.Remote2_SegStart, S.Remote2_SegEnd};
}
void expect_bounds(const SessionState& S, Bounds want) {
    auto got = bounds(S);
    EXPECT_EQ(got.a, want.a);
    EXPECT_EQ(got.b, want.b);
    EXPECT_EQ(got.c, want.c);
    EXPECT_EQ(got.d, want.d);
    EXPECT_EQ(got.e, want.e);
    EXPECT_EQ(got.g, want.g);
}

TEST_F(RunControl, SplitFollowsTheLoadsInWholeSeconds) {
    loads("40", "40", "20");
    Split_Segments(*f);
    EXPECT_EQ(f->S.Mark_Out, 123456);  // an unset mark-out becomes the source's end, and stays
    expect_bounds(f->S, {0, 49000, 49000, 98000, 98000, 123000});

    loads("50", "50", "0");
    Split_Segments(*f);
    expect_bounds(f->S, {0, 62000, 62000, 124000, 124000, 123000});  // Client 2's bounds run backwards

    loads("0", "50", "50");
    Split_Segments(*f);
    expect_bounds(f->S, {0, 0, 0, 62000, 62000, 123000});  // the Server gets an empty segment

    loads("100", "0", "0");
    f->S.Mark_In = 2500;
    Split_Segments(*f);
    EXPECT_EQ(f->S.Local_SegStart, 2000);  // a half second goes to the even second
    f->S.Mark_In = 3500;
    Split_Segments(*f);
    EXPECT_EQ(f->S.Local_SegStart, 4000);
}

TEST_F(RunControl, SplitCountsANonNumericClientLoadAsZero) {
    loads("100", "abc", "");
    Split_Segments(*f);
    expect_bounds(f->S, {0, 123000, 123000, 123000, 123000, 123000});
}

TEST_F(RunControl, CheckLoadsRefusesWrongSumsAndAcceptsOddButValidOnes) {
    const char* refused[][3] = {{"30", "30", "30"}, {"50", "50", ""}, {"50", "x", "50"}, {"32767", "32767", "-32734"}};
    for (auto& l : refused) {
        dialogs->shown.clear();
        loads(l[0], l[1], l[2]);
        EXPECT_EQ(Check_Loads(*f), 0) << l[0] << "," << l[1] << "," << l[2];
        EXPECT_EQ(messages(), std::vector<std::string>{"Incorrect Server/Client Load"});
    }
    const char* accepted[][3] = {{"-20", "60", "60"}, {" 40.5 ", "41.5", "18"}, {"100", "00", "0"}};
    for (auto& l : accepted) {
        loads(l[0], l[1], l[2]);
        EXPECT_EQ(Check_Loads(*f), 1) << l[0] << "," << l[1] << "," << l[2];
    }
    // An accepted check saves the texts, clears the stopped flags and resets the panels.
    f->S.Remote_Stopped = kTrue;
    f->Local_Status->setText(QStringLiteral("Status:  Stopped "));
    loads("-20", "60", "60");
    ASSERT_EQ(Check_Loads(*f), 1);
    EXPECT_EQ(f->S.Local_LoadText, "-20");
    EXPECT_EQ(f->S.Remote2_LoadText, "60");
    EXPECT_EQ(f->S.Remote_Stopped, kFalse);
    EXPECT_EQ(text(f->Local_Status), "Status:");

    // Without a source nothing is said.
    dialogs->shown.clear();
    f->CommonDialog1.FileName.clear();
    EXPECT_EQ(Check_Loads(*f), 0);
    EXPECT_TRUE(dialogs->shown.empty());
}

TEST_F(RunControl, GoStartsTheServerAndStopEndsIt) {
    Cmd_Go_Click(*f);
    ASSERT_EQ(fx.made.size(), 1u);
    EXPECT_EQ(text(f->Cmd_Go), "Stop");
    EXPECT_EQ(f->S.Local_Running, kTrue);
    EXPECT_EQ(f->S.Local_StartTicks, 1000);
    EXPECT_TRUE(timer_enabled(f->TimerLocal));
    EXPECT_EQ(f->S.Local_SegEnd, 123456);  // the split's 123 s, taken on to the source's end
    settle();
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Stop");  // the starting event
    EXPECT_EQ(fore_color(f->Local_Clock), kBrightGreen);

    f->local_load->setText(QStringLiteral("50"));  // a wrong sum: the stop is refused
    Cmd_Go_Click(*f);
    EXPECT_FALSE(fx.script->called("stop"));
    EXPECT_EQ(messages().back(), "Incorrect Server/Client Load");

    f->local_load->setText(QStringLiteral("100"));
    Cmd_Go_Click(*f);
    EXPECT_TRUE(fx.script->called("stop"));
    EXPECT_EQ(f->S.Local_Running, kFalse);
    EXPECT_EQ(f->S.Local_Stopped, kTrue);
    EXPECT_FALSE(timer_enabled(f->TimerLocal));
    EXPECT_EQ(text(f->Cmd_Go), "Stop");  // until the encoder reports its stop
    settle();
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    EXPECT_EQ(text(f->Cmd_Go), "Go");
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Encode");
    EXPECT_EQ(text(f->local_load), "100");
}

TEST_F(RunControl, ClientsAreStartedUnlessTheirLoadIsExactlyZero) {
    f->S.Client1_Computer = "PC1";
    loads("100", "00", "0");
    Cmd_Go_Click(*f);
    // Client 1 was set up (and, without client encoding in this build, failed visibly).
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].rfind("Remote Encoder: ", 0), 0u);
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
    EXPECT_EQ(f->S.Remote_SegStart, f->S.Remote_SegEnd);  // "00" gives an empty segment
    EXPECT_EQ(f->S.Remote2_Running, kFalse);
    EXPECT_EQ(text(f->Cmd_Go), "Stop");  // the Server still runs
}

TEST_F(RunControl, GoComesBackWhenNoJobReallyStarts) {
    // The Server's set-up fails and the only client has no computer.
    fx.script->failAt = {"prepare"};
    loads("0", "100", "0");
    Cmd_Go_Click(*f);
    EXPECT_EQ(messages(), std::vector<std::string>{" The scripted call failed"});
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    EXPECT_EQ(f->S.Remote_Running, kFalse);
    EXPECT_EQ(text(f->Cmd_Go), "Go");
}

TEST_F(RunControl, AClientWithoutComputerDoesNotHoldTheRunOpen) {
    loads("50", "50", "0");  // Client 1 has no computer
    Cmd_Go_Click(*f);
    EXPECT_EQ(text(f->Cmd_Go), "Stop");
    fx.last().finish();  // the Server reaches its mark-out
    settle();
    EXPECT_EQ(text(f->Cmd_Go), "Go");
}

TEST_F(RunControl, ARefusedStopEndsTheSlotAndGivesGoBack) {
    Cmd_Go_Click(*f);
    settle();
    fx.script->failAt = {"stop"};
    Cmd_Go_Click(*f);
    EXPECT_EQ(messages(), std::vector<std::string>{" The scripted call failed"});
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    EXPECT_EQ(text(f->Cmd_Go), "Go");
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Encode");

    // The same through the Server's own button.
    fx.script->failAt.clear();
    Cmd_Local_Encode_Click(*f);
    settle();
    fx.script->failAt = {"stop"};
    Cmd_Local_Encode_Click(*f);
    EXPECT_EQ(f->S.Local_Running, kFalse);
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Encode");
}

TEST_F(RunControl, EncodeButtonsRunOneSlotOnTheWholeStretch) {
    f->S.Mark_In = 1400;
    f->S.Mark_Out = 10600;
    loads("40", "30", "30");
    Cmd_Local_Encode_Click(*f);
    EXPECT_EQ(f->S.Local_SegStart, 1000);
    EXPECT_EQ(f->S.Local_SegEnd, 11000);
    EXPECT_EQ(text(f->local_load), "100");
    EXPECT_EQ(text(f->remote_load), "30");
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Stop");
    EXPECT_EQ(text(f->Cmd_Go), "Go");  // the button leaves Go alone

    // Stopping the Server alone.
    Cmd_Local_Encode_Click(*f);
    EXPECT_EQ(f->S.Local_Stopped, kTrue);
    settle();
    EXPECT_EQ(text(f->local_load), "40");  // its own load text comes back
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Encode");

    // Clients need a computer.
    Cmd_Remote_Encode_Click(*f);
    Cmd_Remote2_Encode_Click(*f);
    EXPECT_EQ(messages(), (std::vector<std::string>{"No Client Available", "No Client-2 Available"}));

    f->S.Client1_Computer = "PC1";
    f->S.Client2_Computer = "PC2";
    Cmd_Remote_Encode_Click(*f);
    EXPECT_EQ(f->S.Remote_SegStart, 1000);
    EXPECT_EQ(f->S.Remote_SegEnd, 10000);  // rounded start plus the length, rounded again
    EXPECT_EQ(text(f->local_load), "0");    // left as the button set it
    EXPECT_EQ(text(f->remote_load), "30");  // its own text restored by the completion
    Cmd_Remote2_Encode_Click(*f);
    EXPECT_EQ(f->S.Remote2_SegStart, 1000);
    EXPECT_EQ(f->S.Remote2_SegEnd, 11000);
    EXPECT_EQ(text(f->remote_load), "0");
}

TEST_F(RunControl, ServerEncodeWithNonNumericClientLoadRuns) {
    loads("40", "abc", "");
    Cmd_Local_Encode_Click(*f);
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(f->S.Local_Running, kTrue);
    EXPECT_EQ(f->S.Local_SegEnd, 123456);
}

TEST_F(RunControl, NothingHappensWithoutASource) {
    f->CommonDialog1.FileName.clear();
    Cmd_Go_Click(*f);
    Cmd_Local_Encode_Click(*f);
    EXPECT_TRUE(fx.made.empty());
    EXPECT_TRUE(dialogs->shown.empty());
}

}  // namespace
}  // namespace shardex::testing

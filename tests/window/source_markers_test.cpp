// Trim markers: their captions and colours, the mark-out guard, a mark-out placed before the
// mark-in, and clearing.
#include <gtest/gtest.h>

#include <QLabel>
#include <QSlider>

#include "source_fixture.h"

namespace shardex::testing {
namespace {

class Markers : public ::testing::Test {
protected:
    void SetUp() override { g = w.source(400.0); }
    void markInAt(double s) {
        g->position = s;
        Cmd_MarkIn_Click(w.f());
    }
    void markOutAt(double s) {
        g->position = s;
        Cmd_MarkOut_Click(w.f());
    }
    SourceWindow w;
    std::shared_ptr<FakeGraph> g;
    Form1& f = w.f();
};

TEST_F(Markers, MarkInTakesThePositionAndTheEnd) {
    markInAt(65.4);
    EXPECT_EQ(f.S.Mark_In, 65400);
    EXPECT_EQ(f.S.Mark_Out, 400000);
    EXPECT_EQ(text(f.Label_MarkIn), "In: 0:01:05");
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:06:40");
    EXPECT_EQ(text(f.Label_Edit_Length), "Len: 0:05:35");  // 334.6 s
    EXPECT_EQ(back_color(f.Label_MarkIn), kLightYellow);
    EXPECT_EQ(back_color(f.Label_Edit_Length), kLightYellow);
    EXPECT_EQ(back_color(f.Label_MarkOut), kButtonFace);

    markOutAt(200.0);
    EXPECT_EQ(f.S.Mark_Out, 200000);
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:03:20");
    EXPECT_EQ(text(f.Label_Edit_Length), "Len: 0:02:15");  // 134.6 s
    EXPECT_EQ(back_color(f.Label_MarkOut), kLightYellow);
}

TEST_F(Markers, MarkInAfterTheMarkOutMovesTheMarkOutToTheEnd) {
    markInAt(10.0);
    markOutAt(50.0);
    markInAt(100.0);
    EXPECT_EQ(f.S.Mark_In, 100000);
    EXPECT_EQ(f.S.Mark_Out, 400000);
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:06:40");
    EXPECT_EQ(text(f.Label_Edit_Length), "Len: 0:05:00");
    // Equal markers stay as they are.
    markOutAt(150.0);
    markInAt(150.0);
    EXPECT_EQ(f.S.Mark_Out, 150000);
    EXPECT_EQ(text(f.Label_Edit_Length), "Len: 0:00:00");
}

TEST_F(Markers, MarkOutBeforeTheMarkInSwapsThem) {
    markInAt(100.0);
    markOutAt(40.0);
    EXPECT_EQ(f.S.Mark_In, 40000);
    EXPECT_EQ(f.S.Mark_Out, 100000);
    EXPECT_EQ(text(f.Label_MarkIn), "In: 0:00:40");
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:01:40");
    EXPECT_EQ(text(f.Label_Edit_Length), "Len: 0:01:00");
    EXPECT_EQ(back_color(f.Label_MarkIn), kLightYellow);
    EXPECT_EQ(back_color(f.Label_MarkOut), kLightYellow);
    // The stretch never runs backwards, whatever the order of presses.
    for (double p : {20.0, 300.0, 5.0, 0.0}) {
        markOutAt(p);
        EXPECT_LE(f.S.Mark_In, f.S.Mark_Out) << p;
    }
}

TEST_F(Markers, MarkOutWaitsForAMarkInOtherThanTheStart) {
    markOutAt(50.0);
    EXPECT_EQ(f.S.Mark_Out, 0);
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:06:40");
    markInAt(0.0);
    EXPECT_EQ(f.S.Mark_In, 0);
    markOutAt(50.0);
    EXPECT_EQ(f.S.Mark_Out, 400000);
    EXPECT_EQ(back_color(f.Label_MarkOut), kButtonFace);
    markInAt(20.0);
    markOutAt(50.0);
    EXPECT_EQ(f.S.Mark_Out, 50000);
}

TEST_F(Markers, ClearPutsEverythingBackToTheWholeSource) {
    markInAt(30.0);
    markOutAt(90.0);
    g->position = 90.0;
    Timer_Playback_Timer(f);
    set_fore_color(f.Playback_Counter, kGreen);
    Cmd_Clear_Click(f);
    EXPECT_EQ(f.S.Mark_In, 0);
    EXPECT_EQ(f.S.Mark_Out, 0);
    EXPECT_EQ(g->position, 0.0);
    EXPECT_EQ(f.Slider->value(), 0);
    EXPECT_EQ(text(f.Label_MarkIn), "In: 0:00:00");
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:06:40");
    EXPECT_EQ(text(f.Label_Edit_Length), "Len: 0:06:40");
    for (QLabel* l : {f.Label_MarkIn, f.Label_MarkOut, f.Label_Edit_Length}) EXPECT_EQ(back_color(l), kButtonFace);
    EXPECT_EQ(text(f.Playback_Counter), "0:00:00");
    EXPECT_EQ(back_color(f.Playback_Counter), kBlack);
    EXPECT_EQ(fore_color(f.Playback_Counter), kBrightGreen);
    // After clearing, Mark Out waits for a mark-in again.
    markOutAt(70.0);
    EXPECT_EQ(f.S.Mark_Out, 0);
}

TEST_F(Markers, APositionThatCannotBeReadMarksNothing) {
    markInAt(30.0);
    g->positionFails = true;
    Cmd_MarkIn_Click(f);
    Cmd_MarkOut_Click(f);
    EXPECT_EQ(f.S.Mark_In, 30000);
    EXPECT_EQ(f.S.Mark_Out, 400000);
    EXPECT_EQ(text(f.Label_MarkIn), "In: 0:00:30");
}

TEST(MarkersWithoutSource, DoNothing) {
    SourceWindow w;
    Cmd_MarkIn_Click(w.f());
    Cmd_MarkOut_Click(w.f());
    Cmd_Clear_Click(w.f());
    EXPECT_EQ(w.f().S.Mark_In, 0);
    EXPECT_EQ(w.f().S.Mark_Out, 0);
    EXPECT_EQ(text(w.f().Label_MarkOut), "Out: 0:00:00");
    EXPECT_EQ(text(w.f().Playback_Counter), "0:00:00");
}

}  // namespace
}  // namespace shardex::testing

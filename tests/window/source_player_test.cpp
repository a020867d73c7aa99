// The preview player: jumps, the counter and slider, play and stop, the Preview check box,
// and a graph that stops answering.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <QTimer>

#include "source_fixture.h"
#include "support/qt_wait.h"

namespace shardex::testing {
namespace {

TEST(PreviewPlayer, JumpsStayWithinTheSource) {
    SourceWindow w;
    Form1& f = w.f();
    auto g = w.source(400.0);
    struct Jump {
        double from;
        void (*click)(Form1&);
        double to;
        const char* counter;
    };
    const Jump jumps[] = {
        {15.0, Cmd_Backward_Click, 0.0, "0:00:00"},    // never before the start
        {40.0, Cmd_Backward_Click, 20.0, "0:00:20"},
        {100.0, Cmd_Forward_Click, 120.0, "0:02:00"},
        {390.0, Cmd_Forward_Click, 400.0, "0:06:40"},  // 10 s left: exactly the end
        {380.0, Cmd_Forward_Click, 400.0, "0:06:40"},  // exactly 20 s left: p + 20, the end as well
    };
    for (const Jump& j : jumps) {
        SCOPED_TRACE(j.from);
        g->position = j.from;
        g->seeks.clear();
        j.click(f);
        EXPECT_EQ(g->seeks, std::vector<double>{j.to});
        EXPECT_EQ(text(f.Playback_Counter), j.counter);
        EXPECT_EQ(f.Slider->value(), static_cast<int>(j.to / 10.0));
    }
    EXPECT_TRUE(g->playing);
}

TEST(PreviewPlayer, SliderFollowsThePositionAndSeeksOnTheUsersMoves) {
    SourceWindow w;
    Form1& f = w.f();
    auto g = w.source(400.0);
    ASSERT_EQ(f.Slider->maximum(), 40);
    // Halves round to even: 12.5 -> 12, 13.5 -> 14.
    g->position = 125.0;
    Timer_Playback_Timer(f);
    EXPECT_EQ(f.Slider->value(), 12);
    EXPECT_EQ(text(f.Playback_Counter), "0:02:05");
    g->position = 135.0;
    Timer_Playback_Timer(f);
    EXPECT_EQ(f.Slider->value(), 14);

    g->seeks.clear();
    f.Slider->setValue(10);
    Slider_Scroll(f);
    f.Slider->setValue(40);
    Slider_Scroll(f);
    EXPECT_EQ(g->seeks, (std::vector<double>{100.0, 400.0}));

    // Through the window: a user's step seeks, the tick's writes do not.
    g->seeks.clear();
    g->position = 0.0;
    Timer_Playback_Timer(f);
    pump_events(50);
    EXPECT_TRUE(g->seeks.empty());
    f.Slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    ASSERT_TRUE(wait_until([&] { return !g->seeks.empty(); }, 2000));
    EXPECT_EQ(g->seeks, std::vector<double>{10.0});

    // The timer drives the counter while the preview plays.
    g->position = 61.0;
    ASSERT_TRUE(wait_until([&] { return text(f.Playback_Counter) == "0:01:01"; }, 2000));
}

TEST(PreviewPlayer, PlayAndStopKeepTheirStateThroughJumps) {
    SourceWindow w;
    Form1& f = w.f();
    auto g = w.source(400.0);
    Cmd_Stop_Click(f);
    EXPECT_FALSE(g->playing);
    EXPECT_FALSE(timer_enabled(f.Timer_Playback));
    EXPECT_EQ(fore_color(f.Playback_Counter), kGreen);

    // Stopped, a jump moves counter and slider at once and the preview stays stopped.
    g->position = 50.0;
    Cmd_Forward_Click(f);
    EXPECT_EQ(g->position, 70.0);
    EXPECT_EQ(text(f.Playback_Counter), "0:01:10");
    EXPECT_EQ(f.Slider->value(), 7);
    EXPECT_FALSE(g->playing);
    EXPECT_FALSE(timer_enabled(f.Timer_Playback));

    Cmd_Play_Click(f);
    EXPECT_TRUE(g->playing);
    EXPECT_TRUE(timer_enabled(f.Timer_Playback));
    EXPECT_EQ(f.Timer_Playback->interval(), 200);
    EXPECT_EQ(fore_color(f.Playback_Counter), kBrightGreen);
}

TEST(PreviewPlayer, PreviewCheckBoxWorksWithoutASource) {
    SourceWindow w;
    Form1& f = w.f();
    ASSERT_EQ(f.S.Post_View, kTrue);
    f.CheckBox_PostView->click();
    EXPECT_EQ(f.S.Post_View, kFalse);
    f.CheckBox_PostView->click();
    EXPECT_EQ(f.S.Post_View, kTrue);
    // A third state (neither checked nor cleared) leaves the flag alone.
    f.CheckBox_PostView->setTristate(true);
    f.CheckBox_PostView->setCheckState(Qt::PartiallyChecked);
    CheckBox_PostView_Click(f);
    EXPECT_EQ(f.S.Post_View, kTrue);
}

TEST(PreviewPlayer, NothingHappensWithoutASource) {
    SourceWindow w;
    Form1& f = w.f();
    Cmd_Play_Click(f);
    Cmd_Stop_Click(f);
    Cmd_Forward_Click(f);
    Cmd_Backward_Click(f);
    SeekPosition(f, 20.0);
    Timer_Playback_Timer(f);
    f.Slider->setValue(5);
    Slider_Scroll(f);
    EXPECT_FALSE(timer_enabled(f.Timer_Playback));
    EXPECT_EQ(text(f.Playback_Counter), "0:00:00");
    EXPECT_TRUE(w.made.empty());
}

TEST(PreviewPlayer, AGraphThatStopsAnsweringLeavesThePlayerAsItWas) {
    SourceWindow w;
    Form1& f = w.f();
    auto g = w.source(400.0);
    g->position = 100.0;
    Timer_Playback_Timer(f);
    ASSERT_EQ(f.Slider->value(), 10);

    g->positionFails = true;
    Cmd_Forward_Click(f);
    Cmd_Backward_Click(f);
    Timer_Playback_Timer(f);
    f.Slider->setValue(30);
    Slider_Scroll(f);
    EXPECT_EQ(text(f.Playback_Counter), "0:01:40");
    EXPECT_EQ(g->position, 100.0);

    // A length that reads 0 moves the counter but never the slider (no division by 0).
    g->positionFails = false;
    g->length = 0.0;
    g->position = 5.0;
    f.Slider->setValue(30);
    Timer_Playback_Timer(f);
    EXPECT_EQ(text(f.Playback_Counter), "0:00:05");
    EXPECT_EQ(f.Slider->value(), 30);

    // Play refused by the graph: the player stays stopped.
    Cmd_Stop_Click(f);
    g->controlFails = true;
    Cmd_Play_Click(f);
    EXPECT_FALSE(timer_enabled(f.Timer_Playback));
    EXPECT_EQ(fore_color(f.Playback_Counter), kGreen);
}

}  // namespace
}  // namespace shardex::testing

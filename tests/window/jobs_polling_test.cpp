// The panels' figures on each tick, from scripted statistics.
#include "jobs/polling.h"
#include "run_fixture.h"

namespace shardex::testing {
namespace {

class Polling : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        enc = std::make_shared<FakeEncoder>(fx.script);
        auto& S = f->S;
        S.Local_Encoder = S.Remote_Encoder = S.Remote2_Encoder = enc;
        S.Local_SegLength = S.Remote_SegLength = S.Remote2_SegLength = 600000;
        S.Local_StartTicks = S.Remote_StartTicks = S.Remote2_StartTicks = 1000;
        S.Remote_Running = S.Remote2_Running = kTrue;
        worked_example();
    }
    void worked_example() {
        fx.script->bytes = 7340032;
        fx.script->mediaMs = 150000;
        fx.script->bitrate = 391300;
        ticks = 1000 + 90000;
    }
    struct Panel {
        QLabel *size, *media, *rate, *clock, *speed, *status;
        QProgressBar* bar;
    };
    Panel server() { return {f->Label1, f->Label2, f->Label3, f->Local_Clock, f->Label8, f->Local_Status, f->ProgressBar_Local}; }
    Panel client1() { return {f->Label4, f->Label5, f->Label7, f->Remote_Clock, f->Label6, f->Remote_Status, f->ProgressBar_Remote}; }
    Panel client2() {
        return {f->Label17, f->Label16, f->Label15, f->Remote2_Clock, f->Label11, f->Remote2_Status, f->ProgressBar_Remote2};
    }
    std::shared_ptr<FakeEncoder> enc;
};

TEST_F(Polling, WorkedExampleOnEverySlot) {
    TimerLocal_Timer(*f);
    TimerRemote_Timer(*f);
    TimerRemote2_Timer(*f);
    for (auto [p, status] : {std::pair{server(), "Status:  Encoding  25 %"}, std::pair{client1(), "Status:  Encoding 25 %"},
                             std::pair{client2(), "Status:  Encoding 25 %"}}) {
        SCOPED_TRACE(status);
        EXPECT_EQ(text(p.size), "Size:     7,168 KB");
        EXPECT_EQ(text(p.media), "0:02:30 /0:10:00");
        EXPECT_EQ(text(p.rate), "Bit rate: 391 Kb");
        EXPECT_EQ(text(p.clock), "0:01:30");
        EXPECT_EQ(text(p.speed), "Speed:  1.7x");
        EXPECT_EQ(p.bar->value(), 25);
        EXPECT_EQ(text(p.status), status);
    }
    EXPECT_EQ(f->S.Local_NowTicks, 91000);
}

TEST_F(Polling, FirstTickAndRoundings) {
    fx.script->bytes = 0;
    fx.script->mediaMs = 0;
    fx.script->bitrate = 0;
    TimerLocal_Timer(*f);
    TimerRemote_Timer(*f);
    EXPECT_EQ(text(f->Label1), "Size:      KB");
    EXPECT_EQ(text(f->Label2), "0:00:00 /0:10:00");
    EXPECT_EQ(text(f->Label8), "Speed:  0.0x");
    EXPECT_EQ(text(f->Label6), "Speed:  0.x");
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  0 %");
    EXPECT_EQ(f->ProgressBar_Local->value(), 0);

    // 12.5 % and 13.5 % go to the even neighbour; 2.5 KB rounds away from zero; speed 3.
    fx.script->mediaMs = 75000;  // 12.5 % of 600 s
    fx.script->bytes = 2560;
    ticks = 1000 + 25000;
    TimerLocal_Timer(*f);
    TimerRemote_Timer(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  12 %");
    EXPECT_EQ(text(f->Label1), "Size:     3 KB");
    EXPECT_EQ(text(f->Label8), "Speed:  3.0x");
    EXPECT_EQ(text(f->Label6), "Speed:  3.x");
    fx.script->mediaMs = 81000;  // 13.5 %
    TimerLocal_Timer(*f);
    EXPECT_EQ(f->ProgressBar_Local->value(), 14);

    // Beyond the segment: held at 100.
    fx.script->mediaMs = 612000;
    TimerLocal_Timer(*f);
    EXPECT_EQ(f->ProgressBar_Local->value(), 100);
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  100 %");
}

TEST_F(Polling, AClientsFinalTickLeavesTheStatusToItsCompletion) {
    f->Remote_Status->setText(QStringLiteral("Status:  Encoding 24 %"));
    f->S.Remote_Running = kFalse;
    TimerRemote_Timer(*f);
    EXPECT_EQ(f->ProgressBar_Remote->value(), 0);
    EXPECT_EQ(text(f->Remote_Status), "Status:  Encoding 24 %");
    EXPECT_EQ(text(f->Label4), "Size:     7,168 KB");  // the rest is refreshed
}

TEST_F(Polling, FailingStatisticsKeepTheLastFigures) {
    TimerLocal_Timer(*f);
    TimerRemote_Timer(*f);
    for (const char* call : {"statistics", "archiveFileSize", "outputBitrate"}) {
        SCOPED_TRACE(call);
        fx.script->failAt = {call};
        fx.script->mediaMs = 300000;
        ticks += 500;
        TimerLocal_Timer(*f);
        TimerRemote_Timer(*f);
        EXPECT_EQ(text(f->Label2), "0:02:30 /0:10:00");
        EXPECT_EQ(text(f->Local_Clock), "0:01:30");
        EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  25 %");
        EXPECT_EQ(text(f->Remote_Status), "Status:  Encoding 25 %");
    }
    f->S.Local_Encoder.reset();  // no encoder at all
    TimerLocal_Timer(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  25 %");
}

TEST_F(Polling, UndefinedFiguresAreShownAsZero) {
    // An empty segment, a tick at the start tick, a bit rate beyond 16 bits of kilobits.
    f->S.Local_SegLength = 0;
    f->S.Remote_SegLength = 0;
    ticks = 1000;
    fx.script->bitrate = 40000000;
    TimerLocal_Timer(*f);
    TimerRemote_Timer(*f);
    EXPECT_EQ(text(f->Label2), "0:02:30 /0:00:00");
    EXPECT_EQ(text(f->Label8), "Speed:  0.0x");
    EXPECT_EQ(text(f->Label6), "Speed:  0.x");
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  0 %");
    EXPECT_EQ(text(f->Remote_Status), "Status:  Encoding 0 %");
    EXPECT_EQ(text(f->Label3), "Bit rate: 40000 Kb");

    // A tick counter that wraps during the job still gives the real elapsed time.
    f->S.Local_SegLength = 600000;
    f->S.Local_StartTicks = static_cast<std::int32_t>(0xFFFFF000u);  // 4096 ms before the wrap
    ticks = 85904;                                                    // 90 s after the start
    TimerLocal_Timer(*f);
    EXPECT_EQ(text(f->Local_Clock), "0:01:30");
    EXPECT_EQ(text(f->Label8), "Speed:  1.7x");
}

}  // namespace
}  // namespace shardex::testing

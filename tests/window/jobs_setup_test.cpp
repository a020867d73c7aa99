// The Server's job set-up on a scripted encoder.
#include "app/video_frame_widget.h"
#include "jobs/job_setup.h"
#include "jobs/local_job.h"
#include "run_fixture.h"

namespace shardex::testing {
namespace {

class ServerJob : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        f->S.Local_SegStart = 2000;
        f->S.Local_SegEnd = 125000;  // beyond the source's 123,456 ms
        f->S.Local_Running = kTrue;
        f->S.Local_LoadText = "100";
    }
};

TEST_F(ServerJob, ConfiguresAFreshEncoderAndStartsIt) {
    f->S.Two_Pass = 1;
    Start_Local_Job(*f);
    ASSERT_TRUE(dialogs->shown.empty()) << dialogs->shown[0].text;
    auto& enc = fx.last();
    EXPECT_EQ(f->S.Local_Encoder.get(), &enc);
    EXPECT_EQ(enc.group().name(), "SG_1");
    EXPECT_EQ(enc.video().type(), encoder::kSourceVideo);
    EXPECT_EQ(enc.audio().type(), encoder::kSourceAudio);
    EXPECT_EQ(enc.video().input(), "/videos/clip.avi");
    EXPECT_EQ(enc.audio().input(), "/videos/clip.avi");
    EXPECT_EQ(enc.outputPath, home.path().toStdString() + "/Shardex/clip_SX.wmv");
    EXPECT_EQ(enc.title(), "Shardex demo");
    EXPECT_EQ(enc.author(), "");
    EXPECT_FALSE(enc.copyright().empty());
    ASSERT_TRUE(enc.group().profile());
    EXPECT_EQ(enc.group().profile()->name(), "Windows Media Video 8 for Local Area Network (768 Kbps)");
    EXPECT_EQ(enc.video().preProcessPass(), 1);  // two-pass: the video source only
    EXPECT_EQ(enc.audio().preProcessPass(), 0);

    // The segment end is lowered to the source's length before the marks are set.
    EXPECT_EQ(f->S.Local_SegEnd, 123456);
    EXPECT_EQ(f->S.Local_SegLength, 121456);
    EXPECT_EQ(enc.video().markIn(), 2000);
    EXPECT_EQ(enc.video().markOut(), 123456);
    EXPECT_EQ(enc.audio().markIn(), 2000);
    EXPECT_EQ(enc.audio().markOut(), 123456);

    // The preview: a data view that draws into the video frame, started after prepare.
    ASSERT_EQ(fx.views.size(), 1u);
    EXPECT_EQ(fx.views[0]->window, f->Frame_Video->hWnd());
    EXPECT_EQ(fx.views[0]->cookie, 7);
    auto& calls = fx.script->calls;
    auto at = [&](const std::string& c) { return std::find(calls.begin(), calls.end(), c) - calls.begin(); };
    EXPECT_LT(at("addDataView"), at("prepare"));
    EXPECT_LT(at("prepare"), at("startView"));
    EXPECT_LT(at("setMarkOut 1"), at("start"));

    EXPECT_EQ(text(f->TextBox_LocalFile), "clip_SX.wmv");
    EXPECT_TRUE(timer_enabled(f->TimerLocal));
    EXPECT_EQ(f->S.Local_Running, kTrue);  // left to the caller
}

TEST_F(ServerJob, WithoutPreviewOrMatchingProfileNeitherIsSet) {
    f->S.Post_View = kFalse;
    f->Combo_Profile->setEditText(QStringLiteral("windows media video 8 for local area network (768 kbps)"));
    Start_Local_Job(*f);
    EXPECT_TRUE(fx.views.empty());
    EXPECT_FALSE(fx.last().group().profile());
    EXPECT_TRUE(timer_enabled(f->TimerLocal));
    EXPECT_EQ(fx.last().video().preProcessPass(), 0);
}

TEST_F(ServerJob, AnyFailingStepEndsAsStopped) {
    for (const char* step : {"createEncoder", "add SG_1", "setInput 2", "setLocalFileName", "setProfile "
                             "Windows Media Video 8 for Local Area Network (768 Kbps)", "prepare", "startView",
                             "duration", "setMarkOut 1", "start"}) {
        SCOPED_TRACE(step);
        dialogs->shown.clear();
        fx.script->failAt = {step};
        f->S.Local_Running = kTrue;
        f->S.Local_Stopped = kFalse;
        f->Cmd_Local_Encode->setText(QStringLiteral("Stop"));
        Start_Local_Job(*f);
        EXPECT_EQ(messages(), std::vector<std::string>{" The scripted call failed"});
        EXPECT_EQ(f->S.Local_Running, kFalse);
        EXPECT_EQ(f->S.Local_Stopped, kTrue);
        EXPECT_FALSE(timer_enabled(f->TimerLocal));
        EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
        EXPECT_EQ(text(f->Cmd_Local_Encode), "Encode");
        EXPECT_EQ(text(f->local_load), "100");
    }
}

TEST_F(ServerJob, EventsOfAReplacedEncoderAreDropped) {
    Start_Local_Job(*f);
    auto first = fx.made.back();
    Start_Local_Job(*f);  // a second job gets a fresh encoder
    ASSERT_EQ(fx.made.size(), 2u);
    EXPECT_NE(fx.made[0], fx.made[1]);
    settle();
    f->Local_Status->setText(QStringLiteral("Status:  Encoding  3 %"));
    first->finish();
    settle();
    EXPECT_EQ(text(f->Local_Status), "Status:  Encoding  3 %");
    EXPECT_TRUE(timer_enabled(f->TimerLocal));
}

TEST_F(ServerJob, TheSegmentThatEndsTheStretchReachesTheSourcesEnd) {
    // The split cuts in whole seconds: without an Out marker, the segment that ends the run
    // (the first whose end is the last cut) runs on to the source's real end, and every
    // segment is told the stretch, -1 for "to the source's end".
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
        f->S.Local_SegEnd = c.localEnd;
        f->S.Remote_SegStart = c.localEnd;
        f->S.Remote_SegEnd = c.remoteEnd;
        f->S.Remote2_SegStart = c.remoteEnd;
        f->S.Remote2_SegEnd = c.remote2End;
        f->S.Mark_Out = c.markOut;
        f->S.Movie_Length = 123456;
        Start_Local_Job(*f);
        auto& enc = fx.last();
        EXPECT_EQ(f->S.Local_SegEnd, c.end);
        EXPECT_EQ(enc.audio().markOut(), c.end);
        EXPECT_EQ(enc.video().stretchStart(), 2000);
        EXPECT_EQ(enc.audio().stretchEnd(), c.stretchEnd);
    }
    // Client 2's segment is empty: Client 1's ends the run, and only it.
    f->S.Remote_SegEnd = f->S.Remote2_SegStart = f->S.Remote2_SegEnd = 123000;
    EXPECT_EQ(run_stretch(f->S).endingSlot, 1);
}

}  // namespace
}  // namespace shardex::testing

// The encoders' events and the end of each slot's job.
#include "app/colors.h"
#include "app/video_frame_widget.h"
#include "jobs/completion.h"
#include "jobs/local_job.h"
#include "jobs/slots.h"
#include "run/run_control.h"
#include "run_fixture.h"

namespace shardex::testing {
namespace {

class RecordingWindow : public media::VideoWindow {
public:
    void setWindowStyle(std::int32_t) override {}
    void setOwner(WindowHandle w) override { owners.push_back(w); }
    void setTop(std::int32_t) override {}
    void setLeft(std::int32_t) override {}
    void setWidth(std::int32_t) override {}
    void setHeight(std::int32_t) override {}
    std::vector<WindowHandle> owners;
};

class Completion : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        auto& S = f->S;
        S.Movie_Length = 100000;
        S.Source_SizeKB = 50000;
        S.Local_SegLength = 40000;   // stands for 20,000 KB of source
        S.Remote_SegLength = 20000;  // 10,000 KB
        S.Local_LoadText = "40";
        S.Remote_LoadText = "60";
        f->local_load->setText(QStringLiteral("100"));
    }
};

TEST_F(Completion, SuccessShowsTheRatioOfTheSegmentsShare) {
    write_output("clip_SX.wmv", 1600 * 1024);  // 1,600 KB
    write_output("clip_SX1.wmv", 1600 * 1024);
    f->S.Remote_Running = kTrue;
    f->Cmd_Go->setText(QStringLiteral("Stop"));
    f->ProgressBar_Local->setValue(100);
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Success 12.5 to 1");
    EXPECT_EQ(back_color(f->Local_Status), kLightYellow);
    EXPECT_EQ(f->ProgressBar_Local->value(), 0);
    EXPECT_EQ(text(f->local_load), "40");
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Encode");
    EXPECT_EQ(text(f->Cmd_Go), "Stop");  // Client 1 still runs

    f->S.Remote_Running = kFalse;
    Finish_Remote_Job(*f);
    EXPECT_EQ(text(f->Remote_Status), "Status:  Success 6.3 to 1");  // same size, half the share
    EXPECT_EQ(text(f->remote_load), "60");
    EXPECT_EQ(text(f->Cmd_Go), "Go");

    // A ratio below 1 has no leading zero.
    write_output("clip_SX.wmv", 40000 * 1024);
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Success .5 to 1");
}

TEST_F(Completion, UndefinedRatiosAreLeftOutAndMissingOutputIsNoSuccess) {
    Finish_Local_Job(*f);  // no file at all
    EXPECT_EQ(text(f->Local_Status), "Status:  Failed - no output file ");
    EXPECT_EQ(back_color(f->Local_Status), kButtonFace);

    write_output("clip_SX.wmv", 0);
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Failed - no output file ");

    write_output("clip_SX.wmv", 400);  // rounds to 0 KB
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Success ");

    write_output("clip_SX.wmv", 4096);
    f->S.Movie_Length = 0;
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Success ");
    EXPECT_EQ(back_color(f->Local_Status), kLightYellow);

    f->S.Movie_Length = 100000;
    f->S.Local_SegLength = 0;  // an empty segment
    Finish_Local_Job(*f);
    EXPECT_EQ(text(f->Local_Status), "Status:  Success ");
}

TEST_F(Completion, StoppedJobAndThePreviewPictureComingBack) {
    f->S.Local_Stopped = kTrue;
    write_output("clip_SX.wmv", 4096);
    Finish_Local_Job(*f);  // without a preview window: nothing to give back
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");

    auto window = std::make_shared<RecordingWindow>();
    f->S.Media_Window = window;
    Finish_Local_Job(*f);
    EXPECT_EQ(window->owners, std::vector<WindowHandle>{f->Frame_Video->hWnd()});
}

TEST_F(Completion, StateEventsOfTheServersEncoder) {
    f->S.Local_SegStart = 0;
    f->S.Local_SegEnd = 40000;
    f->S.Local_Running = kTrue;
    Start_Local_Job(*f);
    auto& enc = fx.last();
    settle();
    EXPECT_EQ(text(f->Cmd_Local_Encode), "Stop");
    EXPECT_EQ(fore_color(f->Local_Clock), kBrightGreen);
    EXPECT_EQ(back_color(f->Local_Clock), kBlack);

    enc.report(encoder::kStatePaused);
    settle();
    EXPECT_EQ(text(f->TextBox_LocalFile), "clip_SX.wmv  (Pause)");

    write_output("clip_SX.wmv", 1600 * 1024);
    fx.script->mediaMs = 40000;
    fx.script->bytes = 1600 * 1024;
    enc.finish();
    settle();
    EXPECT_FALSE(timer_enabled(f->TimerLocal));
    EXPECT_EQ(f->S.Local_Running, kFalse);
    EXPECT_EQ(fore_color(f->Local_Clock), kGreen);
    EXPECT_EQ(text(f->Label2), "0:00:40 /0:00:40");  // the final figures
    EXPECT_EQ(text(f->Local_Status), "Status:  Success 12.5 to 1");
    EXPECT_EQ(text(f->Cmd_Go), "Go");
}

// The code as designed; where the output could not be written (a full disk), the reason
// follows, naming this computer, since a code alone does not tell the user to free room.
TEST_F(Completion, AnEncoderErrorIsShownAndTheJobEndsAsStopped) {
    struct Case {
        std::uint32_t code;
        const char* description;
        const char* message;
    } cases[] = {
        {0xC00D1B66u, "", "Local Encoder Error: -1072882842"},
        {0xC00D0003u, "encoding the video failed: Invalid argument", "Local Encoder Error: -1072889853"},
        {0xC00D0004u, "the disk is full: cannot write output file 'x': No space left on device",
         "Local Encoder Error: -1072889852\n"
         "SRV: the disk is full: cannot write output file 'x': No space left on device"},
        {0xC00D0005u, "cannot create output file 'x': Permission denied",
         "Local Encoder Error: -1072889851\nSRV: cannot create output file 'x': Permission denied"},
    };
    f->S.Server_Computer = "SRV";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        dialogs->shown.clear();
        f->S.Local_SegEnd = 40000;
        f->S.Local_Running = kTrue;
        f->S.Local_Stopped = kFalse;
        Start_Local_Job(*f);
        write_output("clip_SX.wmv", 1600 * 1024);
        fx.last().reportError(static_cast<std::int32_t>(c.code), c.description);
        fx.last().finish();
        settle();
        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    }
}

TEST_F(Completion, ClientEventsStartAndEndTheirSlot) {
    auto enc = std::make_shared<FakeEncoder>(fx.script);
    f->S.Remote_Encoder = enc;
    bind_encoder_events(*f, SlotId::Client1, enc);
    f->S.Remote_Running = kTrue;
    f->S.Remote_Stopped = kTrue;
    enc->report(encoder::kStateStarting);
    settle();
    EXPECT_EQ(text(f->Cmd_Remote_Encode), "Stop");
    EXPECT_EQ(fore_color(f->Remote_Clock), kBrightGreen);
    enc->finish();
    settle();
    EXPECT_EQ(f->S.Remote_Running, kFalse);
    EXPECT_EQ(text(f->Remote_Status), "Status:  Stopped ");
    EXPECT_EQ(text(f->Cmd_Remote_Encode), "Encode");
    EXPECT_EQ(text(f->remote_load), "60");
}

}  // namespace
}  // namespace shardex::testing

// The source routines on the real libmpv graph and generated clips: choosing a clip,
// jumps and stop, a file that is not media, and the picture reaching the picture box.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>

#include "app/video_frame_widget.h"
#include "platform/media/factory.h"
#include "source_fixture.h"
#include "support/qt_wait.h"

namespace shardex::testing {
namespace {

class RealPlayer : public ::testing::Test {
protected:
    explicit RealPlayer(std::string videoOutput = "null") {
        Services s;
        s.dialogs = dialogs;
        s.createGraph = [videoOutput]() -> std::shared_ptr<media::FilterGraph> {
            media::GraphOptions o;
            o.videoOutput = videoOutput;
            o.audioOutput = "null";
            return media::create_filter_graph(o);
        };
        form = std::make_unique<Form1>(std::move(s));
    }
    void choose(const std::string& path) {
        dialogs->nextOpenPath = path;
        Cmd_File_Click(*form);
    }
    double position() { return form->S.Media_Position->currentPosition(); }

    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    TempMediaDir dir;
    std::unique_ptr<Form1> form;
};

TEST_F(RealPlayer, ChoosesAClipAndJumpsThroughIt) {
    Form1& f = *form;
    const std::string path = dir.clip("clip.avi", 30, "352x288");
    choose(path);
    ASSERT_TRUE(dialogs->shown.empty()) << dialogs->shown[0].text;
    EXPECT_EQ(text(f.Label_Dimension), "Frame: 352 x 288");
    EXPECT_EQ(text(f.Label_Length), "Movie Length: 0:00:30");
    EXPECT_NEAR(f.S.Movie_Length, 30000, 40);
    EXPECT_TRUE(timer_enabled(f.Timer_Playback));

    Cmd_Stop_Click(f);
    const double stoppedAt = position();
    Cmd_Forward_Click(f);
    EXPECT_NEAR(position(), stoppedAt + 20.0, 1e-3);
    EXPECT_FALSE(timer_enabled(f.Timer_Playback));
    Cmd_Forward_Click(f);  // less than 20 s left: the end
    EXPECT_GE(position(), 29.9);
    EXPECT_EQ(text(f.Playback_Counter), "0:00:30");
    Cmd_Backward_Click(f);
    EXPECT_NEAR(position(), f.S.Media_Position->duration() - 20.0, 0.05);

    f.S.Media_Position->setCurrentPosition(6.52);
    Cmd_MarkIn_Click(f);
    EXPECT_EQ(f.S.Mark_In, 6520);
    EXPECT_EQ(f.S.Mark_Out, f.S.Movie_Length);
}

TEST_F(RealPlayer, AFileThatIsNotMediaKeepsTheCurrentSource) {
    Form1& f = *form;
    choose(dir.clip("good.avi", 5));
    ASSERT_TRUE(dialogs->shown.empty());
    const auto* graph = f.S.Media_Control.get();
    const std::string notMedia = dir.text("notes.avi", std::string(20000, 'z'));
    choose(notMedia);
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text.rfind("cannot open '" + notMedia + "': ", 0), 0u) << dialogs->shown[0].text;
    EXPECT_EQ(f.S.Media_Control.get(), graph);
    EXPECT_EQ(f.CommonDialog1.FileTitle, "good.avi");
    EXPECT_EQ(text(f.Label_Length), "Movie Length: 0:00:05");
}

class RealPicture : public RealPlayer {
protected:
    RealPicture() : RealPlayer("libmpv") {}
};

TEST_F(RealPicture, ThePreviewDrawsIntoThePictureBox) {
    Form1& f = *form;
    choose(dir.clip("clip.avi", 5));
    ASSERT_TRUE(dialogs->shown.empty());
    ASSERT_TRUE(wait_until([&] { return f.Frame_Video->framesShown() >= 2; }, 10000));
    QImage img = f.Frame_Video->currentImage();
    EXPECT_EQ(img.size(), QSize(320, 240));
    // The box is taken back after another producer used it.
    frames::claim(f.Frame_Video->hWnd());
    Cmd_Stop_Click(f);
    const int before = f.Frame_Video->framesShown();
    f.S.Media_Window->setOwner(f.Frame_Video->hWnd());
    EXPECT_EQ(f.Frame_Video->framesShown(), before + 1);
}

}  // namespace
}  // namespace shardex::testing

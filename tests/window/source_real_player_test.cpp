// The source routines on the real libmpv graph and a generated clip: choosing it, jumps and
// stop, a mark-in, and a file that is not media.
#include "media/test_media.h"
#include "platform/media/factory.h"
#include "source/preview_player.h"
#include "source/trim_markers.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

class RealPlayer : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        f->services.createGraph = []() -> std::shared_ptr<media::FilterGraph> {
            media::GraphOptions o;
            o.videoOutput = o.audioOutput = "null";
            return media::create_filter_graph(o);
        };
    }
    void choose(const std::string& path) {
        dialogs->nextOpenPath = path;
        Cmd_File_Click(*f);
    }
    double position() { return f->S.Media_Position->currentPosition(); }
    TempMediaDir dir;
};

TEST_F(RealPlayer, ChoosesAClipAndJumpsThroughIt) {
    choose(dir.clip("clip.avi", 30, "352x288"));
    ASSERT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(text(f->Label_Dimension), "Frame: 352 x 288");
    EXPECT_EQ(text(f->Label_Length), "Movie Length: 0:00:30");
    EXPECT_NEAR(f->S.Movie_Length, 30000, 40);
    EXPECT_TRUE(timer_enabled(f->Timer_Playback));

    Cmd_Stop_Click(*f);
    const double stoppedAt = position();
    Cmd_Forward_Click(*f);
    EXPECT_NEAR(position(), stoppedAt + 20.0, 1e-3);
    EXPECT_FALSE(timer_enabled(f->Timer_Playback));
    Cmd_Forward_Click(*f);  // less than 20 s left: the end
    EXPECT_GE(position(), 29.9);
    EXPECT_EQ(text(f->Playback_Counter), "0:00:30");
    Cmd_Backward_Click(*f);
    EXPECT_NEAR(position(), f->S.Media_Position->duration() - 20.0, 0.05);

    f->S.Media_Position->setCurrentPosition(6.52);
    Cmd_MarkIn_Click(*f);
    EXPECT_EQ(f->S.Mark_In, 6520);
    EXPECT_EQ(f->S.Mark_Out, f->S.Movie_Length);

    // A file that is not media is refused, and this clip stays the source.
    const auto* graph = f->S.Media_Control.get();
    const std::string notMedia = dir.text("notes.avi", std::string(20000, 'z'));
    choose(notMedia);
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(messages()[0].rfind("cannot open '" + notMedia + "': ", 0), 0u) << messages()[0];
    EXPECT_EQ(f->S.Media_Control.get(), graph);
    EXPECT_EQ(f->CommonDialog1.FileTitle, "clip.avi");
}

}  // namespace
}  // namespace shardex::testing

// Choosing the source: names, facts, the new graph's set-up, and the refusals that keep the
// current source as it was.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "app/clock_text.h"
#include "app/video_frame_widget.h"
#include "source_fixture.h"

namespace shardex::testing {
namespace {

TEST(SourceSelection, AChosenFileIsMeasuredShownAndPlayed) {
    SourceWindow w;
    Form1& f = w.f();
    f.Local_Status->setText(QStringLiteral("Status:  Success "));
    f.TextBox_RemoteFile->setText(QStringLiteral("old_SX1.wmv"));
    auto g = std::make_shared<FakeGraph>();
    g->length = 20.0;
    g->width = 640;
    g->height = 480;
    std::string path = w.file("clip.avi", 3000000);
    w.choose(path, g);

    ASSERT_EQ(w.dialogs->openTitles.size(), 1u);
    EXPECT_EQ(w.dialogs->openTitles[0], "Select Source AVI File");
    EXPECT_EQ(w.dialogs->openFilters[0], "AVI Files|*.avi");
    EXPECT_TRUE(w.dialogs->shown.empty());
    EXPECT_EQ(f.CommonDialog1.FileName, path);
    EXPECT_EQ(f.CommonDialog1.FileTitle, "clip.avi");
    EXPECT_EQ(text(f.TextBox_File), "clip.avi");
    EXPECT_EQ(f.S.Remote_OutFile, "clip_SX1.wmv");
    EXPECT_EQ(f.S.Remote2_OutFile, "clip_SX2.wmv");
    EXPECT_EQ(f.S.Local_OutFile, "clip_SX.wmv");

    // 3,000,000 bytes over 20 s: 2.86 MB shown as 3, 2929.6875 / 20 * 8 = 1171.875 -> 1,172.
    EXPECT_DOUBLE_EQ(f.S.Source_SizeKB, 3000000.0 / 1024.0);
    EXPECT_EQ(f.S.Movie_Length, 20000);
    EXPECT_EQ(f.S.Source_Width, 640);
    EXPECT_EQ(f.S.Source_Height, 480);
    EXPECT_EQ(text(f.Label_SourceSize), "Disk Size: 3 MB");
    EXPECT_EQ(text(f.Label19), "Bit rate: 1,172 Kbps");
    EXPECT_EQ(text(f.Label_Dimension), "Frame: 640 x 480");
    EXPECT_EQ(text(f.Label_Length), "Movie Length: 0:00:20");

    // The graph is set up as the preview needs it and every handle is that one graph.
    EXPECT_EQ(g->renderedPath, path);
    EXPECT_EQ(g->volume, 0);
    EXPECT_EQ(g->balance, 0);
    EXPECT_EQ(g->destWidth, 320);
    EXPECT_EQ(g->destHeight, 240);
    EXPECT_EQ(g->rate, 1.0);
    EXPECT_EQ(g->style, 0);
    EXPECT_EQ(g->owner, f.Frame_Video->hWnd());
    EXPECT_EQ(g->top, 0);
    EXPECT_EQ(g->left, 0);
    EXPECT_EQ(g->winWidth, 320);
    EXPECT_EQ(g->winHeight, 240);
    EXPECT_EQ(f.S.Media_Control.get(), static_cast<media::MediaControl*>(g.get()));
    EXPECT_EQ(f.S.Media_Audio.get(), static_cast<media::BasicAudio*>(g.get()));
    EXPECT_EQ(f.S.Media_Video.get(), static_cast<media::BasicVideo*>(g.get()));
    EXPECT_EQ(f.S.Media_Events.get(), static_cast<media::MediaEvent*>(g.get()));
    EXPECT_EQ(f.S.Media_Position.get(), static_cast<media::MediaPosition*>(g.get()));
    EXPECT_EQ(f.S.Media_Window.get(), static_cast<media::VideoWindow*>(g.get()));

    // Playing from the start with cleared markers and reset slot panels.
    EXPECT_TRUE(g->playing);
    EXPECT_TRUE(timer_enabled(f.Timer_Playback));
    EXPECT_EQ(g->seeks, std::vector<double>{0.0});
    EXPECT_EQ(text(f.Playback_Counter), "0:00:00");
    EXPECT_EQ(fore_color(f.Playback_Counter), kBrightGreen);
    EXPECT_EQ(back_color(f.Playback_Counter), kBlack);
    EXPECT_EQ(text(f.Label_MarkIn), "In: 0:00:00");
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:00:20");
    EXPECT_EQ(text(f.Label_Edit_Length), "Len: 0:00:20");
    EXPECT_EQ(text(f.Local_Status), "Status:");
    EXPECT_EQ(text(f.TextBox_RemoteFile), "");
}

TEST(SourceSelection, OutputNamesDifferFromEachOtherAndFromTheSource) {
    struct Case {
        const char* title;
        const char* server;
        const char* client1;
        const char* client2;
    };
    const Case cases[] = {
        {"clip.avi", "clip_SX.wmv", "clip_SX1.wmv", "clip_SX2.wmv"},
        // Every ".avi" is replaced, not only the last.
        {"a.avi.b.avi", "a_SX.wmv.b_SX.wmv", "a_SX1.wmv.b_SX1.wmv", "a_SX2.wmv.b_SX2.wmv"},
        // No lower-case ".avi": the last extension goes, whatever its case.
        {"clip.AVI", "clip_SX.wmv", "clip_SX1.wmv", "clip_SX2.wmv"},
        {"holiday.2023.mov", "holiday.2023_SX.wmv", "holiday.2023_SX1.wmv", "holiday.2023_SX2.wmv"},
        // No extension at all: the suffix is appended.
        {"capture", "capture_SX.wmv", "capture_SX1.wmv", "capture_SX2.wmv"},
        {".hidden", ".hidden_SX.wmv", ".hidden_SX1.wmv", ".hidden_SX2.wmv"},
    };
    SourceWindow w;
    Form1& f = w.f();
    bool second = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        w.next = std::make_shared<FakeGraph>();
        w.dialogs->nextOpenPath = w.file(c.title, 1000);
        // Both source buttons run the same selection.
        (second ? Cmd_File2_Click : Cmd_File_Click)(f);
        second = !second;
        EXPECT_EQ(text(f.TextBox_File), c.title);
        EXPECT_EQ(f.S.Local_OutFile, c.server);
        EXPECT_EQ(f.S.Remote_OutFile, c.client1);
        EXPECT_EQ(f.S.Remote2_OutFile, c.client2);
    }
}

TEST(SourceSelection, SmallFilesShowNoMegabyteDigits) {
    SourceWindow w;
    w.source(8.0, "small.avi", 300 * 1024);
    EXPECT_EQ(text(w.f().Label_SourceSize), "Disk Size:  MB");
    // 300 KB over 8 s: 300 / 8 * 8 = 300 Kbps.
    EXPECT_EQ(text(w.f().Label19), "Bit rate: 300 Kbps");
}

TEST(SourceSelection, ANewChoiceReplacesTheGraphAndClearsTheMarkers) {
    SourceWindow w;
    Form1& f = w.f();
    std::weak_ptr<FakeGraph> first = w.source(400.0);
    first.lock()->position = 65.0;
    Cmd_MarkIn_Click(f);
    ASSERT_EQ(f.S.Mark_In, 65000);
    w.made.clear();

    // The same file again: same names, markers dropped, a fresh graph from the start.
    auto again = w.choose(f.CommonDialog1.FileName);
    EXPECT_TRUE(first.expired()) << "the previous graph must end once its handles are replaced";
    EXPECT_EQ(f.S.Local_OutFile, "clip_SX.wmv");
    EXPECT_EQ(f.S.Mark_In, 0);
    EXPECT_EQ(f.S.Mark_Out, 0);
    EXPECT_EQ(text(f.Label_MarkIn), "In: 0:00:00");
    EXPECT_EQ(back_color(f.Label_MarkIn), kButtonFace);
    EXPECT_TRUE(again->playing);
    EXPECT_EQ(again->position, 0.0);

    // Another file while this one plays.
    again->position = 30.0;
    auto other = std::make_shared<FakeGraph>();
    other->length = 90.0;
    w.choose(w.file("other.avi", 2000000), other);
    EXPECT_EQ(f.S.Media_Position.get(), static_cast<media::MediaPosition*>(other.get()));
    EXPECT_EQ(f.S.Movie_Length, 90000);
    EXPECT_EQ(text(f.Label_Length), "Movie Length: 0:01:30");
    EXPECT_EQ(text(f.Label_MarkOut), "Out: 0:01:30");
    EXPECT_TRUE(other->playing);
}

TEST(SourceSelection, CancellingChangesNothing) {
    SourceWindow w;
    w.dialogs->nextOpenPath = "";
    Cmd_File_Click(w.f());
    EXPECT_TRUE(w.made.empty());
    EXPECT_EQ(w.f().CommonDialog1.FileName, "");
    EXPECT_EQ(text(w.f().Label_SourceSize), "Disk Size:");
    EXPECT_TRUE(w.dialogs->shown.empty());
}

// Everything the window shows or keeps about the current source.
struct SourceSnapshot {
    explicit SourceSnapshot(Form1& f)
        : fileName(f.CommonDialog1.FileName),
          fileTitle(f.CommonDialog1.FileTitle),
          box(text(f.TextBox_File)),
          names{f.S.Local_OutFile, f.S.Remote_OutFile, f.S.Remote2_OutFile},
          labels{text(f.Label_SourceSize), text(f.Label_Dimension), text(f.Label_Length), text(f.Label19),
                 text(f.Label_MarkIn), text(f.Label_MarkOut), text(f.Label_Edit_Length)},
          length(f.S.Movie_Length),
          width(f.S.Source_Width),
          height(f.S.Source_Height),
          sizeKB(f.S.Source_SizeKB),
          markIn(f.S.Mark_In),
          markOut(f.S.Mark_Out),
          graph(f.S.Media_Control.get()),
          window(f.S.Media_Window.get()),
          playing(timer_enabled(f.Timer_Playback)) {}
    bool operator==(const SourceSnapshot&) const = default;

    std::string fileName, fileTitle, box;
    std::vector<std::string> names, labels;
    std::int32_t length;
    std::int16_t width, height;
    double sizeKB;
    std::int32_t markIn, markOut;
    const void* graph;
    const void* window;
    bool playing;
};

TEST(SourceSelection, AnUnusableFileIsRefusedAndTheCurrentSourceStays) {
    SourceWindow w;
    Form1& f = w.f();
    auto current = w.source(120.0);
    current->position = 30.0;
    Cmd_MarkIn_Click(f);
    const SourceSnapshot before(f);

    struct Refusal {
        const char* name;
        std::function<void(FakeGraph&)> make;
        std::string message;  // after "cannot open '<path>': "
    };
    const Refusal refusals[] = {
        {"broken.avi", [](FakeGraph& g) { g.renderError = "unrecognized file format"; }, "unrecognized file format"},
        {"empty.avi", [](FakeGraph& g) { g.length = 0.0; }, "its length is 0"},
        {"tiny.avi", [](FakeGraph& g) { g.length = 0.0004; }, "its length is 0"},
        {"sound.avi", [](FakeGraph& g) { g.hasPicture = false; }, "it has no picture (the source has no picture)"},
        {"nolength.avi", [](FakeGraph& g) { g.positionFails = true; },
         "its length cannot be read (cannot read the duration)"},
        {"huge.avi", [](FakeGraph& g) { g.width = 40000; }, "its picture of 40000 x 480 is too large"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        auto g = std::make_shared<FakeGraph>();
        r.make(*g);
        std::string path = w.file(r.name, 5000000);
        w.dialogs->shown.clear();
        w.choose(path, g);
        ASSERT_EQ(w.dialogs->shown.size(), 1u);
        EXPECT_EQ(w.dialogs->shown[0].text, "cannot open '" + path + "': " + r.message);
        EXPECT_EQ(w.dialogs->shown[0].title, "Shardex");
        EXPECT_EQ(w.dialogs->shown[0].buttons, platform::Buttons::Ok);
        EXPECT_TRUE(SourceSnapshot(f) == before);
        EXPECT_TRUE(current->playing);
        EXPECT_FALSE(g->playing);
    }

    // A file whose size can't be read is refused before any graph is made for it.
    w.made.clear();
    w.dialogs->shown.clear();
    std::string missing = (w.dir.path() / "gone.avi").string();
    w.choose(missing);
    ASSERT_EQ(w.dialogs->shown.size(), 1u);
    EXPECT_EQ(w.dialogs->shown[0].text.rfind("cannot read the size of '" + missing + "': ", 0), 0u)
        << w.dialogs->shown[0].text;
    EXPECT_TRUE(w.made.empty());
    EXPECT_TRUE(SourceSnapshot(f) == before);
}

TEST(SourceSelection, ARefusedFirstChoiceLeavesNoSourceAndAnInertPlayer) {
    SourceWindow w;
    Form1& f = w.f();
    auto g = std::make_shared<FakeGraph>();
    g->renderError = "loading failed";
    w.choose(w.file("broken.avi", 100), g);
    ASSERT_EQ(w.dialogs->shown.size(), 1u);
    EXPECT_EQ(f.CommonDialog1.FileName, "");
    EXPECT_EQ(text(f.TextBox_File), "");
    EXPECT_EQ(f.S.Local_OutFile, "");
    EXPECT_FALSE(f.S.Media_Control);
    EXPECT_EQ(text(f.Label_Dimension), "Frame:");
    // Nothing to play, jump in or mark.
    Cmd_Play_Click(f);
    Cmd_Forward_Click(f);
    Cmd_MarkIn_Click(f);
    Cmd_Clear_Click(f);
    EXPECT_FALSE(timer_enabled(f.Timer_Playback));
    EXPECT_EQ(f.S.Mark_Out, 0);
    EXPECT_EQ(text(f.Playback_Counter), "0:00:00");
}

TEST(SourceSelection, NoNewSourceWhileJobsRun) {
    for (int slot = 0; slot < 3; ++slot) {
        SCOPED_TRACE(slot);
        SourceWindow w;
        Form1& f = w.f();
        w.source(60.0);
        const SourceSnapshot before(f);
        VbBool* running[] = {&f.S.Local_Running, &f.S.Remote_Running, &f.S.Remote2_Running};
        *running[slot] = kTrue;
        w.dialogs->nextOpenPath = w.file("next.avi", 1000);
        w.dialogs->openTitles.clear();
        w.made.clear();
        Cmd_File2_Click(f);
        EXPECT_TRUE(w.dialogs->openTitles.empty()) << "the file dialog must not open";
        ASSERT_EQ(w.dialogs->shown.size(), 1u);
        EXPECT_EQ(w.dialogs->shown[0].text,
                  "A new source can't be chosen while encoding jobs run. Wait until they end or stop them.");
        EXPECT_EQ(w.dialogs->shown[0].title, "Shardex");
        EXPECT_TRUE(w.made.empty());
        EXPECT_TRUE(SourceSnapshot(f) == before);
        // Once the job has ended, a new source is taken.
        *running[slot] = kFalse;
        Cmd_File_Click(f);
        EXPECT_EQ(f.CommonDialog1.FileTitle, "next.avi");
    }
}

}  // namespace
}  // namespace shardex::testing

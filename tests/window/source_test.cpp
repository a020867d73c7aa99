// Choosing the source, the preview player and the trim markers, on a fake graph.
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>
#include <QSlider>
#include <QStandardPaths>
#include <filesystem>
#include <map>
#include <functional>

#include "app/colors.h"
#include "app/video_frame_widget.h"
#include "source/preview_player.h"
#include "source/trim_markers.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

using Source = WindowTest;

// A chosen file is measured, its facts shown, its graph set up for the preview and played
// from the start, with cleared markers and reset slot panels.
TEST_F(Source, AChosenFileIsMeasuredShownAndPlayed) {
    f->Local_Status->setText(QStringLiteral("Status:  Success "));
    auto g = std::make_shared<FakeGraph>();
    g->length = 20.0;
    const std::string path = file("clip.avi", 3000000);
    choose(path, g);
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(f->CommonDialog1.FileName + "|" + f->CommonDialog1.FileTitle + "|" + text(f->TextBox_File),
              path + "|clip.avi|clip.avi");
    // 3,000,000 bytes over 20 s: 2.86 MB shown as 3, 2929.6875 / 20 * 8 = 1171.875 -> 1,172 Kbps.
    EXPECT_DOUBLE_EQ(f->S.Source_SizeKB, 3000000.0 / 1024.0);
    EXPECT_EQ(f->S.Movie_Length, 20000);
    EXPECT_EQ(std::to_string(f->S.Source_Width) + "x" + std::to_string(f->S.Source_Height), "640x480");
    EXPECT_EQ(text(f->Label_SourceSize) + "|" + text(f->Label19) + "|" + text(f->Label_Dimension) + "|" +
                  text(f->Label_Length),
              "Disk Size: 3 MB|Bit rate: 1,172 Kbps|Frame: 640 x 480|Movie Length: 0:00:20");
    EXPECT_EQ(g->renderedPath, path);
    EXPECT_EQ(g->owner, f->Frame_Video->hWnd());
    EXPECT_EQ(f->S.Media_Position.get(), static_cast<media::MediaPosition*>(g.get()));
    EXPECT_TRUE(g->playing && timer_enabled(f->Timer_Playback));
    EXPECT_EQ(g->seeks, std::vector<double>{0.0});
    EXPECT_EQ(text(f->Label_MarkOut) + "|" + text(f->Label_Edit_Length) + "|" + text(f->Local_Status),
              "Out: 0:00:20|Len: 0:00:20|Status:");

    // Another file replaces the graph, which ends with its last handle.
    std::weak_ptr<FakeGraph> first = g;
    g.reset();
    auto other = source(90.0, "other.avi");
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(f->S.Movie_Length, 90000);
    EXPECT_EQ(text(f->Label_MarkOut), "Out: 0:01:30");
    EXPECT_TRUE(other->playing);
}

// The three output names differ from each other and from the source's, whatever the title.
TEST_F(Source, OutputNamesFollowTheTitle) {
    const std::pair<const char*, const char*> cases[] = {
        {"clip.avi", "clip_SX.wmv clip_SX1.wmv clip_SX2.wmv"},
        {"a.avi.b.avi", "a_SX.wmv.b_SX.wmv a_SX1.wmv.b_SX1.wmv a_SX2.wmv.b_SX2.wmv"},  // every ".avi"
        {"clip.AVI", "clip_SX.wmv clip_SX1.wmv clip_SX2.wmv"},  // else the last extension, whatever its case
        {"holiday.2023.mov", "holiday.2023_SX.wmv holiday.2023_SX1.wmv holiday.2023_SX2.wmv"},
        {"capture", "capture_SX.wmv capture_SX1.wmv capture_SX2.wmv"},  // else appended
        {".hidden", ".hidden_SX.wmv .hidden_SX1.wmv .hidden_SX2.wmv"},
    };
    bool second = false;
    for (auto [title, names] : cases) {
        next = std::make_shared<FakeGraph>();
        dialogs->nextOpenPath = file(title, 1000);
        (second ? Cmd_File2_Click : Cmd_File_Click)(*f);  // both buttons choose alike
        second = !second;
        EXPECT_EQ(f->S.Local_OutFile + " " + f->S.Remote_OutFile + " " + f->S.Remote2_OutFile, names);
    }
}

// A file that cannot be used is refused with a message naming it, and the current source
// stays as it was: its graph still playing, its facts on screen, the fields the jobs read.
TEST_F(Source, AnUnusableFileIsRefusedAndTheCurrentSourceStays) {
    auto current = source(120.0);
    current->position = 30.0;
    Cmd_MarkIn_Click(*f);
    auto snapshot = [&] {
        return std::vector<std::string>{f->CommonDialog1.FileName, f->CommonDialog1.FileTitle, text(f->TextBox_File),
            f->S.Local_OutFile + f->S.Remote_OutFile + f->S.Remote2_OutFile, text(f->Label_SourceSize),
            text(f->Label_Dimension), text(f->Label_Length), text(f->Label19), text(f->Label_MarkIn),
            std::to_string(f->S.Movie_Length) + " " + std::to_string(f->S.Source_Width) + " " +
                std::to_string(f->S.Source_SizeKB) + " " + std::to_string(f->S.Mark_In) + " " +
                std::to_string(f->S.Mark_Out)};
    };
    const auto before = snapshot();
    struct Refusal {
        const char* name;
        std::function<void(FakeGraph&)> make;
        const char* reason;
    } refusals[] = {
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
        const std::string path = file(r.name, 5000000);
        dialogs->shown.clear();
        choose(path, g);
        EXPECT_EQ(messages(), std::vector<std::string>{"cannot open '" + path + "': " + r.reason});
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(f->S.Media_Control.get(), static_cast<media::MediaControl*>(current.get()));
        EXPECT_TRUE(current->playing);
        EXPECT_FALSE(g->playing);
    }
    // A file whose size cannot be read is refused before any graph is made for it.
    graphs.clear();
    dialogs->shown.clear();
    const std::string gone = home.path().toStdString() + "/gone.avi";
    choose(gone);
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(messages()[0].rfind("cannot read the size of '" + gone + "': ", 0), 0u) << messages()[0];
    EXPECT_TRUE(graphs.empty());
    EXPECT_EQ(snapshot(), before);
}

// The dialog starts in the user's videos folder, then where the last source was, also in a
// window of a later start (the folder is a setting that outlives the window); a name given
// relative to where Shardex started (the command line) becomes a full path.
TEST_F(Source, TheDialogStartsWhereTheLastSourceWas) {
    struct FolderDialogs : FakeDialogs {
        std::vector<std::string> folders;
        std::string openFileIn(const std::string& title, const std::string& filter, const std::string& folder) override {
            folders.push_back(folder);
            return openFile(title, filter);
        }
    };
    std::map<std::string, std::string> settings;
    auto d = std::make_shared<FolderDialogs>();
    auto services = [&] {
        f->services.dialogs = d;
        f->services.readSetting = [&](const std::string& key) { return settings[key]; };
        f->services.writeSetting = [&](const std::string& key, const std::string& value) { settings[key] = value; };
    };
    services();
    QDir(home.path()).mkpath(QStringLiteral("Videos"));
    QDir(home.path()).mkpath(QStringLiteral("clips"));
    const std::string videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation).toStdString();
    const std::string clip = file("clips/a.avi", 1000);
    d->nextOpenPath = clip;
    next = std::make_shared<FakeGraph>();
    Cmd_File_Click(*f);
    ASSERT_EQ(f->CommonDialog1.FileName, clip);
    new_window();
    services();
    d->nextOpenPath = "";
    Cmd_File_Click(*f);
    EXPECT_EQ(d->folders, (std::vector<std::string>{std::filesystem::is_directory(videos) ? videos : "",
                                                    home.path().toStdString() + "/clips"}));

    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(home.path().toStdString());
    next = std::make_shared<FakeGraph>();
    Open_Source(*f, "clips/../clips/a.avi");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(f->CommonDialog1.FileName, clip);
}

// With no source (none chosen yet, a first choice refused, or a choice cancelled) the player
// and the markers do nothing.
TEST_F(Source, WithoutASourceThePlayerAndMarkersDoNothing) {
    dialogs->nextOpenPath = "";
    Cmd_File_Click(*f);
    auto g = std::make_shared<FakeGraph>();
    g->renderError = "loading failed";
    choose(file("broken.avi", 100), g);
    EXPECT_EQ(f->CommonDialog1.FileName, "");
    EXPECT_FALSE(f->S.Media_Control);
    for (auto routine : {Cmd_Play_Click, Cmd_Stop_Click, Cmd_Forward_Click, Cmd_Backward_Click, Timer_Playback_Timer,
                         Slider_Scroll, Cmd_MarkIn_Click, Cmd_MarkOut_Click, Cmd_Clear_Click})
        routine(*f);
    EXPECT_FALSE(timer_enabled(f->Timer_Playback));
    EXPECT_EQ(f->S.Mark_Out, 0);
    EXPECT_EQ(text(f->Label_MarkOut), "Out: 0:00:00");
    EXPECT_EQ(text(f->Playback_Counter), "0:00:00");
    EXPECT_EQ(g->seeks, std::vector<double>{});
}

// Running jobs read the source's facts when they finish: no new source while any slot runs.
TEST_F(Source, NoNewSourceWhileJobsRun) {
    source(60.0);
    VbBool* running[] = {&f->S.Local_Running, &f->S.Remote_Running, &f->S.Remote2_Running};
    for (VbBool* slot : running) {
        *slot = kTrue;
        dialogs->openTitles.clear();
        dialogs->shown.clear();
        dialogs->nextOpenPath = file("next.avi", 1000);
        Cmd_File2_Click(*f);
        EXPECT_TRUE(dialogs->openTitles.empty());
        ASSERT_EQ(messages().size(), 1u);
        EXPECT_EQ(messages()[0],
                  "A new source can't be chosen while encoding jobs run. Wait until they end or stop them.");
        EXPECT_EQ(f->CommonDialog1.FileTitle, "clip.avi");
        *slot = kFalse;
    }
    Cmd_File_Click(*f);
    EXPECT_EQ(f->CommonDialog1.FileTitle, "next.avi");
}

// 20-second jumps stay within the source and move the counter and slider (40 steps) at once.
TEST_F(Source, JumpsStayWithinTheSource) {
    auto g = source(400.0);
    struct Jump {
        double from;
        void (*click)(Form1&);
        double to;
        const char* counter;
    } jumps[] = {
        {15.0, Cmd_Backward_Click, 0.0, "0:00:00"},    {40.0, Cmd_Backward_Click, 20.0, "0:00:20"},
        {100.0, Cmd_Forward_Click, 120.0, "0:02:00"},  {390.0, Cmd_Forward_Click, 400.0, "0:06:40"},
        {380.0, Cmd_Forward_Click, 400.0, "0:06:40"},
    };
    for (const Jump& j : jumps) {
        g->position = j.from;
        g->seeks.clear();
        j.click(*f);
        EXPECT_EQ(g->seeks, std::vector<double>{j.to}) << j.from;
        EXPECT_EQ(text(f->Playback_Counter), j.counter);
        EXPECT_EQ(f->Slider->value(), static_cast<int>(j.to / 10.0));
    }
    // Stopped, a jump leaves the preview stopped; Play starts it and the counter's timer.
    Cmd_Stop_Click(*f);
    Cmd_Forward_Click(*f);
    EXPECT_FALSE(g->playing || timer_enabled(f->Timer_Playback));
    Cmd_Play_Click(*f);
    EXPECT_TRUE(g->playing && timer_enabled(f->Timer_Playback));
}

// The preview answers a player's keys (Space toggles, arrows seek 5 s or a minute); they are
// the picture's own, so Space stays a focused button's elsewhere. A video dropped on the window
// becomes the source; a drop of anything else is refused.
TEST_F(Source, ThePreviewsKeysAndADroppedFile) {
    auto g = source(400.0);
    f->show();
    const std::pair<Qt::Key, double> keys[] = {{Qt::Key_Left, 95}, {Qt::Key_Right, 105}, {Qt::Key_Down, 40},
                                               {Qt::Key_Up, 160}};
    for (auto [key, to] : keys) {
        g->position = 100;
        g->seeks.clear();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(f->Frame_Video, &press);
        EXPECT_EQ(g->seeks, std::vector<double>{to}) << key;
    }
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(f->Frame_Video, &space);
    EXPECT_FALSE(g->playing);
    QApplication::sendEvent(f->Frame_Video, &space);
    EXPECT_TRUE(g->playing);

    const std::string dropped = file("dropped.mkv", 2000);
    for (const QList<QUrl>& urls : {QList<QUrl>{QUrl(QStringLiteral("https://x.example/a.avi"))},
                                    QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(dropped))}}) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(f.get(), &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted()) QApplication::sendEvent(f.get(), &drop);
        next = std::make_shared<FakeGraph>();
        pump_events(10);
    }
    EXPECT_EQ(f->CommonDialog1.FileName, dropped);
    EXPECT_TRUE(dialogs->shown.empty());
}

// The slider follows the position (halves to the even step) and only the user's moves seek;
// the timer drives the counter while the preview plays.
TEST_F(Source, TheSliderFollowsThePositionAndSeeksOnTheUsersMoves) {
    auto g = source(400.0);
    for (auto [position, step] : {std::pair{125.0, 12}, {135.0, 14}}) {
        g->position = position;
        Timer_Playback_Timer(*f);
        EXPECT_EQ(f->Slider->value(), step) << position;
    }
    g->seeks.clear();
    f->Slider->setValue(10);
    Slider_Scroll(*f);
    EXPECT_EQ(g->seeks, std::vector<double>{100.0});

    g->seeks.clear();
    g->position = 0.0;
    Timer_Playback_Timer(*f);
    pump_events(50);
    EXPECT_TRUE(g->seeks.empty());
    f->Slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    ASSERT_TRUE(wait_until([&] { return !g->seeks.empty(); }, 2000));
    EXPECT_EQ(g->seeks, std::vector<double>{10.0});
    g->position = 61.0;
    EXPECT_TRUE(wait_until([&] { return text(f->Playback_Counter) == "0:01:01"; }, 2000));
}

// A graph that stops answering leaves the player as it was: no seek, no message, no slider
// arithmetic on a length of 0, and a refused Play leaves it stopped.
TEST_F(Source, AGraphThatStopsAnsweringLeavesThePlayerAsItWas) {
    auto g = source(400.0);
    g->position = 100.0;
    Timer_Playback_Timer(*f);
    g->positionFails = true;
    for (auto routine : {Cmd_Forward_Click, Cmd_Backward_Click, Timer_Playback_Timer, Slider_Scroll, Cmd_MarkIn_Click})
        routine(*f);
    EXPECT_EQ(text(f->Playback_Counter), "0:01:40");
    EXPECT_EQ(g->position, 100.0);
    EXPECT_EQ(f->S.Mark_In, 0);
    g->positionFails = false;
    g->length = 0.0;
    g->position = 5.0;
    f->Slider->setValue(30);
    Timer_Playback_Timer(*f);
    EXPECT_EQ(text(f->Playback_Counter), "0:00:05");
    EXPECT_EQ(f->Slider->value(), 30);
    Cmd_Stop_Click(*f);
    g->controlFails = true;
    Cmd_Play_Click(*f);
    EXPECT_FALSE(timer_enabled(f->Timer_Playback));
    EXPECT_TRUE(dialogs->shown.empty());
}

// Presses of Mark In (I) and Mark Out (O) at positions of a 400 s source, and the stretch they
// leave: the mark-out waits for a mark-in other than the start, a mark-in after the mark-out
// moves it to the end, a mark-out before the mark-in swaps them.
TEST_F(Source, MarkersKeepTheStretchRunningForwards) {
    auto g = source(400.0);
    struct Case {
        std::vector<std::pair<char, double>> presses;
        std::int32_t in, out;
        const char *inText, *outText, *length;
        bool outMarked;
    } cases[] = {
        {{{'I', 65.4}}, 65400, 400000, "In: 0:01:05", "Out: 0:06:40", "Len: 0:05:35", false},
        {{{'I', 65.4}, {'O', 200}}, 65400, 200000, "In: 0:01:05", "Out: 0:03:20", "Len: 0:02:15", true},
        {{{'I', 10}, {'O', 50}, {'I', 100}}, 100000, 400000, "In: 0:01:40", "Out: 0:06:40", "Len: 0:05:00", true},
        {{{'I', 20}, {'O', 150}, {'I', 150}}, 150000, 150000, "In: 0:02:30", "Out: 0:02:30", "Len: 0:00:00", true},
        {{{'I', 100}, {'O', 40}}, 40000, 100000, "In: 0:00:40", "Out: 0:01:40", "Len: 0:01:00", true},
        {{{'O', 50}}, 0, 0, "In: 0:00:00", "Out: 0:06:40", "Len: 0:06:40", false},
        {{{'I', 0}, {'O', 50}}, 0, 400000, "In: 0:00:00", "Out: 0:06:40", "Len: 0:06:40", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Cmd_Clear_Click(*f);
        for (auto [button, at] : c.presses) {
            g->position = at;
            (button == 'I' ? Cmd_MarkIn_Click : Cmd_MarkOut_Click)(*f);
        }
        EXPECT_EQ(std::make_pair(f->S.Mark_In, f->S.Mark_Out), std::make_pair(c.in, c.out));
        EXPECT_EQ(text(f->Label_MarkIn) + " " + text(f->Label_MarkOut) + " " + text(f->Label_Edit_Length),
                  std::string(c.inText) + " " + c.outText + " " + c.length);
        EXPECT_EQ(back_color(f->Label_MarkIn), c.presses[0].first == 'I' ? kLightYellow : kButtonFace);
        EXPECT_EQ(back_color(f->Label_MarkOut), c.outMarked ? kLightYellow : kButtonFace);
    }
    g->position = 100.0;
    Cmd_MarkIn_Click(*f);
    for (double at : {20.0, 300.0, 5.0, 0.0}) {
        g->position = at;
        Cmd_MarkOut_Click(*f);
        EXPECT_LE(f->S.Mark_In, f->S.Mark_Out) << at;
    }
}

}  // namespace
}  // namespace shardex::testing

// The window of an encoder application on the agent's desktop, on the offscreen platform. The
// view is fed from threads of its own, as the agent's gRPC and session threads feed it, and
// the window is read on the GUI thread once the queued calls have reached it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTextDocument>
#include <QWidget>
#include <clocale>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "agent/desktop_view.h"
#include "support/qt_wait.h"

namespace {

using shardex::agent::AppView;
using shardex::agent::make_desktop_view;
using shardex::testing::pump_events;
using shardex::testing::wait_until;

constexpr int kWaitMs = 5000;

QWidget* window_titled(const QString& title) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == title) return w;
    return nullptr;
}

// A label's text, or its tooltip: the whole path, which the label itself may show shortened.
QString text_of(QWidget* window, const char* name, bool tip = false) {
    auto* label = window->findChild<QLabel*>(QString::fromLatin1(name));
    return !label ? QStringLiteral("<no label %1>").arg(QLatin1String(name)) : tip ? label->toolTip() : label->text();
}
QString path_of(QWidget* window, const char* name) { return text_of(window, name, true); }

int bar_percent(QWidget* window) {
    auto* bar = window->findChild<QProgressBar*>(QStringLiteral("progress"));
    return bar ? bar->value() * 100 / bar->maximum() : -1;
}

void on_other_thread(const std::function<void()>& fn) { std::thread(fn).join(); }

// A view made and fed on other threads, and the window it shows once that has arrived.
struct Shown {
    QString title;
    std::unique_ptr<AppView> view;
    QWidget* window = nullptr;

    explicit Shown(const char* server, const char* app)
        : title(QStringLiteral("Shardex encoder - %1 for %2").arg(app, server)) {
        on_other_thread([&] { view = make_desktop_view(server, app); });
        wait_until([&] { return (window = window_titled(title)) != nullptr; }, kWaitMs);
    }
    // The application freed: its window closes before the next test looks at the screen.
    ~Shown() {
        if (!view) return;
        on_other_thread([&] { view.reset(); });
        EXPECT_TRUE(wait_until([&] { return window_titled(title) == nullptr; }, kWaitMs));
    }
    // Runs `feed` on another thread, then waits until `arrived` holds on the GUI thread.
    bool feed(const std::function<void(AppView&)>& feed, const std::function<bool()>& arrived) {
        on_other_thread([&] { feed(*view); });
        return wait_until(arrived, kWaitMs);
    }
};

TEST(DesktopView, ShowsTheJobThroughItsRunKeepsTheLastFiguresAndAnError) {
    Shown s("SRV", "WMEnc_1");
    ASSERT_NE(s.window, nullptr);
    QWidget* w = s.window;

    // Figures before any job are the idle encoder's: nothing to show.
    s.feed([](AppView& v) { v.progress(999999, 99999); }, [] { return true; });
    pump_events(50);
    EXPECT_EQ(text_of(w, "time"), "0:00:00 / 0:00:00");
    EXPECT_EQ(text_of(w, "size"), "0 KB");

    ASSERT_TRUE(s.feed(
        [](AppView& v) {
            v.job("//SRV/home/ann/Video/a rather long folder name/clip.avi", "clip_2.wmv", 3723000);
            v.state(1);
            v.state(2);
            v.progress(2048000, 1861500);
        },
        [&] { return text_of(w, "size") == "2000 KB"; }));
    EXPECT_EQ(path_of(w, "source"), "//SRV/home/ann/Video/a rather long folder name/clip.avi");
    EXPECT_EQ(path_of(w, "output"), "clip_2.wmv");
    EXPECT_EQ(text_of(w, "state"), "Running");
    EXPECT_EQ(text_of(w, "time"), "0:31:01 / 1:02:03");
    EXPECT_EQ(bar_percent(w), 50);

    // Paused figures still count; a media time past the segment's end fills the bar, no more.
    ASSERT_TRUE(s.feed([](AppView& v) { v.state(3); v.progress(3072000, 4000000); },
                       [&] { return text_of(w, "size") == "3000 KB"; }));
    EXPECT_EQ(text_of(w, "state"), "Paused");
    EXPECT_EQ(bar_percent(w), 100);

    // The figures of the stop are the file's last; those after it (idle again) are not shown.
    ASSERT_TRUE(s.feed(
        [](AppView& v) {
            v.state(4);
            v.progress(4096000, 3000000);
            v.state(5);
            v.progress(0, 0);
        },
        [&] { return text_of(w, "state") == "Stopped"; }));
    pump_events(50);
    EXPECT_EQ(text_of(w, "size"), "4000 KB");
    EXPECT_EQ(text_of(w, "time"), "0:50:00 / 1:02:03");
    // The whole segment written, whether its last figures come before the stop or after it:
    // the job is finished.
    for (bool figuresFirst : {true, false}) {
        ASSERT_TRUE(s.feed(
            [figuresFirst](AppView& v) {
                v.job("//SRV/clip.avi", "clip_2.wmv", 10000);
                v.state(2);
                if (figuresFirst) v.progress(8192, 10000);
                v.state(5);
                if (!figuresFirst) v.progress(8192, 10000);
            },
            [&] { return text_of(w, "state") == "Finished"; }))
            << figuresFirst;
    }
    // The window stays after the job, until the application is freed (checked as `s` goes).
    EXPECT_EQ(window_titled(s.title), w);

    // An error stays on show until the next job.
    ASSERT_TRUE(s.feed([](AppView& v) { v.error("the Server SRV went away: the encode is stopped"), v.state(5); },
                       [&] { return text_of(w, "state").contains("went away"); }));
    pump_events(50);
    EXPECT_EQ(text_of(w, "state"), "Error: the Server SRV went away: the encode is stopped");
    ASSERT_TRUE(s.feed([](AppView& v) { v.job("//SRV/clip.avi", "clip_3.wmv", 10000), v.state(1); },
                       [&] { return text_of(w, "state") == "Starting"; }));
}

// Every text comes from a Server: HTML in an error or a path shows as the characters it is
// made of (nothing renders, nothing to click), a line break or a terminal's escape as '?',
// and an error of a megabyte is cut to what a window holds.
TEST(DesktopView, AServersTextIsPlainTextOfABoundedLength) {
    Shown s("SRV", "WMEnc_7");
    ASSERT_NE(s.window, nullptr);
    QWidget* w = s.window;
    const std::string link = "<a href='http://x.example/'>click</a>";
    ASSERT_TRUE(s.feed(
        [&](AppView& v) {
            v.job("//SRV/" + link + "\n.avi", "clip.wmv", 1000);
            v.error(link + "\x1b[2J" + std::string(1 << 20, 'e'));
        },
        [&] { return text_of(w, "state").contains("click"); }));
    for (const char* name : {"source", "output", "state", "time", "size"})
        EXPECT_EQ(w->findChild<QLabel*>(QString::fromLatin1(name))->textFormat(), Qt::PlainText) << name;
    const QString state = text_of(w, "state");
    EXPECT_TRUE(state.startsWith(QString::fromStdString("Error: " + link + "?[2Jeee")))
        << state.left(100).toStdString();
    EXPECT_LT(state.size(), 1000);
    // The tooltip holds the whole path, and shows it as that very text.
    QString tip = path_of(w, "source");
    if (Qt::mightBeRichText(tip)) {
        QTextDocument html;
        html.setHtml(tip);
        tip = html.toPlainText();
    }
    EXPECT_EQ(tip.toStdString(), "//SRV/" + link + "?.avi");
}

TEST(DesktopView, IsDestroyedSafelyWithCallsStillQueued) {
    const QString title = QStringLiteral("Shardex encoder - WMEnc_5 for SRV");
    // Made, fed by two threads at once (figures and events, as the agent's threads do) and
    // destroyed before the GUI thread has run any of it.
    std::unique_ptr<AppView> view;
    on_other_thread([&] {
        view = make_desktop_view("SRV", "WMEnc_5");
        view->setPlacement(800, 600);
        view->setVisible(true);
        view->job("//SRV/clip.avi", "clip_5.wmv", 60000);
    });
    std::thread figures([&] {
        for (int i = 0; i < 500; ++i) view->progress(i * 1024, i * 100);
    });
    std::thread events([&] {
        for (int i = 0; i < 500; ++i) view->state(1 + i % 5);
        view->error("the source cannot be read");
    });
    figures.join();
    events.join();
    on_other_thread([&] { view.reset(); });
    pump_events(200);
    EXPECT_EQ(window_titled(title), nullptr);
}

}  // namespace

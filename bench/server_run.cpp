// A whole Server-only run through the window (offscreen) against the encoder alone on the
// same segment, and the cost of one polling tick. Prints figures; asserts nothing.
//
//   server_run [SECONDS]   length of the generated clip (default 60)
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/form1.h"
#include "jobs/polling.h"
#include "platform/encoder/factory.h"
#include "run/run_control.h"
#include "support/e2e.h"
#include "support/job.h"

using namespace shardex;
namespace support = shardex::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kProfile = "Windows Media Video 8 for Local Area Network (768 Kbps)";

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The encoder set up as the Server's job sets it up, without the window. With `view`, a data
// view draws into a window nobody shows, as the preview does.
double encoder_alone(const std::string& source, const std::string& out, std::int32_t markIn, std::int32_t markOut,
                     bool view = false) {
    const auto t0 = Clock::now();
    auto job = support::make_job(source, out, kProfile);
    std::shared_ptr<encoder::DataView> dataView;
    std::int32_t cookie = 0;
    if (view) cookie = job->video->addDataView(dataView = encoder::create_data_view());
    job->encoder->prepare(true);
    if (view) {
        dataView->setViewProperties(cookie, WindowHandle{1});
        dataView->startView(cookie);
    }
    for (auto& src : {job->video, job->audio}) {
        src->setMarkIn(markIn);
        src->setMarkOut(std::min(markOut, job->video->duration()));
    }
    job->encoder->start();
    job->events.waitStopped(std::chrono::seconds(300));
    if (!job->events.errorTexts.empty()) std::fprintf(stderr, "encoder error: %s\n", job->events.errorTexts[0].c_str());
    return seconds_since(t0);
}

// Go pressed and "Go" back: the whole run as the user sees it.
double window_run(Form1& f) {
    const auto t0 = Clock::now();
    Cmd_Go_Click(f);
    while (f.Cmd_Go->text() != QStringLiteral("Go")) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int length = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;

    support::TempDir home("shardex-bench");
    support::HomeAt at(home.path());
    const std::string clip = (home / "clip.avi").string();
    support::make_test_clip(clip, length);
    support::ServerWindow w({"", "", {}, "127.0.0.1:0", "SRV"});
    Form1& f = *w.f;
    if (const std::string why = w.choose(clip, "100", "0", "0"); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }

    const std::string aloneOut = (home / "Shardex" / "alone.wmv").string();
    std::vector<double> ratios, ratiosPreview, windowTimes, aloneTimes;
    encoder_alone(clip, aloneOut, 0, length * 1000);  // warm the caches once
    for (int round = 0; round < 3; ++round) {
        f.S.Post_View = kFalse;
        const double w = window_run(f);
        const double a = encoder_alone(clip, aloneOut, f.S.Local_SegStart, f.S.Local_SegEnd);
        f.S.Post_View = kTrue;
        const double wp = window_run(f);
        const double ap = encoder_alone(clip, aloneOut, f.S.Local_SegStart, f.S.Local_SegEnd, true);
        windowTimes.push_back(w);
        aloneTimes.push_back(a);
        ratios.push_back(w / a);
        ratiosPreview.push_back(wp / ap);
    }

    const std::string finalStatus = f.Local_Status->text().toStdString();

    // One polling tick on the finished job's encoder: statistics, formats and labels.
    std::vector<double> ticks;
    for (int i = 0; i < 2000; ++i) {
        const auto t0 = Clock::now();
        TimerLocal_Timer(f);
        ticks.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }

    std::printf("clip: %d s 320x240 29.97 fps, profile %s\n", length, kProfile);
    std::printf("encoder alone:                 median %.3f s\n", median(aloneTimes));
    std::printf("window run, preview off:       median %.3f s\n", median(windowTimes));
    std::printf("ratio window/alone (no preview): %.3f  (target <= 1.05)\n", median(ratios));
    std::printf("ratio window/alone (both drawing the preview): %.3f\n", median(ratiosPreview));
    std::printf("polling tick: median %.1f us\n", median(ticks));
    std::printf("final status: %s\n", finalStatus.c_str());
    return 0;
}

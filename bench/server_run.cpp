// A whole Server-only run through the window (offscreen) against the encoder alone on the
// same segment, and the cost of one polling tick. Prints figures; asserts nothing.
//
//   server_run [SECONDS]   length of the generated clip (default 60)
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/form1.h"
#include "jobs/polling.h"
#include "platform/clock.h"
#include "platform/encoder/factory.h"
#include "run/run_control.h"

using namespace shardex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kProfile = "Windows Media Video 8 for Local Area Network (768 Kbps)";

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The encoder configured as the Server's job configures it, without the window.
// With `view`, a data view draws into a window nobody shows, as the preview does.
double encoder_alone(const std::string& source, const std::string& out, std::int32_t markIn, std::int32_t markOut,
                     bool view = false) {
    auto enc = encoder::create_local_encoder();
    std::mutex m;
    std::condition_variable cv;
    bool stopped = false;
    encoder::EventHandlers h;
    h.onStateChange = [&](std::int32_t s) {
        if (s != encoder::kStateStopped) return;
        std::lock_guard lock(m);
        stopped = true;
        cv.notify_all();
    };
    h.onError = [](std::int32_t code, const std::string& what) {
        std::fprintf(stderr, "encoder error %d: %s\n", code, what.c_str());
    };
    enc->setEventHandlers([](std::function<void()> fn) { fn(); }, h);

    const auto t0 = Clock::now();
    auto group = enc->sourceGroups()->add("SG_1");
    auto video = group->addSource(encoder::kSourceVideo);
    auto audio = group->addSource(encoder::kSourceAudio);
    video->setInput(source, "", "");
    audio->setInput(source, "", "");
    enc->file()->setLocalFileName(out);
    auto profiles = enc->profileCollection();
    profiles->refresh();
    for (std::int32_t i = 0; i < profiles->count(); ++i)
        if (auto p = profiles->item(i); p->name() == kProfile) {
            group->setProfile(p);
            break;
        }
    std::shared_ptr<encoder::DataView> dataView;
    std::int32_t cookie = 0;
    if (view) {
        dataView = encoder::create_data_view();
        cookie = video->addDataView(dataView);
    }
    enc->prepare(true);
    if (view) {
        dataView->setViewProperties(cookie, WindowHandle{1});
        dataView->startView(cookie);
    }
    markOut = std::min(markOut, video->duration());
    for (auto& s : {video, audio}) {
        s->setMarkIn(markIn);
        s->setMarkOut(markOut);
    }
    enc->start();
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return stopped; });
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

    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QDir(home.path()).mkdir(QStringLiteral("Shardex"));
    const std::string clip = home.path().toStdString() + "/clip.avi";
    const std::string make = "ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30000/1001 -f lavfi -i sine -t " +
                             std::to_string(length) + " -c:v mjpeg -c:a pcm_s16le '" + clip + "'";
    if (std::system(make.c_str()) != 0 || !std::filesystem::exists(clip)) {
        std::fprintf(stderr, "could not make the clip with ffmpeg\n");
        return 1;
    }

    Services s;
    s.dialogs = nullptr;
    s.createEncoder = [] { return encoder::create_local_encoder(); };
    s.createProfileEditor = [] { return encoder::create_profile_editor(); };
    s.createDataView = [] { return encoder::create_data_view(); };
    s.tickCount = [] { return platform::tick_count(); };
    s.sleep = [](std::uint32_t) {};
    s.browseComputers = [] { return std::vector<std::string>{}; };
    s.computerName = [] { return std::string("SRV"); };
    Form1 f(s);
    f.load();
    f.CommonDialog1.FileName = clip;
    f.CommonDialog1.FileTitle = "clip.avi";
    f.S.Local_OutFile = "clip_SX.wmv";
    f.S.Movie_Length = length * 1000;
    f.S.Source_SizeKB = static_cast<double>(std::filesystem::file_size(clip)) / 1024.0;
    f.local_load->setText(QStringLiteral("100"));
    f.remote_load->setText(QStringLiteral("0"));
    f.remote2_load->setText(QStringLiteral("0"));

    const std::string aloneOut = home.path().toStdString() + "/Shardex/alone.wmv";
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

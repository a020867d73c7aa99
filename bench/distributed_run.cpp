// A distributed run as the user makes it: the Server and one shardex-agent on 127.0.0.1
// (under the bench's own network certificates) encode a generated 60 s clip at loads 50/50/0
// through the window (offscreen, preview off), timed from Go until "Go" comes back. Against:
// two ffmpeg processes encoding the same two halves side by side with the same settings
// (one thread each), and a Server-only run of the whole clip through the window. Also, to
// show where the time goes: our encoder on both halves side by side in this process, the
// whole clip on the client alone (its Encode button), the processor time of each, and the
// steps of the fastest distributed run. Prints figures; asserts nothing.
//
//   distributed_run [ROUNDS]   rounds of every measurement (default 7); the best counts
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "platform/clock.h"
#include "platform/remote/network_certs.h"
#include "run/run_control.h"
#include "support/e2e.h"
#include "support/job.h"

using namespace shardex;
namespace support = shardex::testing;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// The settings of the encoder_vs_ffmpeg bench: its profile, its clip (at 60 s) and its
// ffmpeg command line with the same settings.
constexpr const char* kProfile = "Windows Media Video 8 for Broadband (NTSC, 1400 Kbps)";
constexpr int kLength = 60;  // seconds
constexpr int kHalf = kLength / 2;
constexpr const char* kServer = "SRV";
constexpr const char* kClient = "NODE1";
constexpr auto kRunLimit = std::chrono::seconds(300);  // any one encode or run

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double best(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

// Processor time (user + system) a process has used so far.
double cpu_of_pid(pid_t pid) { return support::figures_of(pid).cpuSeconds; }
double own_cpu() { return cpu_of_pid(::getpid()); }

std::string list(const std::vector<double>& v) {
    std::string s;
    char buf[32];
    for (double x : v) {
        std::snprintf(buf, sizeof buf, "%s%.2f", s.empty() ? "" : " ", x);
        s += buf;
    }
    return s;
}

// ---- child processes --------------------------------------------------------------------

// Waits for every child, at most `limit` after `t0`; those still running then are killed (by
// their pid). Each one's seconds from `t0` in `ended`; true when all ended with exit code 0.
bool wait_children(std::vector<std::unique_ptr<support::Process>>& kids, Clock::time_point t0, Clock::duration limit,
                   std::vector<double>& ended) {
    ended.assign(kids.size(), -1);
    bool ok = true;
    for (bool running = true; running;) {
        running = false;
        for (std::size_t i = 0; i < kids.size(); ++i) {
            if (ended[i] >= 0) continue;
            if (kids[i]->exited()) {
                ended[i] = seconds_since(t0);
                ok &= kids[i]->wait_exit(std::chrono::milliseconds(0)) == 0;
            } else if (Clock::now() > t0 + limit) {
                kids[i]->kill_now();
                ended[i] = seconds_since(t0);
                ok = false;
            } else {
                running = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ok;
}

// ffmpeg on [start, start + length) seconds of `src`, with the settings of our profile.
std::vector<std::string> ffmpeg_part(const std::string& src, int start, int length, const std::string& out) {
    return {"ffmpeg", "-v", "error", "-y", "-threads", "1", "-ss", std::to_string(start), "-t",
            std::to_string(length), "-i", src, "-threads", "1", "-c:v", "wmv2", "-b:v", "1336k", "-maxrate",
            "1336k", "-bufsize", "6680k", "-g", "150", "-bf", "0", "-pix_fmt", "yuv420p", "-s", "640x480", "-r",
            "30000/1001", "-sws_flags", "bicubic", "-c:a", "wmav2", "-b:a", "64k", "-ar", "44100", "-ac", "2",
            "-f", "asf", out};
}

// The two halves side by side; each ffmpeg's own time in `each` [0] and [1], its processor
// time in [2] and [3], that of both in `cpu`. Wall time, or -1.
double ffmpeg_halves(const std::string& src, const fs::path& dir, double each[4], double& cpu) {
    std::vector<std::unique_ptr<support::Process>> kids;
    const auto t0 = Clock::now();
    for (int i = 0; i < 2; ++i) {
        const std::string name = "ffmpeg" + std::to_string(i);
        kids.push_back(std::make_unique<support::Process>(support::Process::Options{
            ffmpeg_part(src, i * kHalf, kHalf, (dir / (name + ".wmv")).string()), dir / (name + ".log"), {}}));
        kids.back()->spawn();
    }
    std::vector<double> ended;
    const bool ok = wait_children(kids, t0, kRunLimit, ended);
    const double wall = seconds_since(t0);
    for (int i = 0; i < 2; ++i) {
        each[i] = ended[static_cast<std::size_t>(i)];
        each[2 + i] = kids[static_cast<std::size_t>(i)]->cpu_seconds();
    }
    cpu = each[2] + each[3];
    if (!ok) {
        std::fprintf(stderr, "an ffmpeg half failed:\n%s%s\n", kids[0]->log().c_str(), kids[1]->log().c_str());
        return -1;
    }
    return wall;
}

// ---- our encoder without the window -------------------------------------------------------

// One encoder set up as the Server's job sets it up, on [markIn, markOut) ms.
std::unique_ptr<support::Job> half(const std::string& source, const std::string& out, std::int32_t markIn,
                                   std::int32_t markOut) {
    auto job = support::make_job(source, out, kProfile);
    job->encoder->prepare(true);
    for (auto& s : {job->video, job->audio}) {
        s->setMarkIn(markIn);
        s->setMarkOut(std::min(markOut, job->video->duration()));
    }
    return job;
}

// Both halves by our encoder side by side in this process, from set-up until both stopped;
// the processor time used in `cpu`.
double encoder_halves(const std::string& src, const fs::path& dir, double& cpu) {
    const double cpu0 = own_cpu();
    const auto t0 = Clock::now();
    auto a = half(src, (dir / "alone0.wmv").string(), 0, kHalf * 1000);
    auto b = half(src, (dir / "alone1.wmv").string(), kHalf * 1000, kLength * 1000);
    a->encoder->start();
    b->encoder->start();
    // Each waits on its own events; the other's worker runs on meanwhile.
    if (!a->events.waitStopped(std::chrono::seconds(300)) || !b->events.waitStopped(std::chrono::seconds(300))) {
        std::fprintf(stderr, "our encoder did not finish the halves in time\n");
        return -1;
    }
    const double wall = seconds_since(t0);
    cpu = own_cpu() - cpu0;
    return wall;
}

// ---- the window ----------------------------------------------------------------------------

// What the window's thread spends on the network during one run, from the services it calls.
struct NetworkCosts {
    double connect = 0;  // sessions opened with the agent
    double share = 0;    // offering the source
    double pause = 0;    // the pause after a client's start
    double copy = 0;     // the copy of the client's output
};

struct RunFigures {
    double total = -1;       // Go until "Go" came back
    double setUp = 0;        // Go's own call: every slot set up, on the window's thread
    double serverDone = -1;  // the Server's segment ended
    double clientDone = -1;  // the client's encoder said "stopped" (before its output was copied)
    double serverCpu = 0;    // processor time of this process (window, share, the Server's encoder)
    double agentCpu = 0;     // processor time of the agent (its encoder, share reads, session)
    NetworkCosts costs;
};

using support::success;

// The runs timed through the window.
enum class Run {
    Distributed,  // Go at 50/50/0
    ServerOnly,   // Go at 100/0/0
    ClientOnly,   // client 1's Encode button: the whole clip on the agent
};

// Presses the run's button; waits (bounded) for its caption to come back. Figures, or
// total -1 after a failure.
RunFigures window_run(Form1& f, NetworkCosts& costs, support::FakeDialogs& dialogs, pid_t agentPid, Run run) {
    const bool withServer = run != Run::ClientOnly;
    const bool withClient = run != Run::ServerOnly;
    f.local_load->setText(run == Run::Distributed ? QStringLiteral("50") : QStringLiteral("100"));
    f.remote_load->setText(run == Run::Distributed ? QStringLiteral("50") : QStringLiteral("0"));
    f.remote2_load->setText(QStringLiteral("0"));
    QPushButton* button = withServer ? f.Cmd_Go : f.Cmd_Remote_Encode;
    const QString caption = button->text();
    void (*press)(Form1&) = withServer ? Cmd_Go_Click : Cmd_Remote_Encode_Click;
    f.S.Post_View = kFalse;
    costs = {};
    dialogs.shown.clear();

    RunFigures r;
    // Notes when each slot ends; it also fires inside the copy's own event processing.
    QTimer watch;
    watch.setInterval(20);
    Clock::time_point t0;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (withServer && r.serverDone < 0 && f.S.Local_Running == kFalse) r.serverDone = seconds_since(t0);
        if (withClient && r.clientDone < 0 && f.S.Remote_Running == kFalse) r.clientDone = seconds_since(t0);
    });

    const double cpu0 = own_cpu(), agentCpu0 = cpu_of_pid(agentPid);
    t0 = Clock::now();
    press(f);
    r.setUp = seconds_since(t0);
    watch.start();
    const auto until = t0 + kRunLimit;
    while (button->text() != caption && Clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double total = seconds_since(t0);
    r.serverCpu = own_cpu() - cpu0;
    r.agentCpu = cpu_of_pid(agentPid) - agentCpu0;
    watch.stop();
    r.costs = costs;

    if (button->text() != caption) {
        std::fprintf(stderr, "the run did not end within %lld s; stopping it\n",
                     static_cast<long long>(kRunLimit.count()));
        press(f);  // Stop
        const auto stopUntil = Clock::now() + std::chrono::seconds(30);
        while (button->text() != caption && Clock::now() < stopUntil)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return r;
    }
    const bool ok = dialogs.shown.empty() && (!withServer || success(f.Local_Status)) &&
                    (!withClient || success(f.Remote_Status));
    if (!ok) {
        std::fprintf(stderr, "the run did not succeed: Server \"%s\", client \"%s\"\n",
                     f.Local_Status->text().toStdString().c_str(), f.Remote_Status->text().toStdString().c_str());
        for (const auto& m : dialogs.shown) std::fprintf(stderr, "  message: %s\n", m.text.c_str());
        return r;
    }
    r.total = total;
    return r;
}

int bench(int rounds) {
    support::TempDir dir("shardex-bench");
    const fs::path root = dir.path();
    support::HomeAt home(root);
    const fs::path work = root / "work";  // ffmpeg's and our encoder's outputs outside the window
    fs::create_directories(work);
    const std::string clip = (root / "clip.avi").string();
    std::fprintf(stderr, "making a %d s 640x480 clip (MJPEG, PCM)...\n", kLength);
    support::make_test_clip(clip, kLength, "640x480");
    const fs::path network = root / "network";
    remote::init_network(network);
    auto agentOptions = support::AgentProcess::at(kClient, root / "node1", network);
    agentOptions.extra = {"--headless"};
    support::AgentProcess agent(agentOptions);
    if (!agent.start()) {
        std::fprintf(stderr, "shardex-agent did not start:\n%s\n", agent.log().c_str());
        return 1;
    }

    // The window on the production services, each network service timed as the window calls it.
    support::ServerWindow w({network.string(), "", {std::string(kClient) + "=" + agent.endpoint()}, "127.0.0.1:0", kServer});
    NetworkCosts costs;
    const auto timed = [&costs](double NetworkCosts::*cost, auto call) {
        return [&costs, cost, call](auto&&... args) {
            const auto t0 = Clock::now();
            struct Add {
                NetworkCosts& c;
                double NetworkCosts::*cost;
                Clock::time_point t0;
                ~Add() { c.*cost += seconds_since(t0); }
            } add{costs, cost, t0};
            return call(std::forward<decltype(args)>(args)...);
        };
    };
    Services& s = w.f->services;
    s.sleep = timed(&NetworkCosts::pause, [](std::uint32_t ms) { platform::sleep_ms(ms); });
    s.createAgent = timed(&NetworkCosts::connect, s.createAgent);
    s.shareSource = timed(&NetworkCosts::share, s.shareSource);
    s.copyFromClient = timed(&NetworkCosts::copy, s.copyFromClient);
    Form1* f = w.f.get();
    support::FakeDialogs* dialogs = w.dialogs.get();
    if (f->S.Client1_Computer != kClient) {
        std::fprintf(stderr, "the window offers \"%s\" as client 1, not %s\n", f->S.Client1_Computer.c_str(), kClient);
        return 1;
    }
    std::string why = w.choose_profile(kProfile);
    if (why.empty()) why = w.choose(clip, "50", "50", "0");
    if (!why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }

    std::vector<double> distributed, pair, whole, ours, ffmpegEach[2];
    std::vector<double> cpuDistributed, cpuAgent, cpuPair, cpuWhole, cpuOurs;
    std::vector<double> clientWhole, cpuClientWhole, cpuClientServer, cpuHalf[2];
    std::vector<RunFigures> figures;
    for (int round = 0; round < rounds; ++round) {
        std::fprintf(stderr, "round %d of %d...\n", round + 1, rounds);
        double each[4];
        double cpu = 0;
        const double p = ffmpeg_halves(clip, work, each, cpu);
        if (p < 0) return 1;
        cpuPair.push_back(cpu);
        cpuHalf[0].push_back(each[2]);
        cpuHalf[1].push_back(each[3]);
        pair.push_back(p);
        ffmpegEach[0].push_back(each[0]);
        ffmpegEach[1].push_back(each[1]);

        const RunFigures d = window_run(*f, costs, *dialogs, agent.pid(), Run::Distributed);
        if (d.total < 0) {
            std::fprintf(stderr, "agent log:\n%s\n", agent.log().c_str());
            return 1;
        }
        if (f->S.Local_SegStart != 0 || f->S.Local_SegEnd != kHalf * 1000 || f->S.Remote_SegStart != kHalf * 1000 ||
            f->S.Remote_SegEnd > kLength * 1000) {
            std::fprintf(stderr, "unexpected segments [%d, %d) and [%d, %d)\n", f->S.Local_SegStart,
                         f->S.Local_SegEnd, f->S.Remote_SegStart, f->S.Remote_SegEnd);
            return 1;
        }
        distributed.push_back(d.total);
        cpuDistributed.push_back(d.serverCpu + d.agentCpu);
        cpuAgent.push_back(d.agentCpu);
        figures.push_back(d);

        const RunFigures w = window_run(*f, costs, *dialogs, agent.pid(), Run::ServerOnly);
        if (w.total < 0) return 1;
        cpuWhole.push_back(w.serverCpu);

        const RunFigures c = window_run(*f, costs, *dialogs, agent.pid(), Run::ClientOnly);
        if (c.total < 0) {
            std::fprintf(stderr, "agent log:\n%s\n", agent.log().c_str());
            return 1;
        }
        clientWhole.push_back(c.total);
        cpuClientWhole.push_back(c.serverCpu + c.agentCpu);
        cpuClientServer.push_back(c.serverCpu);
        whole.push_back(w.total);

        const double e = encoder_halves(clip, work, cpu);
        if (e < 0) return 1;
        cpuOurs.push_back(cpu);
        ours.push_back(e);
    }
    const std::string serverStatus = f->Local_Status->text().toStdString();

    // The best distributed round, to show where its time went.
    const auto fastest = std::min_element(figures.begin(), figures.end(),
                                          [](const RunFigures& a, const RunFigures& b) { return a.total < b.total; });
    const RunFigures& d = *fastest;
    const double bestDistributed = best(distributed), bestPair = best(pair), bestWhole = best(whole);

    std::printf("distributed_run ratio (Server+1 agent at 50/50 / two ffmpeg halves side by side): %.3f "
                "(target <= 1.10)\n",
                bestDistributed / bestPair);
    std::printf("speedup over one whole-file encode: %.2f\n", bestWhole / bestDistributed);
    std::printf("clip: %d s 640x480 29.97 fps MJPEG + PCM stereo; profile %s; one codec thread everywhere; "
                "%d rounds, the best of each counts\n",
                kLength, kProfile, rounds);
    std::printf("Server+1 agent at 50/50, Go to \"Go\":      best %.3f s, median %.3f s  [%s]\n", bestDistributed,
                median(distributed), list(distributed).c_str());
    std::printf("two ffmpeg halves side by side (wall):     best %.3f s, median %.3f s  [%s]\n", bestPair,
                median(pair), list(pair).c_str());
    std::printf("  first half alone finished after:         best %.3f s; second half: best %.3f s\n",
                best(ffmpegEach[0]), best(ffmpegEach[1]));
    std::printf("Server only at 100/0, whole clip:          best %.3f s, median %.3f s  [%s]\n", bestWhole,
                median(whole), list(whole).c_str());
    std::printf("client only (its Encode button), whole clip: best %.3f s, median %.3f s  [%s]; %.3f x the "
                "Server-only run\n",
                best(clientWhole), median(clientWhole), list(clientWhole).c_str(), best(clientWhole) / bestWhole);
    std::printf("our encoder, both halves side by side in one process: best %.3f s, median %.3f s  [%s]\n",
                best(ours), median(ours), list(ours).c_str());
    // Each round's runs follow each other closely, so they share the machine's other load.
    std::vector<double> roundRatios, roundSpeedups;
    for (std::size_t i = 0; i < distributed.size(); ++i) {
        roundRatios.push_back(distributed[i] / pair[i]);
        roundSpeedups.push_back(whole[i] / distributed[i]);
    }
    std::printf("ratio with the median of each: %.3f; median of the rounds' own ratios: %.3f [%s]; speedup with "
                "the medians: %.2f, median of the rounds' own: %.2f\n",
                median(distributed) / median(pair), median(roundRatios), list(roundRatios).c_str(),
                median(whole) / median(distributed), median(roundSpeedups));
    std::printf("ratio our encoder's halves side by side / ffmpeg's: %.3f; distributed run / our halves: %.3f\n",
                best(ours) / bestPair, bestDistributed / best(ours));
    std::printf("the fastest distributed run, seconds after Go: Go's set-up returned %.3f (agent session %.3f, "
                "share %.3f, pause %.3f, the rest of both set-ups %.3f); Server's half ended %.3f; client's half "
                "ended %.3f; its output copied in %.3f; \"Go\" back %.3f\n",
                d.setUp, d.costs.connect, d.costs.share, d.costs.pause,
                d.setUp - d.costs.connect - d.costs.share - d.costs.pause, d.serverDone, d.clientDone, d.costs.copy,
                d.total);
    std::printf("processor time (user + system), median: distributed run %.3f s (agent %.3f s); our halves in "
                "one process %.3f s; ffmpeg halves %.3f s; Server-only whole clip %.3f s\n",
                median(cpuDistributed), median(cpuAgent), median(cpuOurs), median(cpuPair), median(cpuWhole));
    std::printf("processor time, median: client-only whole clip %.3f s (of which the Server's share and window "
                "%.3f s); ffmpeg's first half %.3f s, second half %.3f s\n",
                median(cpuClientWhole), median(cpuClientServer), median(cpuHalf[0]), median(cpuHalf[1]));
    std::printf("last Server-only status: %s\n", serverStatus.c_str());

    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    return bench(rounds);
}

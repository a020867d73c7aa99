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
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "platform/clock.h"
#include "platform/encoder/factory.h"
#include "platform/media/factory.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "profiles/profile_catalogue.h"
#include "run/run_control.h"
#include "source/preview_player.h"
#include "source/source_selection.h"
#include "support/agent_process.h"
#include "support/fake_dialogs.h"
#include "support/real_services.h"

extern char** environ;

using namespace shardex;
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

double cpu_of(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Processor time (user + system) this process has used so far.
double own_cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpu_of(u);
}

// Processor time another process has used so far, from /proc; 0 when it cannot be read.
double cpu_of_pid(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');  // the command name may hold spaces
    if (close == std::string::npos) return 0;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

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

struct Child {
    pid_t pid = 0;
    double seconds = -1;  // from the common start until it ended
    int exitCode = -1;
    double cpu = 0;  // processor time it used
};

// Starts `args` with standard output to /dev/null and errors to `errFile`; pid 0 on failure.
pid_t spawn(const std::vector<std::string>& args, const std::string& errFile) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for every child, at most `limit` after `t0`; those still running then are killed
// (by their pid) and count as failed. True when all ended with exit code 0.
bool wait_children(std::vector<Child>& kids, Clock::time_point t0, Clock::duration limit) {
    const auto until = t0 + limit;
    for (;;) {
        bool running = false;
        for (auto& k : kids) {
            if (k.pid == 0 || k.seconds >= 0) continue;
            int status = 0;
            rusage usage{};
            if (wait4(k.pid, &status, WNOHANG, &usage) == k.pid) {
                k.seconds = seconds_since(t0);
                k.cpu = cpu_of(usage);
                k.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else {
                running = true;
            }
        }
        if (!running) break;
        if (Clock::now() > until) {
            for (auto& k : kids)
                if (k.pid != 0 && k.seconds < 0) {
                    ::kill(k.pid, SIGKILL);
                    waitpid(k.pid, nullptr, 0);
                    k.exitCode = -1;
                }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::all_of(kids.begin(), kids.end(), [](const Child& k) { return k.pid != 0 && k.exitCode == 0; });
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
    std::vector<Child> kids(2);
    const auto t0 = Clock::now();
    for (int i = 0; i < 2; ++i)
        kids[i].pid = spawn(ffmpeg_part(src, i * kHalf, kHalf, (dir / ("ffmpeg" + std::to_string(i) + ".wmv")).string()),
                            (dir / ("ffmpeg" + std::to_string(i) + ".log")).string());
    const bool ok = wait_children(kids, t0, kRunLimit);
    const double wall = seconds_since(t0);
    for (int i = 0; i < 2; ++i) each[i] = kids[i].seconds;
    each[2] = kids[0].cpu;
    each[3] = kids[1].cpu;
    cpu = kids[0].cpu + kids[1].cpu;
    if (!ok) {
        std::fprintf(stderr, "an ffmpeg half failed (exit codes %d, %d)\n", kids[0].exitCode, kids[1].exitCode);
        for (int i = 0; i < 2; ++i) {
            std::ifstream log(dir / ("ffmpeg" + std::to_string(i) + ".log"));
            std::stringstream text;
            text << log.rdbuf();
            std::fprintf(stderr, "%s", text.str().c_str());
        }
        return -1;
    }
    return wall;
}

// ---- our encoder without the window -------------------------------------------------------

// One encoder configured as the Server's job configures it, on [markIn, markOut) ms.
class Encode {
public:
    Encode(const std::string& source, const std::string& out, std::int32_t markIn, std::int32_t markOut)
        : enc_(encoder::create_local_encoder()) {
        encoder::EventHandlers h;
        h.onStateChange = [this](std::int32_t s) {
            if (s != encoder::kStateStopped) return;
            std::lock_guard lock(m_);
            stopped_ = true;
            at_ = Clock::now();
            cv_.notify_all();
        };
        h.onError = [](std::int32_t code, const std::string& what) {
            std::fprintf(stderr, "encoder error %d: %s\n", code, what.c_str());
        };
        enc_->setEventHandlers([](std::function<void()> fn) { fn(); }, h);
        auto group = enc_->sourceGroups()->add("SG_1");
        video_ = group->addSource(encoder::kSourceVideo);
        audio_ = group->addSource(encoder::kSourceAudio);
        video_->setInput(source, "", "");
        audio_->setInput(source, "", "");
        enc_->file()->setLocalFileName(out);
        auto profiles = enc_->profileCollection();
        profiles->refresh();
        for (std::int32_t i = 0; i < profiles->count(); ++i)
            if (auto p = profiles->item(i); p->name() == kProfile) {
                group->setProfile(p);
                break;
            }
        enc_->prepare(true);
        markOut = std::min(markOut, video_->duration());
        for (auto& s : {video_, audio_}) {
            s->setMarkIn(markIn);
            s->setMarkOut(markOut);
        }
    }
    void start() { enc_->start(); }
    // When it stopped, or nothing after `until`.
    std::optional<Clock::time_point> wait(Clock::time_point until) {
        std::unique_lock lock(m_);
        if (!cv_.wait_until(lock, until, [&] { return stopped_; })) return std::nullopt;
        return at_;
    }
    void stop() { enc_->stop(); }

private:
    std::shared_ptr<encoder::Encoder> enc_;
    std::shared_ptr<encoder::Source> video_, audio_;
    std::mutex m_;
    std::condition_variable cv_;
    bool stopped_ = false;
    Clock::time_point at_;
};

// Both halves by our encoder side by side in this process, from set-up until both stopped;
// the processor time used in `cpu`.
double encoder_halves(const std::string& src, const fs::path& dir, double& cpu) {
    const double cpu0 = own_cpu();
    const auto t0 = Clock::now();
    Encode a(src, (dir / "alone0.wmv").string(), 0, kHalf * 1000);
    Encode b(src, (dir / "alone1.wmv").string(), kHalf * 1000, kLength * 1000);
    a.start();
    b.start();
    const auto until = t0 + kRunLimit;
    const auto ea = a.wait(until);
    const auto eb = b.wait(until);
    if (!ea || !eb) {
        std::fprintf(stderr, "our encoder did not finish the halves in time\n");
        a.stop();
        b.stop();
        a.wait(Clock::now() + std::chrono::seconds(30));
        b.wait(Clock::now() + std::chrono::seconds(30));
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

bool success(const QLabel* status) {
    static const QRegularExpression re(QStringLiteral("^Status:  Success \\d*\\.\\d to 1$"));
    return re.match(status->text()).hasMatch();
}

// The runs timed through the window.
enum class Run {
    Distributed,  // Go at 50/50/0
    ServerOnly,   // Go at 100/0/0
    ClientOnly,   // client 1's Encode button: the whole clip on the agent
};

// Presses the run's button; waits (bounded) for its caption to come back. Figures, or
// total -1 after a failure.
RunFigures window_run(Form1& f, NetworkCosts& costs, testing::FakeDialogs& dialogs, pid_t agentPid, Run run) {
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
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const fs::path root = dir.path().toStdString();
    qputenv("HOME", dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toLocal8Bit());
    fs::create_directories(root / "Shardex");
    fs::create_directories(root / "config");
    const fs::path work = root / "work";  // ffmpeg's and our encoder's outputs outside the window
    fs::create_directories(work);

    const std::string clip = (root / "clip.avi").string();
    std::fprintf(stderr, "making a %d s 640x480 clip (MJPEG, PCM)...\n", kLength);
    {
        const std::string d = std::to_string(kLength);
        std::vector<Child> gen(1);
        const auto t0 = Clock::now();
        gen[0].pid = spawn({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc2=s=640x480:r=30000/1001:d=" + d, "-f", "lavfi", "-i", "sine=d=" + d + ":r=44100",
                            "-ac", "2", "-c:v", "mjpeg", "-q:v", "3", "-c:a", "pcm_s16le", clip},
                           (work / "make.log").string());
        if (!wait_children(gen, t0, std::chrono::seconds(300)) || !fs::exists(clip)) {
            std::fprintf(stderr, "ffmpeg could not make the clip\n");
            return 1;
        }
    }

    const fs::path network = root / "network";
    remote::init_network(network);

    // The client: its own Shardex folder, configuration and log.
    const fs::path node = root / "node1";
    fs::create_directories(node / "Shardex");
    fs::create_directories(node / "config");
    testing::AgentProcess agent({SHARDEX_AGENT_PATH, kClient, node / "Shardex", network, node / "agent.log",
                                 "127.0.0.1:0", {"--headless"},
                                 {"XDG_CONFIG_HOME=" + (node / "config").string(), "HOME=" + node.string()}});
    if (!agent.start()) {
        std::fprintf(stderr, "shardex-agent did not start:\n%s\n", agent.log().c_str());
        return 1;
    }

    auto dialogs = std::make_shared<testing::FakeDialogs>();
    NetworkCosts costs;
    auto s = testing::real_services(dialogs, kServer, {kClient, kServer});
    s.sleep = [&costs](std::uint32_t ms) {
        const auto t0 = Clock::now();
        platform::sleep_ms(ms);
        costs.pause += seconds_since(t0);
    };
    remote::NetworkOptions o;
    o.networkFolder = network;
    o.peersFile = root / "no-peers";
    o.peers = {std::string(kClient) + "=" + agent.endpoint()};
    o.shareListen = "127.0.0.1:0";
    o.serverName = kServer;
    auto net = std::make_shared<remote::RemoteNetwork>(o);
    s.createAgent = [net, &costs](const std::string& c) {
        const auto t0 = Clock::now();
        auto a = net->connectAgent(c);
        costs.connect += seconds_since(t0);
        return a;
    };
    s.shareSource = [net, &costs](const std::string& p) {
        const auto t0 = Clock::now();
        net->shareSource(p);
        costs.share += seconds_since(t0);
    };
    s.copyFromClient = [net, &costs](const std::string& c, const std::string& name, const std::string& target,
                                     const std::function<bool(std::int64_t, std::int64_t)>& progress) {
        const auto t0 = Clock::now();
        net->copyFromClient(c, name, target, progress);
        costs.copy += seconds_since(t0);
    };

    auto f = std::make_unique<Form1>(s);
    f->load();
    if (f->S.Client1_Computer != kClient) {
        std::fprintf(stderr, "the window offers \"%s\" as client 1, not %s\n", f->S.Client1_Computer.c_str(), kClient);
        return 1;
    }
    const int profile = f->Combo_Profile->findText(QString::fromLatin1(kProfile));
    if (profile < 0) {
        std::fprintf(stderr, "the window does not offer the profile %s\n", kProfile);
        return 1;
    }
    f->Combo_Profile->setCurrentIndex(profile);
    Combo_Profile_Click(*f);
    dialogs->nextOpenPath = clip;
    Cmd_File_Click(*f);
    Cmd_Stop_Click(*f);  // the preview starts playing the chosen file; Go would stop it too
    if (f->CommonDialog1.FileName != clip || !dialogs->shown.empty()) {
        std::fprintf(stderr, "the window did not take the clip%s\n",
                     dialogs->shown.empty() ? "" : (": " + dialogs->shown.front().text).c_str());
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

    f.reset();
    net.reset();
    agent.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    return bench(rounds);
}

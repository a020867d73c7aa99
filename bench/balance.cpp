// Loads from measured speeds against equal loads: the Server and two shardex-agent processes
// on 127.0.0.1, NODE2 held to a quarter of a processor by the kernel's CPU controller, encode
// a generated clip through the window (offscreen, preview off), once at 34/33/33 and once
// at the loads Balance sets. Prints each segment's end (seconds from Go), the spread of the
// ends as a share of the run, and the balanced run's time over the equal run's. Then NODE1 is
// killed at 30% of its segment in a balanced run, whose time is printed against the run
// without loss. Asserts nothing.
//
//   balance [SECONDS]   the clip's length (default 60)
//
// The bench makes its own control group (cgroup v2 cpu.max, or v1 cpu.cfs_quota_us, as root)
// and removes it; without one it says so and runs NODE2 unlimited.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/form1.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "run/balance.h"
#include "run/run_control.h"
#include "source/preview_player.h"
#include "source/source_selection.h"
#include "support/e2e.h"
#include "support/qt_wait.h"

using namespace shardex;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace support = shardex::testing;

namespace {

bool write(const fs::path& p, const std::string& text) {
    std::ofstream out(p);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// A control group of the bench's own that holds its processes to a share of one processor.
class CpuLimit {
public:
    CpuLimit(int percent) {
        const std::string name = "shardex-bench-" + std::to_string(getpid());
        std::error_code ec;
        if (fs::exists("/sys/fs/cgroup/cgroup.controllers") && fs::create_directory("/sys/fs/cgroup/" + name, ec) &&
            write("/sys/fs/cgroup/" + name + "/cpu.max", std::to_string(percent * 1000) + " 100000")) {
            dir_ = "/sys/fs/cgroup/" + name;
            procs_ = dir_ / "cgroup.procs";
        } else if (fs::exists("/sys/fs/cgroup/cpu/cpu.cfs_quota_us") &&
                   fs::create_directory("/sys/fs/cgroup/cpu/" + name, ec) &&
                   write("/sys/fs/cgroup/cpu/" + name + "/cpu.cfs_period_us", "100000") &&
                   write("/sys/fs/cgroup/cpu/" + name + "/cpu.cfs_quota_us", std::to_string(percent * 1000))) {
            dir_ = "/sys/fs/cgroup/cpu/" + name;
            procs_ = dir_ / "cgroup.procs";
        } else {
            std::error_code e;
            if (!name.empty()) fs::remove("/sys/fs/cgroup/" + name, e), fs::remove("/sys/fs/cgroup/cpu/" + name, e);
        }
    }
    ~CpuLimit() {
        std::error_code ec;
        if (!dir_.empty()) fs::remove(dir_, ec);  // empty once its processes ended
        if (!dir_.empty()) std::fprintf(stderr, "removed the control group %s%s\n", dir_.c_str(), ec ? " (failed)" : "");
    }
    const fs::path& dir() const { return dir_; }
    bool add(pid_t pid) const { return !procs_.empty() && write(procs_, std::to_string(pid)); }

private:
    fs::path dir_, procs_;
};

struct RunEnds {
    std::array<double, 3> end{};  // seconds from Go to each slot's end
    double total = 0;             // seconds from Go until Go comes back
};

// Presses Go and follows the run: when each slot ends (its last end, for a re-encoded
// segment) and when Go comes back. `during` runs on every look.
RunEnds timed_run(Form1& f, const std::function<void(double)>& during = {}) {
    RunEnds r;
    const auto t0 = Clock::now();
    Cmd_Go_Click(f);
    const VbBool* running[] = {&f.S.Local_Running, &f.S.Remote_Running, &f.S.Remote2_Running};
    support::wait_until(
        [&] {
            const double now = std::chrono::duration<double>(Clock::now() - t0).count();
            for (int i = 0; i < 3; ++i)
                if (*running[i] != kFalse) r.end[i] = 0;
                else if (r.end[i] == 0) r.end[i] = now;
            if (during) during(now);
            r.total = now;
            return f.Cmd_Go->text() == QStringLiteral("Go");
        },
        1800000);
    return r;
}

void print(const char* what, const RunEnds& r) {
    const auto [lo, hi] = std::minmax_element(r.end.begin(), r.end.end());
    std::printf("%-14s ends SRV %6.2f s  NODE1 %6.2f s  NODE2 %6.2f s   run %6.2f s   spread %5.1f%% of the run\n", what,
                r.end[0], r.end[1], r.end[2], r.total, r.total > 0 ? (*hi - *lo) / r.total * 100 : 0);
}

int bench(int seconds) {
    support::TempDir dir("shardex-balance");
    const fs::path root = dir.path();
    support::HomeAt home(root);
    const std::string clip = (root / "clip.avi").string();
    support::run("timeout 300 ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30000/1001 -f lavfi -i sine "
                 "-t " + std::to_string(seconds) + " -c:v mjpeg -q:v 5 -c:a pcm_s16le '" + clip + "'");
    if (!fs::exists(clip)) return std::fprintf(stderr, "ffmpeg could not make the clip\n"), 1;
    const fs::path network = root / "network";
    remote::init_network(network);

    CpuLimit limit(25);
    std::unique_ptr<support::AgentProcess> nodes[2];
    for (int n : {1, 2}) {
        auto o = support::AgentProcess::at("NODE" + std::to_string(n), root / ("node" + std::to_string(n)), network);
        o.extra = {"--headless"};
        nodes[n - 1] = std::make_unique<support::AgentProcess>(o);
        if (!nodes[n - 1]->start())
            return std::fprintf(stderr, "shardex-agent did not start:\n%s\n", nodes[n - 1]->log().c_str()), 1;
    }
    if (limit.add(nodes[1]->pid()))
        std::printf("NODE2 is held to 25%% of a processor by the control group %s\n", limit.dir().c_str());
    else
        std::printf("no control group could be made (not root, or no CPU controller): NODE2 runs unlimited\n");

    // The window on the production services, reaching the two agents through peers entries.
    auto w = std::make_unique<support::ServerWindow>(NetworkSettings{
        network.string(), "", {"NODE1=" + nodes[0]->endpoint(), "NODE2=" + nodes[1]->endpoint()}, "127.0.0.1:0", "SRV"});
    Form1* f = w->f.get();
    const std::string chosen = w->choose(clip, "34", "33", "33");
    if (!chosen.empty()) return std::fprintf(stderr, "the window refused the clip: %s\n", chosen.c_str()), 1;
    f->S.Post_View = kFalse;
    auto loads = [&](const char* a, const char* b, const char* c) {
        f->local_load->setText(QString::fromLatin1(a));
        f->remote_load->setText(QString::fromLatin1(b));
        f->remote2_load->setText(QString::fromLatin1(c));
    };

    loads("34", "33", "33");
    const RunEnds equal = timed_run(*f);
    print("34/33/33", equal);

    const auto b0 = Clock::now();
    Cmd_Balance_Click(*f);
    const double measure = std::chrono::duration<double>(Clock::now() - b0).count();
    const std::string balanced = f->local_load->text().toStdString() + "/" + f->remote_load->text().toStdString() +
                                 "/" + f->remote2_load->text().toStdString();
    std::printf("Balance measured in %.2f s: %s   loads %s\n", measure, f->Label_Balance->text().toStdString().c_str(),
                balanced.c_str());
    const RunEnds even = timed_run(*f);
    print(balanced.c_str(), even);
    std::printf("balanced run / equal run: %.3f\n", equal.total > 0 ? even.total / equal.total : 0);

    // The balanced run again, NODE1 killed at 30% of its segment.
    bool killed = false;
    const RunEnds lost = timed_run(*f, [&](double) {
        if (killed || !f->S.Remote_Encoder || f->S.Remote_Running == kFalse) return;
        try {
            if (f->S.Remote_Encoder->statistics()->archiveFileDuration().raw > f->S.Remote_SegLength * 3 / 10) {
                nodes[0]->signal(SIGKILL);
                killed = true;
            }
        } catch (const std::exception&) {
        }
    });
    print("NODE1 killed", lost);
    std::printf("run with NODE1 lost / run without loss: %.3f%s\n", even.total > 0 ? lost.total / even.total : 0,
                killed ? "" : " (NODE1 was not killed: its segment ended first)");
    for (const auto& m : w->dialogs->shown) std::printf("message: %s\n", m.text.c_str());
    w.reset();
    nodes[0].reset();
    nodes[1].reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return bench(argc > 1 ? std::max(5, std::atoi(argv[1])) : 60);
}

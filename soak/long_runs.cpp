// Long runs: 30 distributed runs in a row in one window (this process is the Server: its
// window, share and encoder) with the same two loopback agents. Every run must succeed with
// outputs whose frames add up to the source's; and the resident memory, open descriptors
// and threads of the Server and of each agent must be no higher after the last run than
// after the third (memory with a small slack, see kMemorySlack*).
//
//   soak_long_runs [RUNS]   (default 30, at least 4)
#include <algorithm>
#include <cinttypes>

#include "soak_support.h"

using namespace shardex;
using namespace shardex::soak;

namespace {

constexpr const char* kCheck = "long-runs";
constexpr const char* kProfile = "Windows Media Video 8 for Local Area Network (384 Kbps)";
constexpr auto kRunLimit = std::chrono::seconds(120);
constexpr int kBaselineRun = 3;  // the first runs fill caches, pools and arenas

// Resident memory may end higher than at the baseline by this much without counting as a
// leak. tools/soak.sh runs the processes with MALLOC_ARENA_MAX=2: with glibc's default of
// up to eight arenas a core, each run's new encoder and gRPC threads may open another arena
// that keeps its freed blocks, and the Server's resident size climbs by about 30 MiB over
// the first 17 runs before it levels off, which says nothing about live memory. With two
// arenas what remains is the allocator keeping some freed blocks: an agent's resident size
// wanders by up to 6 MiB between runs (measured). A leak of 300 KiB a run shows as more
// than 8 MiB over the 27 runs after the baseline, and the slope printed per process grows
// with it.
constexpr long kMemorySlackKB = 8 * 1024;
constexpr double kMemorySlackShare = 0.03;

struct Process {
    std::string name;
    pid_t pid;
    std::vector<ProcessFigures> afterRun;  // index 0: after run 1
    std::string baselineThreads;           // the threads' names after the baseline run
};

// Least-squares growth of resident memory per run, in KiB, from the baseline on.
double slope_kb(const std::vector<ProcessFigures>& v) {
    const std::size_t from = kBaselineRun - 1;
    if (v.size() < from + 2) return 0;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = from; i < v.size(); ++i) {
        const double x = static_cast<double>(i), y = static_cast<double>(v[i].rssKB);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    return (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

// Lets the window's queued events and the agents' finished calls settle, then measures each
// process a few times: descriptors and threads as their lowest count (gRPC starts a thread
// for a burst of calls and ends it when idle; a leaked one stays), memory as the last.
void settle_and_measure(std::vector<Process>& procs) {
    std::vector<ProcessFigures> low(procs.size());
    for (int sample = 0; sample < 5; ++sample) {
        const auto until = Clock::now() + std::chrono::milliseconds(400);
        while (Clock::now() < until) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        for (std::size_t i = 0; i < procs.size(); ++i) {
            const ProcessFigures f = figures_of(procs[i].pid);
            low[i].rssKB = f.rssKB;
            low[i].fds = sample == 0 ? f.fds : std::min(low[i].fds, f.fds);
            low[i].threads = sample == 0 ? f.threads : std::min(low[i].threads, f.threads);
        }
    }
    for (std::size_t i = 0; i < procs.size(); ++i) procs[i].afterRun.push_back(low[i]);
}

int run_check(int runs) {
    const auto t0 = Clock::now();
    TempFolder folder("shardex-soak-long");
    if (!folder.valid()) return report(kCheck, "", "no temporary folder") ? 0 : 1;
    const fs::path root = folder.path();

    const std::string clip = (root / "clip.avi").string();
    if (!shell_ok("timeout 120 ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30000/1001 -f lavfi -i "
                  "sine=r=44100 -ac 2 -t 6 -c:v mjpeg -c:a pcm_s16le '" + clip + "'"))
        return report(kCheck, "", "ffmpeg could not make the clip") ? 0 : 1;
    const int sourceFrames = frame_count(clip);

    const fs::path network = root / "network";
    remote::init_network(network);
    Agents agents;
    if (auto why = agents.start(root, network); !why.empty()) return report(kCheck, "", why) ? 0 : 1;

    use_home(root / "server");
    ServerWindow w("SRV", network, root / "server", agents.peers());
    if (auto why = w.setUp(kProfile); !why.empty()) return report(kCheck, "", why) ? 0 : 1;
    if (auto why = w.choose(clip); !why.empty()) return report(kCheck, "", why) ? 0 : 1;

    std::vector<Process> procs = {{"server", getpid(), {}, {}},
                                  {"NODE1", agents.node[0]->pid(), {}, {}},
                                  {"NODE2", agents.node[1]->pid(), {}, {}}};
    std::vector<double> seconds;
    std::string failure;
    for (int run = 1; run <= runs && failure.empty(); ++run) {
        const RunResult r = w.go("34", "33", "33", kRunLimit);
        seconds.push_back(r.seconds);
        if (!r.success) {
            failure = "run " + std::to_string(run) + " did not succeed: " + r.why();
            break;
        }
        int frames = 0;
        for (const auto& out : w.outputs(root / "server")) {
            const int n = frame_count(out);
            if (n <= 0 || formats(out).rfind("asf wmv2", 0) != 0) {
                failure = "run " + std::to_string(run) + ": " + out + " is not a Windows Media file (" + formats(out) + ")";
                break;
            }
            frames += n;
        }
        if (failure.empty() && frames != sourceFrames)
            failure = "run " + std::to_string(run) + ": the outputs hold " + std::to_string(frames) + " frames, the source " +
                      std::to_string(sourceFrames);
        settle_and_measure(procs);
        if (run == kBaselineRun)
            for (auto& p : procs) p.baselineThreads = thread_names(p.pid);
        note("run %d of %d: %.2f s; server %s; NODE1 %s; NODE2 %s", run, runs, r.seconds,
             describe(procs[0].afterRun.back()).c_str(), describe(procs[1].afterRun.back()).c_str(),
             describe(procs[2].afterRun.back()).c_str());
        for (auto& a : agents.node)
            if (a->exited()) failure = "an agent ended during run " + std::to_string(run) + ":\n" + a->log();
    }

    bool ok = true;
    char buf[512];
    std::snprintf(buf, sizeof buf, "%zu of %d runs succeeded, run time min %.2f s median %.2f s max %.2f s, clip %d frames, MALLOC_ARENA_MAX=%s",
                  failure.empty() ? seconds.size() : seconds.size() - 1, runs,
                  seconds.empty() ? 0 : *std::min_element(seconds.begin(), seconds.end()),
                  seconds.empty() ? 0 : [&] {
                      auto v = seconds;
                      std::sort(v.begin(), v.end());
                      return v[v.size() / 2];
                  }(),
                  seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end()), sourceFrames,
                  std::getenv("MALLOC_ARENA_MAX") ? std::getenv("MALLOC_ARENA_MAX") : "unset");
    ok &= report(std::string(kCheck) + " runs", buf, failure);

    for (const auto& p : procs) {
        if (static_cast<int>(p.afterRun.size()) < runs) {
            ok &= report(std::string(kCheck) + " " + p.name, "not measured", "the runs did not all complete");
            continue;
        }
        const ProcessFigures& base = p.afterRun[kBaselineRun - 1];
        const ProcessFigures& last = p.afterRun.back();
        const long slack = std::max(kMemorySlackKB, static_cast<long>(static_cast<double>(base.rssKB) * kMemorySlackShare));
        std::string why;
        if (last.rssKB > base.rssKB + slack)
            why += "resident memory grew by " + std::to_string(last.rssKB - base.rssKB) + " KiB (slack " +
                   std::to_string(slack) + " KiB); ";
        // Descriptors and threads are judged on their lowest count over the first three and
        // the last ten runs: a process moves between two counts one apart for runs at a time
        // (a gRPC pool thread started for a burst of calls and kept idle for a while; never
        // two more in 120 runs measured), while a leak of one a run would add 20 or more.
        auto low = [&](std::size_t from, std::size_t count, long ProcessFigures::*field) {
            long v = p.afterRun[from].*field;
            for (std::size_t i = from; i < from + count; ++i) v = std::min(v, p.afterRun[i].*field);
            return v;
        };
        const std::size_t lastCount = std::min<std::size_t>(10, p.afterRun.size() - kBaselineRun);
        const std::size_t tail = p.afterRun.size() - lastCount;
        const long fds0 = low(0, kBaselineRun, &ProcessFigures::fds), fds1 = low(tail, lastCount, &ProcessFigures::fds);
        const long thr0 = low(0, kBaselineRun, &ProcessFigures::threads);
        const long thr1 = low(tail, lastCount, &ProcessFigures::threads);
        if (fds1 > fds0) why += "open descriptors grew from " + std::to_string(fds0) + " to " + std::to_string(fds1) + "; ";
        if (thr1 > thr0)
            why += "threads grew from " + std::to_string(thr0) + " to " + std::to_string(thr1) + " (after run " +
                   std::to_string(kBaselineRun) + ": " + p.baselineThreads + "; at the end: " + thread_names(p.pid) + "); ";
        long peak = 0;
        for (const auto& f : p.afterRun) peak = std::max(peak, f.rssKB);
        std::snprintf(buf, sizeof buf,
                      "after run %d: %s; after run %d: %s; rss change %+ld KiB (slack %ld KiB), slope %+.1f KiB/run, "
                      "peak rss %.1f MiB; lowest fds/threads runs 1-3 %ld/%ld, last 10 runs %ld/%ld",
                      kBaselineRun, describe(base).c_str(), runs, describe(last).c_str(), last.rssKB - base.rssKB, slack,
                      slope_kb(p.afterRun), static_cast<double>(peak) / 1024.0, fds0, thr0, fds1, thr1);
        ok &= report(std::string(kCheck) + " " + p.name, buf, why);
    }
    note("%s took %.1f s", kCheck, seconds_since(t0));
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    prepare_environment();
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(kBaselineRun + 1, std::atoi(argv[1])) : 30;
    return run_check(runs);
}

// soak_shardex (make soak): the end-to-end fault cases with their long variants, and what only a
// long run shows: thirty runs in a row watched for leaks, two Servers at once, a source over
// 4 GiB, the Server killed mid-run. Each check prints one line for tools/soak.sh:
//   SOAK <check>: <figures> ... PASS      or      ... FAIL: <why>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <clocale>
#include <cmath>
#include <thread>

#include "support/e2e.h"
#include "support/qt_wait.h"

namespace shardex::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kLan384 = "Windows Media Video 8 for Local Area Network (384 Kbps)";

std::string one_line(std::string s) {
    for (std::size_t at = 0; (at = s.find('\n', at)) != std::string::npos;) s.replace(at, 1, " | ");
    return s;
}

// ---- Thirty runs in a row -------------------------------------------------------------------

// Resident memory may end this much above the baseline without counting as a leak: with two
// malloc arenas (tools/soak.sh) an agent's size still wanders by up to 6 MiB between runs, while
// a leak of 300 KiB a run shows as more than 8 MiB over 27 runs.
constexpr long kMemorySlackKB = 8 * 1024;
constexpr int kBaselineRun = 3;  // the first runs fill caches, pools and arenas

TEST_F(DistributedRun, LongRunsLeakNoMemoryDescriptorsOrThreads) {
    const int runs = std::max(kBaselineRun + 1, std::atoi(qgetenv("SOAK_RUNS").isEmpty() ? "30" : qgetenv("SOAK_RUNS")));
    make_test_clip(home->path() / "clip.avi", 6);
    open_window();
    ASSERT_EQ(w->choose_profile(kLan384), "");
    ASSERT_EQ(w->choose(home->path() / "clip.avi"), "");
    const int sourceFrames = frame_count(home->path() / "clip.avi");
    const std::pair<const char*, pid_t> procs[] = {{"server", ::getpid()}, {"NODE1", node1->pid()}, {"NODE2", node2->pid()}};
    std::vector<std::vector<ProcessFigures>> after(3);  // [process][run]: lowest fds and threads, last rss
    std::vector<std::string> threadsAtBaseline(3);
    double longest = 0;
    for (int run = 1; run <= runs; ++run) {
        const RunResult r = w->go(std::chrono::seconds(120));
        ASSERT_TRUE(r.success) << "run " << run << ": " << r.why();
        longest = std::max(longest, r.seconds);
        int frames = 0;
        for (const auto& out : w->outputs()) frames += frame_count(out);
        ASSERT_EQ(frames, sourceFrames) << "run " << run;
        // gRPC starts a thread for a burst of calls and ends it when idle: a leaked one stays.
        for (int sample = 0; sample < 5; ++sample) {
            pump_events(400);
            for (int p = 0; p < 3; ++p) {
                const ProcessFigures now = figures_of(procs[p].second);
                if (sample == 0) after[p].push_back(now);
                auto& low = after[p].back();
                low = {now.rssKB, std::min(low.fds, now.fds), std::min(low.threads, now.threads)};
            }
        }
        for (int p = 0; run == kBaselineRun && p < 3; ++p) threadsAtBaseline[p] = thread_names(procs[p].second);
    }
    RecordProperty("runs", std::to_string(runs) + " of " + std::to_string(sourceFrames) + " frames, longest " +
                               std::to_string(longest) + " s, MALLOC_ARENA_MAX=" + qgetenv("MALLOC_ARENA_MAX").toStdString());
    // Descriptors and threads on their lowest count over the first runs and the last ten: a
    // process moves between two counts one apart for runs at a time; a leak adds one a run.
    const auto lowest = [&](int p, int from, int count, long ProcessFigures::*field) {
        long v = after[p][from].*field;
        for (int i = from; i < from + count; ++i) v = std::min(v, after[p][i].*field);
        return v;
    };
    for (int p = 0; p < 3; ++p) {
        const ProcessFigures& base = after[p][kBaselineRun - 1];
        const ProcessFigures& last = after[p].back();
        const int tail = std::min(10, runs - kBaselineRun);
        RecordProperty(procs[p].first, "after run " + std::to_string(kBaselineRun) + ": " + base.text() + "; at the end: " +
                                           last.text());
        EXPECT_LE(last.rssKB, base.rssKB + std::max(kMemorySlackKB, base.rssKB * 3 / 100)) << procs[p].first;
        EXPECT_LE(lowest(p, runs - tail, tail, &ProcessFigures::fds), lowest(p, 0, kBaselineRun, &ProcessFigures::fds))
            << procs[p].first;
        EXPECT_LE(lowest(p, runs - tail, tail, &ProcessFigures::threads), lowest(p, 0, kBaselineRun, &ProcessFigures::threads))
            << procs[p].first << ": after the baseline " << threadsAtBaseline[p] << "; now " << thread_names(procs[p].second);
    }
}

// ---- Two Servers at once --------------------------------------------------------------------

// One Server in a process of its own: chooses its source, waits for `goFile`, runs, and prints
// "SLOT <index> <success> <frames expected> <output>" per slot and "MESSAGE <text>" per message.
int server_process(char** a) {  // NAME HOME SOURCE NETWORK PEER1 PEER2 GOFILE
    HomeAt home(a[1]);
    ServerWindow w({a[3], "", {a[4], a[5]}, "127.0.0.1:0", a[0]});
    std::string why = w.choose_profile(kLan384);
    if (why.empty()) why = w.choose(a[2]);
    if (!why.empty()) {
        std::printf("MESSAGE %s\n", one_line(why).c_str());
        return 1;
    }
    const int total = frame_count(a[2]);
    for (const auto until = Clock::now() + 120s; !fs::exists(a[6]) && Clock::now() < until;) pump_events(10);
    const RunResult r = w.go(std::chrono::seconds(180));
    const int seg[3][2] = {{w->S.Local_SegStart, w->S.Local_SegEnd}, {w->S.Remote_SegStart, w->S.Remote_SegEnd},
                           {w->S.Remote2_SegStart, w->S.Remote2_SegEnd}};
    const QLabel* status[] = {w->Local_Status, w->Remote_Status, w->Remote2_Status};
    const auto first = [&](int ms) { return std::min(total, static_cast<int>(std::ceil(ms * 30.0 / 1001.0 - 1e-6))); };
    for (int i = 0; i < 3; ++i)
        std::printf("SLOT %d %d %d %s\n", i, success(status[i]), first(seg[i][1]) - first(seg[i][0]),
                    w.outputs()[static_cast<std::size_t>(i)].c_str());
    for (const auto& m : r.messages) std::printf("MESSAGE %s\n", one_line(m).c_str());
    return r.finished ? 0 : 1;
}

// Both press Go at once against NODE1 and NODE2: each slot succeeds or says why, and none takes
// the other Server's source or outputs. Round 1: both sources are named clip.avi (the clients
// are asked for the same output names); round 2: different names.
TEST_F(DistributedRun, TwoServersAtOnceKeepTheirJobsApart) {
    const char* pattern[] = {"testsrc2", "smptebars"};
    std::string figures;
    for (int round = 1; round <= 2; ++round) {
        std::vector<std::unique_ptr<Process>> servers;
        std::vector<fs::path> sources;
        const fs::path go = home->path() / ("go" + std::to_string(round));
        for (int i = 0; i < 2; ++i) {
            const std::string name = i ? "SRV-B" : "SRV-A";
            const fs::path& source = sources.emplace_back(home->path() / name / (round == 1 ? "clip.avi" : name + ".avi"));
            fs::create_directories(source.parent_path());
            make_clip(source, std::string("-f lavfi -i ") + pattern[i] + "=size=320x240:rate=30000/1001 -f lavfi -i "
                              "sine -t " + std::to_string(8 + 2 * i) + " -c:v mjpeg -c:a pcm_s16le");
            servers.push_back(std::make_unique<Process>(Process::Options{
                {fs::read_symlink("/proc/self/exe").string(), "--server", name, (home->path() / name).string(),
                 source.string(), network.string(), "NODE1=" + node1->endpoint(), "NODE2=" + node2->endpoint(),
                 go.string()}, home->path() / (name + std::to_string(round) + ".log"), {}}));
            ASSERT_TRUE(servers.back()->spawn());
        }
        pump_events(5000);  // both windows up and their sources chosen
        write_file(go, "go");
        for (std::size_t k = 0; k < servers.size(); ++k) {
            Process* s = servers[k].get();
            EXPECT_EQ(s->wait_exit(300s), 0) << s->log();
            std::istringstream lines(s->log());
            int frames = 0, all = 0;
            bool told = false;
            for (std::string line; std::getline(lines, line);) {
                int index = 0, ok = 0, want = 0;
                char out[4096] = "";
                told |= line.rfind("MESSAGE ", 0) == 0;
                if (std::sscanf(line.c_str(), "SLOT %d %d %d %4095[^\n]", &index, &ok, &want, out) != 4) continue;
                all += ok;
                if (!ok) continue;
                const int n = frame_count(out);
                frames += n;
                EXPECT_EQ(formats(out), "asf wmv2 wmav2") << out;
                EXPECT_NEAR(n, want, 1) << out << " holds another segment's frames";
                figures += fs::path(out).filename().string() + " " + std::to_string(n) + "/" + std::to_string(want) + "; ";
            }
            if (all < 3) {
                EXPECT_TRUE(told) << "a slot did not succeed and no message said why: " << s->log();
            }
            if (all == 3) {
                EXPECT_EQ(frames, frame_count(sources[k])) << "a Server got back other frames than its own";
            }
        }
        EXPECT_FALSE(node1->exited() || node2->exited()) << "an agent ended";
    }
    RecordProperty("outputs", figures);
}

// ---- A source over 4 GiB ----------------------------------------------------------------------

// Raw 640x480 pictures at 30000/1001 make an OpenDML AVI of 4.4 GB; the clients read it through
// the Server's share at offsets past 4 GiB (client 1 across the mark, client 2 wholly past it).
TEST_F(DistributedRun, ASourceOver4GiBIsMeasuredAndEncodedWhole) {
    constexpr int kFrames = 4795;  // 159.983 s: the last segment, ending at 160 s, takes them all
    constexpr std::int64_t kBytes = std::int64_t{640} * 480 * 3 * kFrames;
    struct statvfs v {};
    ASSERT_EQ(statvfs(home->path().c_str(), &v), 0);
    ASSERT_GT(static_cast<std::int64_t>(v.f_bavail) * static_cast<std::int64_t>(v.f_frsize), kBytes + (1LL << 30))
        << "not enough free disk space for a source over 4 GiB in " << home->path() << "; set TMPDIR to a bigger disk";
    const fs::path big = home->path() / "big.avi";
    make_clip(big, "-f lavfi -i testsrc2=size=640x480:rate=30000/1001 -f lavfi -i sine=r=8000:duration=159.983 "
                   "-frames:v " + std::to_string(kFrames) + " -c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8 -ac 1");
    const auto bytes = static_cast<std::int64_t>(fs::file_size(big));
    ASSERT_GT(bytes, std::int64_t{1} << 32);
    open_window();
    ASSERT_EQ(w->choose_profile(kLan384), "");
    ASSERT_EQ(w->choose(big, "10", "88", "2"), "");
    std::string mb = std::to_string(std::llround(static_cast<double>(bytes) / 1048576.0));
    mb.insert(mb.size() - 3, ",");
    EXPECT_EQ(text(f->Label_SourceSize), "Disk Size: " + mb + " MB");
    EXPECT_EQ(text(f->Label_Length), "Movie Length: 0:02:40");
    EXPECT_EQ(text(f->Label_Dimension), "Frame: 640 x 480");
    EXPECT_NEAR(f->S.Movie_Length, 159983, 50);
    const RunResult r = w->go(400s);
    ASSERT_TRUE(r.success) << r.why();
    // Each slot's status: the source's kilobytes its segment stands for against its output's.
    const std::int32_t seg[] = {f->S.Local_SegLength, f->S.Remote_SegLength, f->S.Remote2_SegLength};
    const QLabel* status[] = {f->Local_Status, f->Remote_Status, f->Remote2_Status};
    int frames = 0;
    for (int i = 0; i < 3; ++i) {
        const fs::path out = w->outputs()[static_cast<std::size_t>(i)];
        frames += frame_count(out);
        char want[64];
        std::snprintf(want, sizeof want, "Status:  Success %.1f to 1",
                      seg[i] * 1.0 / f->S.Movie_Length * static_cast<double>(bytes) / 1024.0 /
                          std::nearbyint(static_cast<double>(fs::file_size(out)) / 1024.0));
        EXPECT_EQ(text(status[i]), want);
    }
    EXPECT_EQ(frames, kFrames);
    RecordProperty("source", std::to_string(bytes) + " bytes; window: " + text(f->Label_SourceSize) + ", " +
                                 text(f->Label19) + "; run " + std::to_string(r.seconds) + " s; " + r.statuses);
}

// ---- The Server killed mid-run ----------------------------------------------------------------

// The real shardex (offscreen, its source and Go on its command line) is killed while both
// clients encode: each agent stops the encode, frees the Server's application within 2 s, and
// keeps a partial file that reads as a Windows Media file.
TEST_F(DistributedRun, AKilledServersApplicationsAreFreedAndTheirFilesStayValid) {
    Process server({{SHARDEX_PROGRAM_PATH, "--source", long_clip().string(), "--go", "--peer", "NODE1=" + node1->endpoint(),
                     "--peer", "NODE2=" + node2->endpoint(), "--network-dir", network.string(), "--share-listen",
                     "127.0.0.1:0"}, home->path() / "shardex.log", {"QT_QPA_PLATFORM=offscreen"}});
    ASSERT_TRUE(server.spawn());
    const auto output = [&](int n) {
        for (const auto& e : fs::directory_iterator(node_root(n) / "Shardex"))
            if (e.path().extension() == ".wmv" && e.file_size() > (32 << 10)) return e.path();
        return fs::path();
    };
    for (const auto until = Clock::now() + 90s; Clock::now() < until && (output(1).empty() || output(2).empty());)
        std::this_thread::sleep_for(20ms);
    ASSERT_FALSE(output(1).empty() || output(2).empty()) << node1->log() << node2->log() << server.log();
    server.kill_now();
    const auto killed = Clock::now();
    for (int n : {1, 2}) {
        while (Clock::now() < killed + 10s && node(n)->log().find("application(s) freed") == std::string::npos)
            std::this_thread::sleep_for(10ms);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count();
        EXPECT_LT(ms, 2000) << node(n)->log();
        const fs::path out = output(n);
        EXPECT_EQ(formats(out), "asf wmv2 wmav2") << out;
        EXPECT_GT(frame_count(out), 0) << out;
        RecordProperty("NODE" + std::to_string(n), "freed after " + std::to_string(ms) + " ms; " +
                                                       out.filename().string() + " " + std::to_string(frame_count(out)) +
                                                       " frames");
    }
}

// The case's figures (its recorded properties) and its outcome on one line.
class SoakLines final : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override { why_.clear(); }
    void OnTestPartResult(const ::testing::TestPartResult& r) override {
        if (r.failed() && why_.empty()) why_ = one_line(r.message());
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        const auto* result = info.result();
        std::string figures;
        for (int i = 0; i < result->test_property_count(); ++i)
            figures += (i ? "; " : "") + std::string(result->GetTestProperty(i).key()) + " = " +
                       one_line(result->GetTestProperty(i).value());
        std::string outcome = result->Failed() ? "FAIL: " + why_ : result->Skipped() ? "FAIL: could not run" : "PASS";
        std::printf("SOAK %s.%s: %s ... %s\n", info.test_suite_name(), info.name(), figures.empty() ? "-" : figures.c_str(),
                    outcome.c_str());
        std::fflush(stdout);
    }

private:
    std::string why_;
};

}  // namespace
}  // namespace shardex::testing

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    if (argc == 9 && std::string(argv[1]) == "--server") return shardex::testing::server_process(argv + 2);
    shardex::testing::soakMode = true;
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new shardex::testing::SoakLines);
    return RUN_ALL_TESTS();
}

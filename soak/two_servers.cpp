// Two Servers at once: two window processes (this program started again in its --server
// mode, each with its own home, Shardex folder, share and source) press Go at the same
// moment against the same two loopback agents. Each slot must either succeed or end with a
// message that says why; no slot may take the other Server's source or outputs (every
// output is checked with ffprobe: its frames must match its own segment, and a Server whose
// three ends succeeded must get back exactly its source's frames); and both agents must
// still run afterwards. First round: both sources are named clip.avi (two people encoding
// files of the same name), so the clients are asked for the same output names; second
// round: different names.
//
//   soak_two_servers
//   soak_two_servers --server NAME HOME SOURCE NETWORK PEER1 PEER2 GOFILE   (one Server)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "soak_support.h"

extern char** environ;

using namespace shardex;
using namespace shardex::soak;

namespace {

constexpr const char* kCheck = "two-servers";
constexpr const char* kProfile = "Windows Media Video 8 for Local Area Network (384 Kbps)";
constexpr double kFps = 30000.0 / 1001.0;  // the sources' and the profile's rate
constexpr auto kRunLimit = std::chrono::seconds(180);

// ---- one Server (a child process) --------------------------------------------------------

// Prints what the parent reads: READY once the source is chosen, then the run's outcome.
int server(char** argv) {
    const std::string name = argv[0];
    const fs::path home = argv[1];
    const std::string source = argv[2];
    const fs::path network = argv[3];
    const fs::path goFile = argv[6];
    use_home(home);
    ServerWindow w(name, network, home, {argv[4], argv[5]});
    std::string why = w.setUp(kProfile);
    if (why.empty()) why = w.choose(source);
    if (!why.empty()) {
        std::printf("SETUP-FAILED %s\n", why.c_str());
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    // Both Servers press Go together: when the parent creates the go file.
    const auto until = Clock::now() + std::chrono::seconds(120);
    while (!fs::exists(goFile) && Clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const RunResult r = w.go("34", "33", "33", kRunLimit);
    const Form1& f = *w.form;
    std::printf("FINISHED %d\nSECONDS %.2f\n", r.finished ? 1 : 0, r.seconds);
    const QLabel* status[3] = {f.Local_Status, f.Remote_Status, f.Remote2_Status};
    const int seg[3][2] = {{f.S.Local_SegStart, f.S.Local_SegEnd},
                           {f.S.Remote_SegStart, f.S.Remote_SegEnd},
                           {f.S.Remote2_SegStart, f.S.Remote2_SegEnd}};
    const auto outs = w.outputs(home);
    for (int i = 0; i < 3; ++i)
        std::printf("SLOT %d %d %d %d %s\t%s\n", i, ServerWindow::success(status[i]) ? 1 : 0, seg[i][0], seg[i][1],
                    outs[i].c_str(), status[i]->text().toStdString().c_str());
    for (const auto& m : r.messages) {
        std::string one = m;
        std::replace(one.begin(), one.end(), '\n', ' ');
        std::printf("MESSAGE %s\n", one.c_str());
    }
    std::fflush(stdout);
    return 0;
}

// ---- the parent ----------------------------------------------------------------------------

struct Slot {
    bool success = false;
    int segStart = 0, segEnd = 0;
    std::string output, status;
};

struct ServerChild {
    std::string name;
    fs::path home, source, log;
    int sourceFrames = 0;
    pid_t pid = 0;
    int exitCode = -1;

    std::string text() const {
        std::ifstream in(log);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

pid_t spawn_server(const std::string& self, const ServerChild& c, const fs::path& network,
                   const std::vector<std::string>& peers, const fs::path& goFile) {
    std::vector<std::string> args = {self, "--server", c.name, c.home.string(), c.source.string(), network.string(),
                                     peers[0], peers[1], goFile.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, c.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (c.log.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Frames a segment [start, end) ms of a source of `total` frames holds.
int segment_frames(int startMs, int endMs, int total) {
    auto first = [&](int ms) { return std::min(total, static_cast<int>(std::ceil(ms / 1000.0 * kFps - 1e-6))); };
    return first(endMs) - first(startMs);
}

// One round: both Servers at once. Empty, or what went wrong; `figures` gets what was seen.
std::string run_round(const std::string& self, const fs::path& root, const fs::path& network, Agents& agents,
                  std::vector<ServerChild>& servers, int number, std::string& figures) {
    const fs::path goFile = root / ("go-" + std::to_string(number));
    for (auto& s : servers) {
        s.log = root / (s.name + "-round" + std::to_string(number) + ".log");
        s.pid = spawn_server(self, s, network, agents.peers(), goFile);
        if (s.pid == 0) return "could not start the Server process " + s.name;
    }
    // Both ready (or gone), then Go for both.
    const auto readyUntil = Clock::now() + std::chrono::seconds(60);
    auto ready = [&] {
        return std::all_of(servers.begin(), servers.end(), [](const ServerChild& s) {
            return s.text().find("READY") != std::string::npos || s.text().find("SETUP-FAILED") != std::string::npos;
        });
    };
    while (!ready() && Clock::now() < readyUntil) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    { std::ofstream(goFile) << "go\n"; }

    const auto until = Clock::now() + kRunLimit + std::chrono::seconds(90);
    for (auto& s : servers) {
        int status = 0;
        while (waitpid(s.pid, &status, WNOHANG) == 0) {
            if (Clock::now() > until) {
                ::kill(s.pid, SIGKILL);
                waitpid(s.pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        s.pid = 0;
    }

    std::string failure;
    for (auto& s : servers) {
        const std::string log = s.text();
        std::istringstream lines(log);
        std::string line, seconds = "?";
        std::vector<Slot> ends;
        std::vector<std::string> messages;
        bool finished = false;
        while (std::getline(lines, line)) {
            if (line.rfind("FINISHED ", 0) == 0) finished = line == "FINISHED 1";
            if (line.rfind("SECONDS ", 0) == 0) seconds = line.substr(8);
            if (line.rfind("MESSAGE ", 0) == 0) messages.push_back(line.substr(8));
            if (line.rfind("SLOT ", 0) == 0) {
                Slot slot;
                std::istringstream in(line.substr(5));
                int index = 0, ok = 0;
                in >> index >> ok >> slot.segStart >> slot.segEnd;
                in.ignore(1);
                std::getline(in, slot.output, '\t');
                std::getline(in, slot.status);
                slot.success = ok == 1;
                ends.push_back(slot);
            }
        }
        figures += (figures.empty() ? "" : "; ") + std::string("round ") + std::to_string(number) + " " + s.name + " (" +
                   s.source.filename().string() + ", " + std::to_string(s.sourceFrames) + " frames): ";
        if (s.exitCode != 0 || !finished || ends.size() != 3) {
            std::ifstream err(s.log.string() + ".err");
            std::stringstream errText;
            errText << err.rdbuf();
            failure += s.name + " did not finish its run (exit " + std::to_string(s.exitCode) + "): " + log +
                       errText.str() + "; ";
            figures += "did not finish";
            continue;
        }
        figures += seconds + " s,";
        int frames = 0;
        bool all = true;
        for (const auto& slot : ends) {
            const std::string file = fs::path(slot.output).filename().string();
            if (!slot.success) {
                all = false;
                figures += " " + file + " refused \"" + slot.status + "\"";
                continue;
            }
            const int n = frame_count(slot.output);
            const int want = segment_frames(slot.segStart, slot.segEnd, s.sourceFrames);
            frames += std::max(n, 0);
            figures += " " + file + " " + std::to_string(n) + "/" + std::to_string(want) + " frames";
            if (formats(slot.output).rfind("asf wmv2", 0) != 0)
                failure += s.name + ": " + file + " is not a Windows Media file (" + formats(slot.output) + "); ";
            else if (std::abs(n - want) > 1)
                failure += s.name + ": " + file + " holds " + std::to_string(n) + " frames, its segment " +
                           std::to_string(want) + "; ";
        }
        for (const auto& m : messages) figures += " message \"" + m + "\"";
        if (!all && messages.empty()) failure += s.name + ": a slot did not succeed and no message said why; ";
        if (all && frames != s.sourceFrames)
            failure += s.name + ": its outputs hold " + std::to_string(frames) + " frames, its source " +
                       std::to_string(s.sourceFrames) + "; ";
    }
    for (auto& a : agents.node)
        if (a->exited()) failure += "an agent ended: " + a->log() + "; ";
    return failure;
}

int run_check(const std::string& self) {
    const auto t0 = Clock::now();
    TempFolder folder("shardex-soak-two");
    if (!folder.valid()) return report(kCheck, "", "no temporary folder") ? 0 : 1;
    const fs::path root = folder.path();
    const fs::path network = root / "network";
    remote::init_network(network);
    Agents agents;
    if (auto why = agents.start(root, network); !why.empty()) return report(kCheck, "", why) ? 0 : 1;

    // Two sources of different length and picture, each in its own Server's folder.
    std::vector<ServerChild> servers(2);
    const char* pattern[2] = {"testsrc2", "smptebars"};
    const int seconds[2] = {8, 10};
    for (int i = 0; i < 2; ++i) {
        servers[i].name = i == 0 ? "SRV-A" : "SRV-B";
        servers[i].home = root / servers[i].name;
        fs::create_directories(servers[i].home / "Shardex");
        fs::create_directories(servers[i].home / "config");
        fs::create_directories(servers[i].home / "videos");
        servers[i].source = servers[i].home / "videos" / "clip.avi";
        if (!shell_ok("timeout 120 ffmpeg -v error -y -f lavfi -i " + std::string(pattern[i]) +
                      "=size=320x240:rate=30000/1001 -f lavfi -i sine=r=44100 -ac 2 -t " + std::to_string(seconds[i]) +
                      " -c:v mjpeg -c:a pcm_s16le '" + servers[i].source.string() + "'"))
            return report(kCheck, "", "ffmpeg could not make the sources") ? 0 : 1;
        servers[i].sourceFrames = frame_count(servers[i].source.string());
    }

    std::string figures, failure;
    // Round 1: the same source name on both Servers.
    failure += run_round(self, root, network, agents, servers, 1, figures);
    // Round 2: different names.
    for (int i = 0; i < 2; ++i) {
        const fs::path renamed = servers[i].home / "videos" / (i == 0 ? "first.avi" : "second.avi");
        fs::rename(servers[i].source, renamed);
        servers[i].source = renamed;
    }
    failure += run_round(self, root, network, agents, servers, 2, figures);
    char buf[64];
    std::snprintf(buf, sizeof buf, "; %.1f s", seconds_since(t0));
    return report(kCheck, figures + buf, failure) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    prepare_environment();
    QApplication app(argc, argv);
    if (argc == 9 && std::string(argv[1]) == "--server") return server(argv + 2);
    // A Server process never starts Servers of its own.
    if (!qgetenv("SHARDEX_SOAK_SERVER").isEmpty()) {
        std::fprintf(stderr, "a Server process was started with the wrong arguments\n");
        return 2;
    }
    qputenv("SHARDEX_SOAK_SERVER", "1");  // inherited by the Server processes
    return run_check(fs::canonical("/proc/self/exe").string());
}

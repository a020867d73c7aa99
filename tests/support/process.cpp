#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace shardex::testing {

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    for (const auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(20ms))
        if (done()) return true;
    return done();
}

std::string run(const std::string& command, int* exitCode) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        if (exitCode) *exitCode = -1;
        return out;
    }
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

bool Process::spawn() {
    std::vector<std::string> env;
    const auto named = [](const std::string& a, const std::string& b) {
        return a.substr(0, a.find('=')) == b.substr(0, b.find('='));
    };
    for (char** e = environ; *e; ++e)
        if (std::none_of(o_.env.begin(), o_.env.end(), [&](const std::string& x) { return named(*e, x); }))
            env.emplace_back(*e);
    for (const auto& e : o_.env)
        if (e.find('=') != std::string::npos) env.push_back(e);
    std::vector<char*> argv, envp;
    for (auto& a : o_.args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, o_.log.empty() ? "/dev/null" : o_.log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    exitCode_ = -1;
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    return pid_ != 0;
}

bool Process::exited() {
    if (pid_ == 0) return true;
    int status = 0;
    rusage usage{};
    if (wait4(pid_, &status, WNOHANG, &usage) != pid_) return false;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    cpu_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    pid_ = 0;
    return true;
}

int Process::wait_exit(std::chrono::milliseconds limit) {
    for (const auto until = std::chrono::steady_clock::now() + limit;
         !exited() && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(5ms);
    return pid_ == 0 ? exitCode_ : -1;
}

void Process::signal(int sig) const {
    if (pid_ != 0) ::kill(pid_, sig);
}

void Process::stop() {
    signal(SIGCONT);
    signal(SIGTERM);
    if (wait_exit(2s) < 0) kill_now();
}

void Process::kill_now() {
    signal(SIGKILL);
    wait_exit(5s);
}

std::string Process::log() const {
    std::ifstream in(o_.log);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const char* const AgentProcess::kPath = SHARDEX_AGENT_PATH;

AgentProcess::Options AgentProcess::at(const std::string& name, const fs::path& root, const fs::path& network) {
    static std::atomic<int> started{0};
    fs::create_directories(root / "Shardex");
    fs::create_directories(root / "config");
    return {name, root / "Shardex", network, root / (name + "-" + std::to_string(++started) + ".log"), "127.0.0.1:0",
            {}, {"HOME=" + root.string(), "XDG_CONFIG_HOME=" + (root / "config").string()}, {}};
}

AgentProcess::AgentProcess(Options o) {
    o_.args = o.wrapper;
    o_.args.insert(o_.args.end(), {o.program, "--name", o.name, "--listen", o.listen, "--shardex-dir",
                                   o.shardexDir.string(), "--network-dir", o.networkDir.string()});
    o_.args.insert(o_.args.end(), o.extra.begin(), o.extra.end());
    o_.log = o.logFile;
    // Its windows stay off any display; it announces itself only on a daemon the test chose.
    o_.env = {"DISPLAY", "WAYLAND_DISPLAY"};
    if (!std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))
        o_.env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/shardex-tests-no-bus");
    o_.env.insert(o_.env.end(), o.env.begin(), o.env.end());
}

bool AgentProcess::start(std::chrono::milliseconds limit) {
    if (!spawn()) return false;
    for (const auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;) {
        const std::string text = log();
        if (const auto at = text.find("listening on "); at != std::string::npos) {
            const std::string line = text.substr(at, text.find('\n', at) - at);
            port_ = std::atoi(line.c_str() + line.rfind(':') + 1);
            return true;
        }
        if (exited()) return false;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string ProcessFigures::text() const {
    char buf[96];
    std::snprintf(buf, sizeof buf, "rss %.1f MiB, %ld fds, %ld threads", static_cast<double>(rssKB) / 1024.0, fds,
                  threads);
    return buf;
}

ProcessFigures figures_of(pid_t pid) {
    ProcessFigures p;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) p.rssKB = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) p.threads = std::atol(line.c_str() + 8);
    }
    std::error_code ec;
    long n = 0;
    for (fs::directory_iterator it(proc / "fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
    if (!ec) p.fds = n;
    // Fields 14 and 15 of stat, after the command name (which may hold spaces).
    std::ifstream statFile(proc / "stat");
    std::string stat;
    std::getline(statFile, stat);
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 2)));
    std::string field;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i >= 14) p.cpuSeconds += std::atof(field.c_str()) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return p;
}

std::string thread_names(pid_t pid) {
    std::map<std::string, int> names;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        ++names[name];
    }
    std::string s;
    for (const auto& [name, n] : names) s += (s.empty() ? "" : ", ") + name + " x" + std::to_string(n);
    return s;
}

}  // namespace shardex::testing

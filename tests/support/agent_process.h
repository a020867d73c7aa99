// A real shardex-agent process for tests and benchmarks: started on 127.0.0.1 with a port
// the system picks, its own Shardex folder and the test's network certificates; stopped by
// its process id. Everything it prints is kept in a file for the test to read.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace shardex::testing {

class AgentProcess {
public:
    struct Options {
        std::string program;  // path of shardex-agent
        std::string name;     // --name
        std::filesystem::path shardexDir;
        std::filesystem::path networkDir;
        std::filesystem::path logFile;  // standard output and error go here
        std::string listen = "127.0.0.1:0";
        std::vector<std::string> extra;  // more arguments
        std::vector<std::string> env;    // "NAME=value" added to the environment
        // A command the agent runs under, e.g. {"prlimit", "--nofile=256"} (it must exec
        // the agent, so that the process id is the agent's).
        std::vector<std::string> wrapper = {};
    };

    AgentProcess() = default;
    explicit AgentProcess(Options o) : o_(std::move(o)) {}
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;
    ~AgentProcess() { stop(); }

    // Starts the agent and waits (at most `limit`) for its "listening on" line. Returns
    // false when it exited or never said it listens; log() then says why.
    bool start(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        std::vector<std::string> args = o_.wrapper;
        args.insert(args.end(), {o_.program, "--name", o_.name, "--listen", o_.listen, "--shardex-dir",
                                 o_.shardexDir.string(), "--network-dir", o_.networkDir.string()});
        args.insert(args.end(), o_.extra.begin(), o_.extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
            const auto overridden = [&](const std::string& e) { return v.rfind(e.substr(0, e.find('=') + 1), 0) == 0; };
            if (std::any_of(o_.env.begin(), o_.env.end(), overridden)) continue;
            envStrings.push_back(v);
        }
        envStrings.insert(envStrings.end(), o_.env.begin(), o_.env.end());
        // The agent announces itself with DNS-SD: only on a daemon the test chose.
        if (!getenv("DBUS_SYSTEM_BUS_ADDRESS"))
            envStrings.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/shardex-tests-no-bus");
        std::vector<char*> envp;
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, o_.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = posix_spawnp(&pid_, args.front().c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = 0;
            return false;
        }
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            const std::string text = log();
            if (auto at = text.find("listening on "); at != std::string::npos) {
                auto line = text.substr(at, text.find('\n', at) - at);
                auto colon = line.rfind(':');
                auto comma = line.find(',', colon);
                port_ = std::stoi(line.substr(colon + 1, comma - colon - 1));
                return true;
            }
            if (exited()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // True (and the exit status reaped) once the process has ended.
    bool exited() {
        if (pid_ == 0) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = 0;
            return true;
        }
        return false;
    }

    // Waits at most `limit` for the process to end by itself; its exit code, or -1.
    int wait_exit(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!exited() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return pid_ == 0 ? exitCode_ : -1;
    }

    void signal(int sig) {
        if (pid_ != 0) ::kill(pid_, sig);
    }

    // SIGTERM, then SIGKILL when it has not ended within two seconds.
    void stop() {
        if (pid_ == 0) return;
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGTERM);
        if (wait_exit(std::chrono::milliseconds(2000)) < 0) {
            ::kill(pid_, SIGKILL);
            wait_exit(std::chrono::milliseconds(2000));
        }
    }

    void kill_now() {
        if (pid_ == 0) return;
        ::kill(pid_, SIGKILL);
        wait_exit(std::chrono::milliseconds(2000));
    }

    std::string log() const {
        std::ifstream in(o_.logFile);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    Options o_;
    pid_t pid_ = 0;
    int port_ = 0;
    int exitCode_ = -1;
};

}  // namespace shardex::testing

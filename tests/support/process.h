// Programs a test, soak or benchmark starts: one spawner that stops only what it started, by
// its process id, and never waits without a limit; the agent started on 127.0.0.1; a shell
// command's output; and a process's figures read from /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace shardex::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Polls `done` every 20 ms until it holds, for `limit` at most; its last answer.
bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit);

// The standard output of a shell command (ffmpeg, ffprobe); its exit status in `exitCode`.
std::string run(const std::string& command, int* exitCode = nullptr);

class Process {
public:
    struct Options {
        std::vector<std::string> args;  // the program first, looked up on the PATH
        fs::path log;                   // standard output and error; empty: /dev/null
        std::vector<std::string> env;   // "NAME=value" set, "NAME" removed, on top of this process's
    };
    Process() = default;
    explicit Process(Options o) : o_(std::move(o)) {}
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    virtual ~Process() { stop(); }

    bool spawn();                              // false when it could not be started
    bool exited();                             // true (and reaped) once it has ended
    int wait_exit(std::chrono::milliseconds);  // its exit code (128 + signal), or -1 while it runs
    void signal(int sig) const;
    void stop();      // SIGTERM (after SIGCONT), then SIGKILL when it has not ended within 2 s
    void kill_now();  // SIGKILL
    std::string log() const;
    pid_t pid() const { return pid_; }
    double cpu_seconds() const { return cpu_; }  // user + system time, once reaped

protected:
    Options o_;

private:
    pid_t pid_ = 0;
    int exitCode_ = -1;
    double cpu_ = 0;
};

// shardex-agent (or `program` in its command-line form) listening on `listen`, with its own
// Shardex folder and the given network certificates.
class AgentProcess : public Process {
public:
    struct Options {
        std::string name;
        fs::path shardexDir, networkDir, logFile;
        std::string listen = "127.0.0.1:0";
        std::vector<std::string> extra;    // more arguments
        std::vector<std::string> env;      // as Process::Options::env
        std::vector<std::string> wrapper;  // a command that execs the agent, e.g. prlimit
        std::string program = kPath;
    };
    static const char* const kPath;  // the agent built with the tests

    // NAME living in `root`: root/Shardex, root/config as XDG_CONFIG_HOME, root as HOME, its
    // log root/NAME-<count>.log (made fresh each start).
    static Options at(const std::string& name, const fs::path& root, const fs::path& network);

    explicit AgentProcess(Options o);
    // Starts it and waits (at most `limit`) for its "listening on" line; false when it ended or
    // never said so (log() says why).
    bool start(std::chrono::milliseconds limit = 10s);
    int port() const { return port_; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int port_ = 0;
};

// Resident memory, open descriptors, threads and processor time of a process, from /proc.
struct ProcessFigures {
    long rssKB = -1, fds = -1, threads = -1;
    double cpuSeconds = 0;
    std::string text() const;  // "rss 12.3 MiB, 14 fds, 9 threads"
};
ProcessFigures figures_of(pid_t pid);
// Its threads' names with how many bear each ("grpc_global_tim x1, ..."): which kind grew.
std::string thread_names(pid_t pid);

}  // namespace shardex::testing

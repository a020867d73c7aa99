// A private DNS-SD daemon for tests: a D-Bus system bus of our own on a socket in a temporary
// folder, and avahi-daemon in a network namespace of its own (only its loopback, with
// multicast on), so it never speaks on the host's real interfaces and never meets a system
// avahi. The test process and the programs it starts stay in the host's namespaces and reach
// the daemon through the private bus: DBUS_SYSTEM_BUS_ADDRESS is set in this process's
// environment (children inherit it) for as long as the object lives. Needs root (for the
// namespace); when it cannot start, why() says what failed and the test is to fail with it.
// A process reads the bus address once and keeps it: every PrivateAvahi of a process (one at
// a time) uses the same one, busAddress(), and a test that wants no daemon at all points at it
// while none runs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace shardex::testing {

class PrivateAvahi {
public:
    // The host name the daemon announces its services under (resolves to 127.0.0.1).
    static constexpr const char* kHostName = "sxtest";

    explicit PrivateAvahi(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        const auto started = std::chrono::steady_clock::now();
        why_ = start(limit);
        startupMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                         .count();
    }
    ~PrivateAvahi() {
        if (envSet_) {
            restore("DBUS_SYSTEM_BUS_ADDRESS", oldBus_);
            restore("AVAHI_COMPAT_NOWARN", oldNowarn_);
        }
        stop(avahi_);
        stop(dbus_);
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    PrivateAvahi(const PrivateAvahi&) = delete;
    PrivateAvahi& operator=(const PrivateAvahi&) = delete;

    bool ok() const { return why_.empty(); }
    // Why the daemon could not start, with what it printed; "" when it runs.
    const std::string& why() const { return why_; }
    static std::string busAddress() { return "unix:path=" + (folder() / "bus").string(); }
    long long startupMs() const { return startupMs_; }
    std::string avahiLog() const { return read(dir_ / "avahi.log"); }

private:
    std::string start(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        if (geteuid() != 0)
            return "the private avahi-daemon needs root: it runs in a network namespace of its own (unshare --net)";
        for (const char* program : {"dbus-daemon", "avahi-daemon", "unshare", "ip", "mount", "sh"})
            if (find_program(program).empty())
                return std::string("'") + program + "' is not installed (see tools/apt-packages.txt)";

        std::error_code ec;
        std::filesystem::remove_all(folder(), ec);  // left by an earlier process of the same id
        if (!std::filesystem::create_directory(folder(), ec))
            return "cannot make the folder " + folder().string() + ": " + ec.message();
        dir_ = folder();
        std::ofstream(dir_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>system</type><listen>"
            << busAddress()
            << "</listen><auth>EXTERNAL</auth>\n"
               "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        std::ofstream(dir_ / "avahi.conf") << "[server]\nhost-name=" << kHostName
                                           << "\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n"
                                              "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                                              "[publish]\npublish-hinfo=no\npublish-workstation=no\n";

        oldBus_ = current("DBUS_SYSTEM_BUS_ADDRESS");
        oldNowarn_ = current("AVAHI_COMPAT_NOWARN");
        setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress().c_str(), 1);
        setenv("AVAHI_COMPAT_NOWARN", "1", 1);
        envSet_ = true;

        dbus_ = spawn({find_program("dbus-daemon"), "--config-file=" + (dir_ / "bus.conf").string(), "--nofork",
                       "--nopidfile"},
                      dir_ / "dbus.log");
        if (dbus_ <= 0) return "cannot start dbus-daemon";
        const auto socket = dir_ / "bus";
        while (!std::filesystem::exists(socket)) {
            if (ended(dbus_)) return "dbus-daemon ended at once: " + read(dir_ / "dbus.log");
            if (std::chrono::steady_clock::now() >= until)
                return "dbus-daemon made no socket in time: " + read(dir_ / "dbus.log");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }

        // unshare execs the shell, which execs avahi-daemon: the pid is the daemon's. The
        // tmpfs on /run (private to its mount namespace) keeps its pid file and socket away
        // from a system avahi's.
        const std::string ip = find_program("ip");
        const std::string inside = ip + " link set lo up && " + ip + " link set lo multicast on && " +
                                   find_program("mount") + " -t tmpfs tmpfs /run && exec " +
                                   find_program("avahi-daemon") + " -f " + (dir_ / "avahi.conf").string() +
                                   " --no-drop-root --no-chroot --no-rlimits --no-proc-title";
        avahi_ = spawn({find_program("unshare"), "--net", "--mount", "--propagation", "private", find_program("sh"),
                        "-c", inside},
                       dir_ / "avahi.log");
        if (avahi_ <= 0) return "cannot start unshare";
        for (;;) {
            const std::string log = read(dir_ / "avahi.log");
            if (log.find("Server startup complete") != std::string::npos) return "";
            if (ended(avahi_)) return "avahi-daemon in a private network namespace did not start: " + log;
            if (std::chrono::steady_clock::now() >= until) return "avahi-daemon was not ready in time: " + log;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static std::filesystem::path folder() { return "/tmp/shardex-avahi-" + std::to_string(getpid()); }

    static std::string find_program(const std::string& name) {
        std::string path = current("PATH").value_or("");
        path += ":/usr/sbin:/sbin:/usr/bin:/bin";
        std::stringstream dirs(path);
        for (std::string d; std::getline(dirs, d, ':');) {
            if (d.empty()) continue;
            const auto candidate = std::filesystem::path(d) / name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        }
        return "";
    }

    // Starts `args` with standard output and error in `log`, the environment of this process.
    static pid_t spawn(std::vector<std::string> args, const std::filesystem::path& log) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }

    // True (and the process reaped) once `pid` has ended.
    static bool ended(pid_t& pid) {
        if (pid <= 0) return true;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != pid) return false;
        pid = 0;
        return true;
    }

    // SIGTERM, then SIGKILL when it has not ended within two seconds.
    static void stop(pid_t& pid) {
        for (int sig : {SIGTERM, SIGKILL}) {
            if (pid <= 0) return;
            kill(pid, sig);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!ended(pid) && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    static std::optional<std::string> current(const char* name) {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    }
    static void restore(const char* name, const std::optional<std::string>& value) {
        if (value) setenv(name, value->c_str(), 1);
        else unsetenv(name);
    }
    static std::string read(const std::filesystem::path& file) {
        std::ifstream in(file);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::filesystem::path dir_;
    pid_t dbus_ = 0;
    pid_t avahi_ = 0;
    std::optional<std::string> oldBus_, oldNowarn_;
    bool envSet_ = false;
    std::string why_;
    long long startupMs_ = 0;
};

}  // namespace shardex::testing

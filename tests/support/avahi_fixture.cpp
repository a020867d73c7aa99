#include "support/avahi_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "support/media.h"

namespace shardex::testing {

namespace {

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && ::access((fs::path(d) / name).c_str(), X_OK) == 0) return (fs::path(d) / name).string();
    return "";
}

fs::path folder() { return "/tmp/shardex-avahi-" + std::to_string(::getpid()); }

}  // namespace

std::string PrivateAvahi::busAddress() { return "unix:path=" + (folder() / "bus").string(); }

PrivateAvahi::PrivateAvahi(std::chrono::milliseconds limit) { why_ = start(limit); }

PrivateAvahi::~PrivateAvahi() {
    avahi_.reset();
    dbus_.reset();
    if (envSet_ && oldBus_) setenv("DBUS_SYSTEM_BUS_ADDRESS", oldBus_->c_str(), 1);
    else if (envSet_) unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::string PrivateAvahi::start(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    if (::geteuid() != 0) return "the private avahi-daemon needs root: it runs in a network namespace of its own";
    for (const char* program : {"dbus-daemon", "avahi-daemon", "unshare", "ip", "mount"})
        if (find_program(program).empty()) return std::string("'") + program + "' is not installed (tools/apt-packages.txt)";
    std::error_code ec;
    fs::remove_all(folder(), ec);  // left by an earlier process of the same id
    if (!fs::create_directory(folder(), ec)) return "cannot make the folder " + folder().string() + ": " + ec.message();
    dir_ = folder();
    write_file(dir_ / "bus.conf",
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><type>system</type><listen>" +
                   busAddress() +
                   "</listen><auth>EXTERNAL</auth>\n<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                   "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n");
    write_file(dir_ / "avahi.conf", std::string("[server]\nhost-name=") + kHostName +
                                        "\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n"
                                        "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                                        "[publish]\npublish-hinfo=no\npublish-workstation=no\n");
    if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) oldBus_ = old;
    envSet_ = true;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress().c_str(), 1);
    setenv("AVAHI_COMPAT_NOWARN", "1", 1);

    dbus_.emplace(Process::Options{{find_program("dbus-daemon"), "--config-file=" + (dir_ / "bus.conf").string(),
                                    "--nofork", "--nopidfile"}, dir_ / "dbus.log", {}});
    if (!dbus_->spawn()) return "cannot start dbus-daemon";
    while (!fs::exists(dir_ / "bus")) {
        if (dbus_->exited() || std::chrono::steady_clock::now() >= until)
            return "dbus-daemon made no socket: " + dbus_->log();
        std::this_thread::sleep_for(10ms);
    }
    // unshare execs the shell, which execs avahi-daemon: the pid is the daemon's. The tmpfs on
    // /run, private to its mount namespace, keeps its pid file and socket from a system avahi's.
    const std::string inside = find_program("ip") + " link set lo up && " + find_program("ip") +
                               " link set lo multicast on && " + find_program("mount") +
                               " -t tmpfs tmpfs /run && exec " + find_program("avahi-daemon") + " -f " +
                               (dir_ / "avahi.conf").string() + " --no-drop-root --no-chroot --no-rlimits --no-proc-title";
    avahi_.emplace(Process::Options{{find_program("unshare"), "--net", "--mount", "--propagation", "private", "sh",
                                     "-c", inside}, dir_ / "avahi.log", {}});
    if (!avahi_->spawn()) return "cannot start unshare";
    for (;;) {
        const std::string log = avahi_->log();
        if (log.find("Server startup complete") != std::string::npos) return "";
        if (avahi_->exited() || std::chrono::steady_clock::now() >= until)
            return "avahi-daemon in a private network namespace did not start: " + log;
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace shardex::testing

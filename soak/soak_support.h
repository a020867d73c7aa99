// What the soak programs share: the window on the real encoder, player and network with two
// loopback agents as its clients, a bounded run through its Go button, the figures of a
// process from /proc, and the result lines tools/soak.sh collects:
//   SOAK <check>: <figures> ... PASS
//   SOAK <check>: <figures> ... FAIL: <why>
#pragma once

#include <sys/statvfs.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/form1.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"
#include "profiles/profile_catalogue.h"
#include "run/run_control.h"
#include "source/preview_player.h"
#include "source/source_selection.h"
#include "support/agent_process.h"
#include "support/fake_dialogs.h"
#include "support/real_services.h"
#include "support/shell.h"

namespace shardex::soak {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// One result line; true when it passed.
inline bool report(const std::string& check, const std::string& figures, const std::string& failure) {
    if (failure.empty()) std::printf("SOAK %s: %s ... PASS\n", check.c_str(), figures.c_str());
    else std::printf("SOAK %s: %s ... FAIL: %s\n", check.c_str(), figures.c_str(), failure.c_str());
    std::fflush(stdout);
    return failure.empty();
}

// Progress for the person watching; kept off the result lines.
template <typename... Args>
void note(const char* format, Args... args) {
    std::fprintf(stderr, format, args...);
    std::fputc('\n', stderr);
}

// Resident memory, open descriptors and threads of a process, from /proc.
struct ProcessFigures {
    long rssKB = -1;
    long fds = -1;
    long threads = -1;
};

inline ProcessFigures figures_of(pid_t pid) {
    ProcessFigures p;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc / "status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) p.rssKB = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) p.threads = std::atol(line.c_str() + 8);
    }
    std::error_code ec;
    long n = 0;
    for (fs::directory_iterator it(proc / "fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
    if (!ec) p.fds = n;
    return p;
}

// The names of a process's threads with how many bear each ("grpc_global_tim x1, ..."), to
// tell which kind of thread a count grew by.
inline std::string thread_names(pid_t pid) {
    std::map<std::string, int> names;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end; !ec && it != end; it.increment(ec)) {
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        ++names[name];
    }
    std::string s;
    for (const auto& [name, n] : names) s += (s.empty() ? "" : ", ") + name + " x" + std::to_string(n);
    return s;
}

inline std::string describe(const ProcessFigures& p) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "rss %.1f MiB, %ld fds, %ld threads", static_cast<double>(p.rssKB) / 1024.0, p.fds,
                  p.threads);
    return buf;
}

// A new folder under $TMPDIR (or /tmp), removed with everything in it when this goes.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix) {
        const char* tmp = std::getenv("TMPDIR");
        const fs::path base = tmp && *tmp ? tmp : "/tmp";
        std::string name = (base / (prefix + "-XXXXXX")).string();
        if (mkdtemp(name.data())) path_ = name;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    bool valid() const { return !path_.empty(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Bytes free for an ordinary user in the file system holding `path`; -1 when unknown.
inline long long free_bytes(const fs::path& path) {
    struct statvfs v {};
    if (statvfs(path.c_str(), &v) != 0) return -1;
    return static_cast<long long>(v.f_bavail) * static_cast<long long>(v.f_frsize);
}

inline int frame_count(const std::string& path) {
    const auto out = testing::run("timeout 120 ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                                  "stream=nb_read_packets -of csv=p=0 '" + path + "' 2>/dev/null");
    return out.empty() ? -1 : std::atoi(out.c_str());
}

// "asf wmv2 ..." for a Windows Media file: the container, then its streams' codecs.
inline std::string formats(const std::string& path) {
    auto fmt = testing::run("timeout 60 ffprobe -v error -show_entries format=format_name -of csv=p=0 '" + path +
                            "' 2>/dev/null");
    auto codecs = testing::run("timeout 60 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path +
                               "' 2>/dev/null");
    std::istringstream words(fmt + " " + codecs);
    std::string s, w;
    while (words >> w) s += (s.empty() ? "" : " ") + w;
    return s;
}

// Runs a shell command with a time limit; true when it exited with 0.
inline bool shell_ok(const std::string& command) { return std::system(command.c_str()) == 0; }

// Two shardex-agent processes, NODE1 and NODE2, on 127.0.0.1 under `root`, each with its own
// Shardex folder and configuration, all under the network certificates in `network`.
struct Agents {
    std::unique_ptr<testing::AgentProcess> node[2];

    // Empty, or why an agent did not start.
    std::string start(const fs::path& root, const fs::path& network) {
        for (int i = 0; i < 2; ++i) {
            const std::string name = "NODE" + std::to_string(i + 1);
            const fs::path home = root / ("node" + std::to_string(i + 1));
            fs::create_directories(home / "Shardex");
            fs::create_directories(home / "config");
            node[i] = std::make_unique<testing::AgentProcess>(testing::AgentProcess::Options{
                SHARDEX_AGENT_PATH, name, home / "Shardex", network, home / "agent.log", "127.0.0.1:0", {"--headless"},
                {"XDG_CONFIG_HOME=" + (home / "config").string(), "HOME=" + home.string()}});
            if (!node[i]->start()) return name + " did not start: " + node[i]->log();
        }
        return {};
    }
    std::vector<std::string> peers() const {
        return {"NODE1=" + node[0]->endpoint(), "NODE2=" + node[1]->endpoint()};
    }
};

// What one run through the window ended with.
struct RunResult {
    bool finished = false;  // "Go" came back within the limit
    bool success = false;   // every slot with a load reads "Success ... to 1" and no message was shown
    double seconds = 0;
    std::vector<std::string> messages;  // what the window told the user
    std::string statuses;               // the three status labels
    std::string why() const {
        std::string s = finished ? "" : "the run did not end in time; ";
        s += "statuses [" + statuses + "]";
        for (const auto& m : messages) s += " message [" + m + "]";
        return s;
    }
};

// The window of a Server on the real encoder, player and network, with NODE1 and NODE2
// (given as name=host:port) as its clients. HOME and XDG_CONFIG_HOME must already point at
// the Server's own folders (its Shardex folder is $HOME/Shardex).
class ServerWindow {
public:
    ServerWindow(const std::string& serverName, const fs::path& network, const fs::path& home,
                 const std::vector<std::string>& peers) {
        auto s = testing::real_services(dialogs, serverName, {"NODE1", "NODE2", serverName});
        remote::NetworkOptions o;
        o.networkFolder = network;
        o.peersFile = home / "no-peers";
        o.peers = peers;
        o.shareListen = "127.0.0.1:0";
        o.serverName = serverName;
        net = std::make_shared<remote::RemoteNetwork>(o);
        s.createAgent = [n = net](const std::string& c) { return n->connectAgent(c); };
        s.shareSource = [n = net](const std::string& p) { n->shareSource(p); };
        s.copyFromClient = [n = net](const std::string& c, const std::string& name, const std::string& target,
                                     const std::function<bool(std::int64_t, std::int64_t)>& progress) {
            n->copyFromClient(c, name, target, progress);
        };
        form = std::make_unique<Form1>(s);
        form->load();
    }
    ~ServerWindow() {
        form.reset();
        net.reset();
    }

    // Empty, or why the window would not take this as its run's set-up.
    std::string setUp(const std::string& profile) {
        if (form->S.Client1_Computer != "NODE1" || form->S.Client2_Computer != "NODE2")
            return "the window offers " + form->S.Client1_Computer + " and " + form->S.Client2_Computer +
                   " as clients, not NODE1 and NODE2";
        if (!profile.empty()) {
            const int index = form->Combo_Profile->findText(QString::fromStdString(profile));
            if (index < 0) return "the window does not offer the profile " + profile;
            form->Combo_Profile->setCurrentIndex(index);
            Combo_Profile_Click(*form);
        }
        return {};
    }

    // Chooses the source through the window's button; empty, or what the window said.
    std::string choose(const std::string& path) {
        dialogs->shown.clear();
        dialogs->nextOpenPath = path;
        Cmd_File_Click(*form);
        Cmd_Stop_Click(*form);  // the preview plays the chosen file; a run does not need it
        if (form->CommonDialog1.FileName != path)
            return "the window did not take " + path + (dialogs->shown.empty() ? "" : ": " + dialogs->shown[0].text);
        return {};
    }

    // Go at the given loads; waits at most `limit` for "Go" to come back.
    RunResult go(const char* local, const char* remote, const char* remote2, std::chrono::seconds limit) {
        form->local_load->setText(QString::fromLatin1(local));
        form->remote_load->setText(QString::fromLatin1(remote));
        form->remote2_load->setText(QString::fromLatin1(remote2));
        form->S.Post_View = kFalse;
        dialogs->shown.clear();
        RunResult r;
        const auto t0 = Clock::now();
        Cmd_Go_Click(*form);
        const auto until = t0 + limit;
        while (form->Cmd_Go->text() != QStringLiteral("Go") && Clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        r.seconds = seconds_since(t0);
        r.finished = form->Cmd_Go->text() == QStringLiteral("Go");
        if (!r.finished) {
            Cmd_Go_Click(*form);  // Stop
            const auto stopUntil = Clock::now() + std::chrono::seconds(60);
            while (form->Cmd_Go->text() != QStringLiteral("Go") && Clock::now() < stopUntil)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        for (const auto& m : dialogs->shown) r.messages.push_back(m.text);
        r.statuses = form->Local_Status->text().toStdString() + " | " + form->Remote_Status->text().toStdString() +
                     " | " + form->Remote2_Status->text().toStdString();
        const bool loads[3] = {std::atoi(local) > 0, std::atoi(remote) > 0, std::atoi(remote2) > 0};
        const QLabel* status[3] = {form->Local_Status, form->Remote_Status, form->Remote2_Status};
        r.success = r.finished && r.messages.empty();
        for (int i = 0; i < 3; ++i)
            if (loads[i] && !success(status[i])) r.success = false;
        return r;
    }

    // The three outputs in this computer's Shardex folder: the Server's, client 1's, client 2's.
    std::vector<std::string> outputs(const fs::path& home) const {
        return {(home / "Shardex" / form->S.Local_OutFile).string(), (home / "Shardex" / form->S.Remote_OutFile).string(),
                (home / "Shardex" / form->S.Remote2_OutFile).string()};
    }

    static bool success(const QLabel* status) {
        static const QRegularExpression re(QStringLiteral("^Status:  Success \\d*\\.\\d to 1$"));
        return re.match(status->text()).hasMatch();
    }

    std::shared_ptr<testing::FakeDialogs> dialogs = std::make_shared<testing::FakeDialogs>();
    std::shared_ptr<remote::RemoteNetwork> net;
    std::unique_ptr<Form1> form;
};

// Points HOME and XDG_CONFIG_HOME of this process at `home` and makes its Shardex folder.
inline void use_home(const fs::path& home) {
    fs::create_directories(home / "Shardex");
    fs::create_directories(home / "config");
    qputenv("HOME", QByteArray::fromStdString(home.string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home / "config").string()));
}

// The environment every soak program runs the window in: offscreen, no system bus.
inline void prepare_environment() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qgetenv("DBUS_SYSTEM_BUS_ADDRESS").isEmpty())
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/shardex-soak-no-bus");
}

}  // namespace shardex::soak

// shardex-agent: the daemon a client computer runs so that a Server can encode a segment
// there. It serves the encoder object model and the share of its Shardex folder on one
// port, over mutual TLS under the network's certificates.
//
//   shardex-agent --init                 make the network's certificates and the Shardex folder
//   shardex-agent [--listen HOST:PORT] [--name NAME] [--shardex-dir DIR]
//                 [--network-dir DIR] [--headless]
//   shardex-agent --list [--browse-ms N] the agents that announce themselves on the LAN
//
// While it serves, the agent announces itself on the LAN (DNS-SD) under its name and port,
// so that Servers find it without a peers entry.
//
// On a desktop each encoder application is also a small window: the GUI's event loop then runs
// on the main thread, the gRPC server on its own threads, and a thread of its own waits for
// the stop signals.
#include <grpcpp/grpcpp.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_service.h"
#include "agent/app_view.h"
#include "agent/desktop_view.h"
#include "platform/computer_name.h"
#include "platform/discovery/dns_sd.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/remote/channel.h"
#include "platform/remote/listen_guard.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/peers.h"
#include "platform/remote/share_service.h"
#include "platform/shown_text.h"
#include "shardex/version.h"
#include "platform/utf8_locale.h"

// After gRPC's headers: Qt's keyword macros must not reach them.
#include <QApplication>
#include <QGuiApplication>

namespace {

namespace fs = std::filesystem;
using namespace shardex;

struct Options {
    bool init = false;
    bool force = false;
    bool headless = false;
    bool list = false;
    int browseMs = 1000;
    std::string listen = "0.0.0.0:" + std::to_string(remote::kAgentPort);
    std::string name;
    fs::path shardexDir;
    fs::path networkDir;
};

const char* kUsage =
    "usage: shardex-agent [options]\n"
    "  --init               make this Shardex network's certificates (once, on one computer)\n"
    "                       and the Shardex folder\n"
    "  --force              with --init: replace the certificates that are there\n"
    "  --listen HOST:PORT   where to listen (default 0.0.0.0:47810; port 0 picks a free one)\n"
    "  --name NAME          the computer name Servers know this agent by (default: host name)\n"
    "  --shardex-dir DIR    the folder outputs are written to (default ~/Shardex)\n"
    "  --network-dir DIR    the network's certificates (default ~/.config/shardex/network)\n"
    "  --headless           print the applications' progress only, even on a desktop\n"
    "  --list               print the agents announced on the LAN (name, host, port, address)\n"
    "  --browse-ms N        how long --list listens for them (default 1000)\n"
    "  --version            print the version and end\n"
    "  --help               print this and end\n";

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    o.name = platform::computer_name();
    o.shardexDir = platform::shardex_folder();
    o.networkDir = remote::default_network_folder();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) throw Error(a + " needs " + what);
            return argv[++i];
        };
        if (a == "--init") o.init = true;
        else if (a == "--force") o.force = true;
        else if (a == "--headless") o.headless = true;
        else if (a == "--list") o.list = true;
        else if (a == "--browse-ms") {
            const std::string v = value("a number of milliseconds");
            char* end = nullptr;
            const long ms = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || ms < 0 || ms > 60000)
                throw Error("--browse-ms needs a number of milliseconds from 0 to 60000, not '" + v + "'");
            o.browseMs = static_cast<int>(ms);
        }
        else if (a == "--listen") o.listen = value("HOST:PORT");
        else if (a == "--name") o.name = value("a name");
        else if (a == "--shardex-dir") o.shardexDir = value("a folder");
        else if (a == "--network-dir") o.networkDir = value("a folder");
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return std::nullopt;
        } else if (a == "--version") {
            std::printf("shardex-agent %s\n", kVersion);
            return std::nullopt;
        } else
            throw Error("unknown option '" + a + "'\n" + kUsage);
    }
    if (o.name.empty() && !o.list) throw Error("this computer's name cannot be read: give one with --name");
    return o;
}

int init(const Options& o) {
    remote::init_network(o.networkDir, o.force);
    std::error_code ec;
    fs::create_directories(o.shardexDir, ec);
    if (ec) throw Error("cannot create the Shardex folder '" + o.shardexDir.string() + "': " + ec.message());
    std::printf("Made a new Shardex network in %s\n"
                "  ca.pem        the network's authority\n"
                "  computer.pem  the certificate every computer of the network presents\n"
                "  computer.key  its key (keep it private)\n"
                "Copy that folder to the same place on every computer of the network (the Server\n"
                "and each client), with its modes kept (e.g. scp -rp).\n"
                "Shardex folder: %s\n",
                o.networkDir.string().c_str(), o.shardexDir.string().c_str());
    return 0;
}

// Prints the agents announced on the LAN, one a line; "-" stands for what did not resolve in time.
int list(const Options& o) {
    std::string error;
    const auto found = discovery::browse(discovery::kAgentService, std::chrono::milliseconds(o.browseMs), &error);
    if (found.empty()) {
        std::printf("no Shardex agent answered within %.1f s%s\n", o.browseMs / 1000.0,
                    error.empty() ? "" : (" (" + error + ")").c_str());
        return 0;
    }
    // What other computers announce is printed as printable text, cut short.
    struct Row {
        std::string name, host, address;
        std::uint16_t port;
    };
    std::vector<Row> rows;
    std::size_t nameWidth = 0, hostWidth = 0;
    for (const auto& f : found) {
        const auto text = [](const std::string& s) {
            return s.empty() ? "-" : platform::printable(s, platform::kShownName);
        };
        rows.push_back({text(f.name), text(f.host), text(f.address), f.port});
        nameWidth = std::max(nameWidth, rows.back().name.size());
        hostWidth = std::max(hostWidth, rows.back().host.size());
    }
    for (const auto& r : rows)
        std::printf("%-*s  %-*s  %5s  %s\n", static_cast<int>(nameWidth), r.name.c_str(), static_cast<int>(hostWidth),
                    r.host.c_str(), r.port ? std::to_string(r.port).c_str() : "-", r.address.c_str());
    return 0;
}

// On a desktop an application is both a window and the console's lines: the terminal (or the
// journal) keeps a record of the jobs either way.
class BothViews final : public agent::AppView {
public:
    BothViews(std::unique_ptr<AppView> first, std::unique_ptr<AppView> second)
        : first_(std::move(first)), second_(std::move(second)) {}
    void setPlacement(std::int32_t x, std::int32_t y) override {
        first_->setPlacement(x, y);
        second_->setPlacement(x, y);
    }
    void setVisible(bool visible) override {
        first_->setVisible(visible);
        second_->setVisible(visible);
    }
    void job(const std::string& source, const std::string& output, std::int64_t segmentMs) override {
        first_->job(source, output, segmentMs);
        second_->job(source, output, segmentMs);
    }
    void state(std::int32_t state) override {
        first_->state(state);
        second_->state(state);
    }
    void progress(std::int64_t bytes, std::int64_t mediaMs) override {
        first_->progress(bytes, mediaMs);
        second_->progress(bytes, mediaMs);
    }
    void error(const std::string& description) override {
        first_->error(description);
        second_->error(description);
    }

private:
    std::unique_ptr<AppView> first_;
    std::unique_ptr<AppView> second_;
};

// Waits for SIGINT or SIGTERM (blocked in every thread since start-up).
void wait_for_stop_signal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    sigwait(&set, &sig);
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

void quiet_qt(QtMsgType, const QMessageLogContext&, const QString&) {}

// The QApplication of an agent on a desktop, or none when the display cannot be used.
// Qt aborts the program when no platform of its list starts, so the list ends with
// "offscreen": a QApplication on it means the display failed, and is dropped.
std::unique_ptr<QApplication> open_desktop() {
    std::string platforms = env("QT_QPA_PLATFORM");
    if (platforms.empty()) {
        // X first, also on a Wayland desktop (through XWayland): there the window goes where
        // the Server places it, which Wayland leaves to the compositor.
        if (!env("DISPLAY").empty()) platforms += "xcb;";
        if (!env("WAYLAND_DISPLAY").empty()) platforms += "wayland;";
    } else {
        platforms += ";";
    }
    platforms += "offscreen";
    // Lives as long as the QApplication, which keeps references to both.
    static std::string args[] = {"shardex-agent", "-platform", platforms};
    static char* argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    static int argc = 3;
    // Qt's own complaints about the display would say the same as our one line, less clearly.
    const QtMessageHandler previous = qInstallMessageHandler(quiet_qt);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        app->setQuitOnLastWindowClosed(false);  // the user closing a window only hides it
        return app;
    }
    app.reset();
    std::printf("shardex-agent: the display (%s) cannot be used: the applications are shown on this terminal only\n",
                (!env("DISPLAY").empty() ? "DISPLAY=" + env("DISPLAY") : "WAYLAND_DISPLAY=" + env("WAYLAND_DISPLAY"))
                    .c_str());
    std::fflush(stdout);
    return nullptr;
}

// Runs the desktop's event loop until SIGINT or SIGTERM. The loop may also end without one
// (the desktop session ending): the waiter is then woken by a signal of our own to be joined.
void run_desktop(QApplication& app) {
    std::atomic<bool> signalled{false};
    std::thread waiter([&signalled] {
        wait_for_stop_signal();
        signalled = true;
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    app.exec();
    if (!signalled) pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
}

// Serves until SIGINT or SIGTERM, then stops the server; the service and the views of the
// applications still open go with it.
void serve_until_stopped(const Options& o, agent::AgentSettings settings, const remote::Endpoint& listen,
                         const std::shared_ptr<grpc::ServerCredentials>& creds, QApplication* desktop) {
    agent::AgentService agentService(std::move(settings));
    // A job's output stays its own until its Server has copied it home.
    remote::ShareService shareService(
        std::make_shared<remote::FolderShare>(o.shardexDir),
        [&agentService](const std::filesystem::path& file, const std::vector<std::string>& sessions) {
            agentService.outputCopied(file, sessions);
        });
    grpc::ServerBuilder builder;
    remote::apply_server_options(builder);
    int port = 0;
    builder.AddListeningPort(listen.text(), creds, &port);
    builder.RegisterService(&agentService);
    builder.RegisterService(&shareService);
    auto server = builder.BuildAndStart();
    if (!server || port == 0)
        throw Error("cannot listen on " + listen.text() +
                    ": the port is in use by another program or the address is not one of this computer's");
    std::printf("shardex-agent %s listening on %s:%d, Shardex folder %s\n", o.name.c_str(), listen.host.c_str(), port,
                o.shardexDir.string().c_str());
    std::fflush(stdout);
    // Withdrawn before the server stops. Not being announced never stops the agent.
    auto announcement = std::make_unique<discovery::Announcement>(
        discovery::kAgentService, o.name, static_cast<std::uint16_t>(port), [](const std::string& why) {
            std::fprintf(stderr,
                         "shardex-agent: cannot announce this agent on the network (%s): Servers find it only "
                         "through their peers entries\n",
                         why.c_str());
            std::fflush(stderr);
        });

    if (desktop) run_desktop(*desktop);
    else wait_for_stop_signal();
    std::printf("shardex-agent %s stopping\n", o.name.c_str());
    std::fflush(stdout);
    // The sessions end themselves at once, whatever their jobs wait for; a call still running
    // after that is cancelled, so the agent ends within about a second.
    agentService.shutdown();
    announcement.reset();
    server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
}

int serve(const Options& o) {
    // Before anything opens files or listens: the soft limit of open files raised to the
    // hard one, and the caps on connections that keep the listener serving set from it.
    remote::guard_listeners();
    agent::AgentSettings settings;
    settings.name = o.name;
    settings.shardexFolder = o.shardexDir;
    settings.credentials = remote::load_network(o.networkDir);
    if (!fs::is_directory(o.shardexDir))
        throw Error("there is no Shardex folder '" + o.shardexDir.string() +
                    "': run 'shardex-agent --init' (or create the folder) and start the agent again");
    const auto listen = remote::parse_listen_address(o.listen, remote::kAgentPort);
    auto creds = remote::server_credentials(settings.credentials);
    // Made before the server starts, as a Server may create an application at once.
    std::unique_ptr<QApplication> desktop;
    if (!o.headless && (!env("DISPLAY").empty() || !env("WAYLAND_DISPLAY").empty())) desktop = open_desktop();
    const std::string name = o.name;
    settings.views = [name, windows = desktop != nullptr](const std::string& server,
                                                          const std::string& app) -> std::unique_ptr<agent::AppView> {
        auto lines = agent::make_console_view(name, server, app);
        if (!windows) return lines;
        return std::make_unique<BothViews>(std::move(lines), agent::make_desktop_view(server, app));
    };
    serve_until_stopped(o, std::move(settings), listen, creds, desktop.get());
    // The views of the applications still open were destroyed with the service: their windows
    // close here, before the QApplication goes.
    if (desktop) QCoreApplication::sendPostedEvents();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    shardex::platform::prefer_utf8_locale();
    // Block the stop signals before any thread starts, so that only sigwait sees them.
    // Before any other gRPC object: its settings are read once, at its start.
    shardex::remote::quiet_grpc_log();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    try {
        auto options = parse(argc, argv);
        if (!options) return 0;
        if (options->list) return list(*options);
        return options->init ? init(*options) : serve(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "shardex-agent: %s\n", e.what());
        return 2;
    }
}

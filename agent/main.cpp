// shardex-agent: the daemon a client computer runs so that a Server can encode a segment
// there. It serves the encoder object model and the share of its Shardex folder on one
// port, over mutual TLS under the network's certificates.
//
//   shardex-agent --init                 make the network's certificates and the Shardex folder
//   shardex-agent [--listen HOST:PORT] [--name NAME] [--shardex-dir DIR]
//                 [--network-dir DIR] [--peer NAME=HOST:PORT]... [--peers-file FILE]
#include <grpcpp/grpcpp.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/agent_service.h"
#include "agent/app_view.h"
#include "platform/computer_name.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/remote/channel.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/peers.h"
#include "platform/remote/share_service.h"

namespace {

namespace fs = std::filesystem;
using namespace shardex;

struct Options {
    bool init = false;
    bool force = false;
    std::string listen = "0.0.0.0:" + std::to_string(remote::kAgentPort);
    std::string name;
    fs::path shardexDir;
    fs::path networkDir;
    fs::path peersFile;
    std::vector<std::string> peers;
};

const char* kUsage =
    "usage: shardex-agent [options]\n"
    "  --init               make this Shardex network's certificates (once, on one computer)\n"
    "                       and the Shardex folder; add --force to replace existing ones\n"
    "  --listen HOST:PORT   where to listen (default 0.0.0.0:47810; port 0 picks a free one)\n"
    "  --name NAME          the computer name Servers know this agent by (default: host name)\n"
    "  --shardex-dir DIR    the folder outputs are written to (default ~/Shardex)\n"
    "  --network-dir DIR    the network's certificates (default ~/.config/shardex/network)\n"
    "  --peer NAME=HOST:PORT  where to reach a computer by that name (repeatable)\n"
    "  --peers-file FILE    more such entries, one a line (default ~/.config/shardex/peers)\n";

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    o.name = platform::computer_name();
    o.shardexDir = platform::shardex_folder();
    o.networkDir = remote::default_network_folder();
    o.peersFile = remote::default_peers_file();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) throw Error(a + " needs " + what);
            return argv[++i];
        };
        if (a == "--init") o.init = true;
        else if (a == "--force") o.force = true;
        else if (a == "--listen") o.listen = value("HOST:PORT");
        else if (a == "--name") o.name = value("a name");
        else if (a == "--shardex-dir") o.shardexDir = value("a folder");
        else if (a == "--network-dir") o.networkDir = value("a folder");
        else if (a == "--peers-file") o.peersFile = value("a file");
        else if (a == "--peer") o.peers.push_back(value("NAME=HOST:PORT"));
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return std::nullopt;
        } else
            throw Error("unknown option '" + a + "'\n" + kUsage);
    }
    if (o.name.empty()) throw Error("this computer's name cannot be read: give one with --name");
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

int serve(const Options& o) {
    agent::AgentSettings settings;
    settings.name = o.name;
    settings.shardexFolder = o.shardexDir;
    settings.credentials = remote::load_network(o.networkDir);
    if (!fs::is_directory(o.shardexDir))
        throw Error("there is no Shardex folder '" + o.shardexDir.string() +
                    "': run 'shardex-agent --init' (or create the folder) and start the agent again");
    for (const auto& p : o.peers) settings.resolver.add(p);
    settings.resolver.load_file(o.peersFile);
    const std::string name = o.name;
    settings.views = [name](const std::string& server, const std::string& app) {
        return agent::make_console_view(name, server, app);
    };
    const auto listen = remote::parse_endpoint(o.listen, remote::kAgentPort);
    auto creds = remote::server_credentials(settings.credentials);

    agent::AgentService agentService(std::move(settings));
    remote::ShareService shareService(std::make_shared<remote::FolderShare>(o.shardexDir));
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

    // Wait for the end: SIGINT or SIGTERM (blocked in every thread since start-up).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    sigwait(&set, &sig);
    std::printf("shardex-agent %s stopping\n", o.name.c_str());
    std::fflush(stdout);
    server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(3));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
        return options->init ? init(*options) : serve(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "shardex-agent: %s\n", e.what());
        return 2;
    }
}

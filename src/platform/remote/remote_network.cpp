#include "platform/remote/remote_network.h"

#include <grpcpp/grpcpp.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>
#include <optional>

#include "platform/config_file.h"
#include "platform/discovery/dns_sd.h"
#include "platform/remote/channel.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/peers.h"
#include "platform/remote/remote_encoder.h"
#include "platform/remote/share_client.h"
#include "platform/remote/share_service.h"

namespace shardex::remote {

std::filesystem::path default_settings_file() { return platform::settings_file(); }

namespace {

// The browse time from the settings file; the default when the file or the key is missing
// or not a number from 0 to 60,000.
int browse_ms_setting() {
    std::ifstream in(default_settings_file());
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos || line.compare(0, eq, "browse_ms") != 0) continue;
        try {
            const int ms = std::stoi(line.substr(eq + 1));
            if (ms >= 0 && ms <= 60000) return ms;
        } catch (const std::exception&) {
        }
    }
    return kDefaultBrowseMs;
}

}  // namespace

struct RemoteNetwork::Impl {
    NetworkOptions options;
    std::mutex mutex;
    std::optional<NetworkCredentials> credentials;
    std::optional<Resolver> resolver;
    std::shared_ptr<SingleFileShare> shared = std::make_shared<SingleFileShare>();
    std::unique_ptr<ShareService> shareService;
    std::unique_ptr<grpc::Server> shareServer;
    int sharePort = 0;
    // Tells the LAN where this Server's share is for as long as it serves.
    std::unique_ptr<discovery::Announcement> shareAnnouncement;
    // The sessions opened with each computer; a copy from it presents those still open.
    std::map<std::string, std::vector<SessionTicket>> sessions;

    std::vector<std::string> openSessions(const std::string& computer) {
        auto& tickets = sessions[computer];
        std::erase_if(tickets, [](const SessionTicket& t) { return t.open.expired(); });
        std::vector<std::string> ids;
        for (const auto& t : tickets) ids.push_back(t.id);
        return ids;
    }

    const NetworkCredentials& creds() {
        if (!credentials)
            credentials = load_network(options.networkFolder.empty() ? default_network_folder() : options.networkFolder);
        return *credentials;
    }

    Endpoint resolve(const std::string& computer, std::uint16_t port) {
        if (!resolver) {
            Resolver r;
            for (const auto& p : options.peers) r.add(p);
            r.load_file(options.peersFile.empty() ? default_peers_file() : options.peersFile);
            resolver = std::move(r);
        }
        return resolver->resolve(computer, port);
    }

    // The share listens from the first client job on; the agents learn its port when their
    // session opens.
    void startShare() {
        if (shareServer) return;
        auto serverCreds = server_credentials(creds());
        shareService = std::make_unique<ShareService>(shared);
        auto tryListen = [&](const std::string& address) -> bool {
            grpc::ServerBuilder builder;
            apply_server_options(builder);
            int port = 0;
            builder.AddListeningPort(address, serverCreds, &port);
            builder.RegisterService(shareService.get());
            auto server = builder.BuildAndStart();
            if (!server || port == 0) return false;
            shareServer = std::move(server);
            sharePort = port;
            return true;
        };
        if (!options.shareListen.empty()) {
            const auto at = parse_listen_address(options.shareListen, kSharePort);
            if (!tryListen(at.text()))
                throw Error("cannot share the source on " + at.text() + ": the port is in use or the address is not this computer's");
        } else if (!tryListen("0.0.0.0:" + std::to_string(kSharePort)) && !tryListen("0.0.0.0:0")) {
            throw Error("cannot share the source with the clients: no port to listen on");
        }
        announceShare();
    }

    // Not being found on the LAN costs nothing here: the agents learn the share's port from
    // their session anyway. The reason is told once.
    void announceShare() {
        if (options.serverName.empty()) return;
        shareAnnouncement = std::make_unique<discovery::Announcement>(
            discovery::kShareService, options.serverName, static_cast<std::uint16_t>(sharePort),
            [](const std::string& why) {
                std::fprintf(stderr, "shardex: cannot announce this Server's share on the network (%s)\n", why.c_str());
            });
    }
};

RemoteNetwork::RemoteNetwork(NetworkOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
}

RemoteNetwork::~RemoteNetwork() {
    impl_->shareAnnouncement.reset();  // withdrawn before the share stops answering
    if (impl_->shareServer) impl_->shareServer->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
}

std::shared_ptr<encoder::Agent> RemoteNetwork::connectAgent(const std::string& computer) {
    std::unique_lock lock(impl_->mutex);
    const auto& creds = impl_->creds();
    impl_->startShare();
    AgentAddress address{computer, impl_->resolve(computer, kAgentPort)};
    ServerIdentity server{impl_->options.serverName, static_cast<std::uint16_t>(impl_->sharePort)};
    lock.unlock();
    auto agent = connect_agent(address, creds, server);
    lock.lock();
    impl_->openSessions(computer);  // forgets the closed ones
    impl_->sessions[computer].push_back(session_ticket(*agent));
    return agent;
}

void RemoteNetwork::shareSource(const std::string& sourcePath) {
    std::lock_guard lock(impl_->mutex);
    impl_->shared->set(sourcePath);
}

void RemoteNetwork::copyFromClient(const std::string& computer, const std::string& name,
                                   const std::filesystem::path& target, const CopyProgress& progress) {
    std::unique_lock lock(impl_->mutex);
    const auto& creds = impl_->creds();
    const Endpoint endpoint = impl_->resolve(computer, kAgentPort);
    const std::vector<std::string> sessions = impl_->openSessions(computer);
    lock.unlock();
    ShareClient client(make_channel(endpoint, creds), computer, endpoint);
    client.download(name, target, progress, impl_->options.serverName, sessions);
}

std::vector<std::string> RemoteNetwork::peerNames() {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> names;
    try {
        impl_->resolve("", kAgentPort);  // reads the peers once
        for (const auto& [name, endpoint] : impl_->resolver->entries()) names.push_back(name);
    } catch (const Error&) {
    }
    return names;
}

std::vector<std::string> RemoteNetwork::discoverAgents() {
    const int ms = impl_->options.browseMs >= 0 ? impl_->options.browseMs : browse_ms_setting();
    const auto found = discovery::browse(discovery::kAgentService, std::chrono::milliseconds(ms));
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> names;
    bool peersRead = true;
    try {
        impl_->resolve("", kAgentPort);  // reads the peers once
    } catch (const Error&) {
        peersRead = false;  // a bad peers file is reported when a computer is reached
    }
    for (const auto& f : found) {
        names.push_back(f.name);
        const std::string host = !f.address.empty() ? f.address : f.host;
        if (peersRead && !host.empty() && f.port != 0) impl_->resolver->add_discovered(f.name, {host, f.port});
    }
    return names;
}

std::uint16_t RemoteNetwork::sharePort() const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<std::uint16_t>(impl_->sharePort);
}

}  // namespace shardex::remote

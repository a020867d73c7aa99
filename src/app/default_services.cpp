#include "app/services.h"

#include <algorithm>
#include <exception>
#include <filesystem>

#include "about/desktop.h"
#include "platform/clock.h"
#include "platform/config_file.h"
#include "platform/computer_name.h"
#include "platform/counters/counters.h"
#include "platform/encoder/factory.h"
#include "platform/media/factory.h"
#include "platform/remote/network_certs.h"
#include "platform/remote/remote_network.h"

namespace shardex {

Services default_services(const NetworkSettings& network) {
    Services s;
    s.createEncoder = [] { return encoder::create_local_encoder(); };
    s.createProfileEditor = [] { return encoder::create_profile_editor(); };
    s.createDataView = [] { return encoder::create_data_view(); };
    s.createGraph = [] { return media::create_filter_graph(); };
    s.tickCount = [] { return platform::tick_count(); };
    s.sleep = [](std::uint32_t ms) { platform::sleep_ms(ms); };
    const std::string self = network.computerName.empty() ? platform::computer_name() : network.computerName;
    s.computerName = [self] { return self; };
    auto counters = platform::create_counter_collection();
    s.monitorCounters = [counters] { return counters; };

    remote::NetworkOptions options;
    options.networkFolder = network.networkFolder;
    options.peersFile = network.peersFile;
    options.peers = network.peers;
    options.shareListen = network.shareListen;
    options.serverName = self;
    auto net = std::make_shared<remote::RemoteNetwork>(std::move(options));
    // The computers offered: the agents DNS-SD finds, those the peers entries name and this
    // one, sorted, each once. A browse that finds nothing (no daemon, no multicast) leaves
    // the others.
    s.browseComputers = [net, self] {
        std::vector<std::string> names = net->discoverAgents();
        for (auto& name : net->peerNames()) names.push_back(name);
        if (!self.empty()) names.push_back(self);
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        return names;
    };
    s.createAgent = [net](const std::string& computer) { return net->connectAgent(computer); };
    s.shareSource = [net](const std::string& path) { net->shareSource(path); };
    s.copyFromClient = [net](const std::string& computer, const std::string& name, const std::string& target,
                             const std::function<bool(std::int64_t, std::int64_t)>& progress) {
        net->copyFromClient(computer, name, target, progress);
    };
    s.joinSegments = join::join_segments;
    s.findProgram = desktop::find_program;
    s.startProgram = desktop::start_detached;
    s.openInBrowser = desktop::open_in_browser;
    s.helpLocations = desktop::help_locations_of_this_program;
    s.readSetting = platform::read_setting;
    s.writeSetting = platform::write_setting;
    // The certificates are read again when the network is first used; this reading only
    // tells the user early what a run with clients would meet.
    const std::filesystem::path certificates =
        network.networkFolder.empty() ? remote::default_network_folder() : std::filesystem::path(network.networkFolder);
    s.networkProblem = [certificates]() -> std::string {
        try {
            remote::load_network(certificates);
            return {};
        } catch (const std::exception& e) {
            return e.what();
        }
    };
    s.notify = desktop::notify;
    s.openFolder = desktop::open_folder;
    return s;
}

}  // namespace shardex

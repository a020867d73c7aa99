#include "app/services.h"
#include "platform/clock.h"
#include "platform/computer_name.h"
#include "platform/encoder/factory.h"
#include "platform/media/factory.h"

namespace shardex {

Services default_services() {
    Services s;
    s.createEncoder = [] { return encoder::create_local_encoder(); };
    s.createProfileEditor = [] { return encoder::create_profile_editor(); };
    s.createDataView = [] { return encoder::create_data_view(); };
    s.createGraph = [] { return media::create_filter_graph(); };
    s.tickCount = [] { return platform::tick_count(); };
    s.sleep = [](std::uint32_t ms) { platform::sleep_ms(ms); };
    s.computerName = [] { return platform::computer_name(); };
    // Until computers are discovered on the network, the list holds this computer alone,
    // which makes the Server take the whole load.
    s.browseComputers = [] {
        auto self = platform::computer_name();
        return self.empty() ? std::vector<std::string>{} : std::vector<std::string>{self};
    };
    return s;
}

}  // namespace shardex

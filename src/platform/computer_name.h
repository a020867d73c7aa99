// This computer's name on the network.
#pragma once

#include <string>

namespace shardex::platform {

// The host name without its domain, or "" when it cannot be read.
std::string computer_name();

}  // namespace shardex::platform

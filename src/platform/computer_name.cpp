#include "platform/computer_name.h"

#include <unistd.h>

namespace shardex::platform {

std::string computer_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    std::string name(buf);
    if (auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
    return name;
}

}  // namespace shardex::platform

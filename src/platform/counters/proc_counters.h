// The counter collection on Linux's own statistics: /proc/stat (processor), /proc/diskstats
// (disks), /proc/net/dev (network interfaces), with /proc/net/route and /sys telling which
// interface carries the traffic, which one is loopback and which block devices are disks.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/counters/counters.h"

namespace shardex::platform {

struct ProcCounterOptions {
    // The folder holding proc/ and sys/: "/" for the system; tests point it at a tree of
    // their own.
    std::string root = "/";
    // This computer's name, the one a path may give; empty means computer_name().
    std::string computer;
    // A steady clock in seconds, the time base of the disk and network rates; empty means
    // the system's steady clock.
    std::function<double()> seconds;
};

std::shared_ptr<CounterCollection> create_proc_counter_collection(ProcCounterOptions options = {});

// A counter path taken apart: "\\COMPUTER\Object(Instance)\Counter". `computer` is empty
// when the path leaves it out or leaves it empty; `instance` is empty for an object
// without instances. `instanceAt` is where the instance starts in the path (npos when
// there is none), so that a wildcard can be replaced by a name.
struct CounterPath {
    std::string computer;
    std::string object;
    std::string instance;
    std::string counter;
    std::size_t instanceAt = std::string::npos;
};

// Null for a malformed path.
std::optional<CounterPath> parse_counter_path(std::string_view path);

}  // namespace shardex::platform

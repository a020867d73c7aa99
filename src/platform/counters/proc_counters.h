// The counter collection on Linux's own statistics: /proc/stat (processor), /proc/diskstats
// (disks), /proc/net/dev (network interfaces), with /proc/net/route and /sys telling which
// interface carries the traffic, which one is loopback and which block devices are disks.
#pragma once

#include <functional>
#include <memory>
#include <string>

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

}  // namespace shardex::platform

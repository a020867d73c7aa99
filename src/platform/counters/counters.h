// This computer's performance counters, found by path, as the meters of the window read
// them (the System Monitor control). No Qt here.
//
// A path has the form "\\COMPUTER\Object(Instance)\Counter"; the computer part may be
// left out ("\Object(Instance)\Counter") or empty ("\\\Object..."), both meaning this
// computer. Object and counter names match without regard to case. The counters offered:
//   \Processor(_Total)\% Processor Time      busy time of all processors, percent of the interval
//   \PhysicalDisk(_Total)\% Disk Time        time the physical disks spent doing I/O, percent of
//                                            the interval, summed over the disks (so above 100
//                                            when several disks work at once)
//   \Network Interface(NAME)\Bytes Total/sec bytes received plus bytes sent per second; "(*)"
//                                            names every interface present when it is added
//
// Values are rates between two samples. Adding a counter takes its first sample; every read
// of value() takes another and returns the rate over the interval since the previous one.
// A counter with no earlier sample, or one that can't be read (its source gone, a file
// unreadable), reads 0. No call throws.
//
// Thread: one thread only, the one that created the collection (the window's).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace shardex::platform {

class Counter {
public:
    virtual ~Counter() = default;
    // The counter's full path, a wildcard instance replaced by the instance's own name. The
    // loopback interface's instance name contains "Loopback".
    virtual std::string path() const = 0;
    // Samples the counter and returns its rate since the previous sample (see above); 0 when
    // it can't be read.
    virtual double value() = 0;
};

class CounterCollection {
public:
    virtual ~CounterCollection() = default;
    virtual std::int32_t count() const = 0;
    // The counter at `position`, counted from 1; null for a position outside 1..count().
    virtual std::shared_ptr<Counter> item(std::int32_t position) const = 0;
    // Adds the counters `path` names and returns the first of them, or null when the path is
    // refused (malformed, another computer, an object, instance or counter not offered).
    // Counters added later are listed first: after adding the processor, the disk and the
    // network interfaces, in that order, position count() holds the processor, count() - 1
    // the disk, and the network interfaces come before them. Of the interfaces, the one that
    // carries the traffic (the default route's, else the first one that isn't loopback) sits
    // at count() - 3, and the loopback interface, when there is one, at count() - 2.
    virtual std::shared_ptr<Counter> add(const std::string& path) = 0;
};

// The counters of this computer, from the operating system's own statistics.
std::shared_ptr<CounterCollection> create_counter_collection();

}  // namespace shardex::platform

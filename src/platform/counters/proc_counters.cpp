// Counters read from /proc and /sys. Each counter re-reads its one source file when its
// value is asked for, so that a tick of the meters costs a few small reads and nothing runs
// between ticks.
#include "platform/counters/proc_counters.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/computer_name.h"

namespace shardex::platform {
namespace {

namespace fs = std::filesystem;

// ---- reading the statistics files ----------------------------------------------------------

// The whole of a small file, or false when it can't be read.
bool read_file(const std::string& path, std::string& out) {
    out.clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0) out.append(buf, got);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

// Splits `text` into its lines, without the line ends.
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        auto end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// Splits a line at blanks, tabs and line ends.
std::vector<std::string_view> fields_of(std::string_view line) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && blank(line[i])) ++i;
        std::size_t start = i;
        while (i < line.size() && !blank(line[i])) ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

std::optional<std::uint64_t> to_u64(std::string_view text, int base = 10) {
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// ---- the counters ---------------------------------------------------------------------------

// Cumulative totals of a counter at one moment: `amount` counted so far against `base`
// elapsed so far (jiffies, milliseconds or seconds). The rate between two readings is
// scale * d(amount) / d(base).
struct Reading {
    double amount = 0;
    double base = 0;
};

using ReadFn = std::function<std::optional<Reading>()>;

class RateCounter : public Counter {
public:
    RateCounter(std::string path, ReadFn read, double scale, double ceiling)
        : path_(std::move(path)), read_(std::move(read)), scale_(scale), ceiling_(ceiling) {
        last_ = read_();
    }

    std::string path() const override { return path_; }

    double value() override {
        auto now = read_();
        if (!now) return 0;  // kept: the next good reading spans the gap
        if (!last_) {
            last_ = now;
            return rate_ = 0;
        }
        double amount = now->amount - last_->amount;
        double base = now->base - last_->base;
        if (amount < 0) {  // the source started again (an interface re-created, a disk removed)
            last_ = now;
            return rate_ = 0;
        }
        if (base <= 0) return rate_;  // no time has passed: the rate stands
        last_ = now;
        return rate_ = std::min(scale_ * amount / base, ceiling_);
    }

private:
    std::string path_;
    ReadFn read_;
    double scale_;
    double ceiling_;
    std::optional<Reading> last_;
    double rate_ = 0;
};

// Where the statistics are, and the clock the rates are taken against.
struct System {
    std::string root;
    std::function<double()> seconds;

    std::string at(std::string_view rel) const { return root + std::string(rel); }
};

// Processor: busy jiffies of the "cpu" line against all jiffies, so the interval is the
// kernel's own and no clock is needed. Idle and I/O wait count as not busy.
std::optional<Reading> read_processor(const System& sys, std::string& buf) {
    if (!read_file(sys.at("proc/stat"), buf)) return std::nullopt;
    for (auto line : lines_of(buf)) {
        auto f = fields_of(line);
        if (f.empty() || f[0] != "cpu") continue;
        if (f.size() < 5) return std::nullopt;
        double busy = 0, total = 0;
        // user nice system idle iowait irq softirq steal (guest time is already in user).
        for (std::size_t i = 1; i < f.size() && i <= 8; ++i) {
            auto v = to_u64(f[i]);
            if (!v) return std::nullopt;
            total += static_cast<double>(*v);
            if (i != 4 && i != 5) busy += static_cast<double>(*v);
        }
        return Reading{busy, total};
    }
    return std::nullopt;
}

// Which block devices are physical disks: whole disks (listed in sys/block, so not
// partitions) that have a device behind them (so not loop, ram, zram, device-mapper or md
// devices). Without sys/block, the names tell: no partition of another listed device and
// none of the virtual kinds. Answers are kept per name, so a disk plugged in later is
// looked at once.
class DiskKinds {
public:
    explicit DiskKinds(std::shared_ptr<const System> sys) : sys_(std::move(sys)) {}

    bool physical(std::string_view name, const std::vector<std::string_view>& all) {
        auto it = known_.find(name);
        if (it != known_.end()) return it->second;
        bool is = exists(sys_->at("sys/block")) ? exists(sys_->at("sys/block/") + std::string(name) + "/device")
                                                : physical_by_name(name, all);
        known_.emplace(std::string(name), is);
        return is;
    }

private:
    static bool physical_by_name(std::string_view name, const std::vector<std::string_view>& all) {
        for (std::string_view v : {"loop", "ram", "zram", "dm-", "md", "sr", "fd", "nbd"})
            if (name.substr(0, v.size()) == v) return false;
        for (auto other : all) {
            if (other.size() >= name.size() || name.substr(0, other.size()) != other) continue;
            auto rest = name.substr(other.size());
            if (!rest.empty() && rest[0] == 'p') rest.remove_prefix(1);
            if (!rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return false;  // "sda1" of "sda", "nvme0n1p2" of "nvme0n1"
        }
        return true;
    }

    std::shared_ptr<const System> sys_;
    std::map<std::string, bool, std::less<>> known_;
};

// Disks: milliseconds spent doing I/O (the tenth statistic of a diskstats line), summed
// over the physical disks, against elapsed milliseconds. No physical disk reads 0.
std::optional<Reading> read_disks(const System& sys, DiskKinds& kinds, std::string& buf) {
    double now_ms = sys.seconds() * 1000.0;
    if (!read_file(sys.at("proc/diskstats"), buf)) return std::nullopt;
    auto lines = lines_of(buf);
    std::vector<std::vector<std::string_view>> rows;
    std::vector<std::string_view> names;
    for (auto line : lines) {
        auto f = fields_of(line);
        if (f.size() < 13) continue;
        names.push_back(f[2]);
        rows.push_back(std::move(f));
    }
    double io_ms = 0;
    for (const auto& f : rows) {
        if (!kinds.physical(f[2], names)) continue;
        if (auto v = to_u64(f[12])) io_ms += static_cast<double>(*v);
    }
    return Reading{io_ms, now_ms};
}

// Network: bytes received plus bytes sent by one interface, against elapsed seconds. An
// interface no longer listed can't be read.
std::optional<Reading> read_interface(const System& sys, const std::string& name, std::string& buf) {
    double now = sys.seconds();
    if (!read_file(sys.at("proc/net/dev"), buf)) return std::nullopt;
    for (auto line : lines_of(buf)) {
        auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        auto f = fields_of(line.substr(0, colon));
        if (f.size() != 1 || f[0] != name) continue;
        auto stats = fields_of(line.substr(colon + 1));
        if (stats.size() < 9) return std::nullopt;
        auto rx = to_u64(stats[0]), tx = to_u64(stats[8]);
        if (!rx || !tx) return std::nullopt;
        return Reading{static_cast<double>(*rx) + static_cast<double>(*tx), now};
    }
    return std::nullopt;
}

// ---- the network interfaces -----------------------------------------------------------------

struct Interface {
    std::string name;      // the kernel's name
    std::string instance;  // the name a counter path gives it
    bool loopback = false;
};

constexpr std::string_view kLoopbackPrefix = "Loopback Interface ";

// The interfaces of proc/net/dev, in the order that puts the one carrying the traffic at
// position count() - 3 once the collection lists them: loopback first (or, with no loopback,
// another interface), then the traffic's interface, then the rest as the kernel lists them.
std::vector<Interface> list_interfaces(const System& sys) {
    std::string buf;
    std::vector<Interface> all;
    if (!read_file(sys.at("proc/net/dev"), buf)) return all;
    for (auto line : lines_of(buf)) {
        auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        auto f = fields_of(line.substr(0, colon));
        if (f.size() != 1) continue;
        Interface i;
        i.name = std::string(f[0]);
        std::string flags;
        if (read_file(sys.at("sys/class/net/") + i.name + "/flags", flags)) {
            auto text = fields_of(flags);
            auto v = text.empty() ? std::nullopt
                                  : to_u64(text[0].substr(0, 2) == "0x" ? text[0].substr(2) : text[0], 16);
            i.loopback = v && (*v & 0x8);  // IFF_LOOPBACK
        } else {
            i.loopback = i.name == "lo";
        }
        i.instance = i.loopback ? std::string(kLoopbackPrefix) + i.name : i.name;
        all.push_back(std::move(i));
    }

    // The traffic's interface: the default route's with the lowest metric, else the first
    // one that isn't loopback.
    std::string routed;
    std::uint64_t best_metric = std::numeric_limits<std::uint64_t>::max();
    if (read_file(sys.at("proc/net/route"), buf)) {
        for (auto line : lines_of(buf)) {
            auto f = fields_of(line);
            if (f.size() < 8 || f[1] != "00000000" || f[7] != "00000000") continue;
            auto metric = to_u64(f[6]);
            if (metric && *metric < best_metric) {
                best_metric = *metric;
                routed = std::string(f[0]);
            }
        }
    }
    auto is_routed = [&](const Interface& i) { return !i.loopback && (routed.empty() || i.name == routed); };
    auto carrier_it = std::find_if(all.begin(), all.end(), is_routed);
    if (carrier_it == all.end())
        carrier_it = std::find_if(all.begin(), all.end(), [](auto& i) { return !i.loopback; });

    std::vector<Interface> ordered;
    std::vector<Interface> rest;
    std::optional<Interface> carrier;
    std::optional<Interface> loop;
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it == carrier_it) carrier = *it;
        else if (it->loopback && !loop) loop = *it;
        else rest.push_back(*it);
    }
    if (loop) {
        ordered.push_back(*loop);
    } else if (carrier && !rest.empty()) {
        ordered.push_back(rest.front());
        rest.erase(rest.begin());
    }
    if (carrier) ordered.push_back(*carrier);
    ordered.insert(ordered.end(), rest.begin(), rest.end());
    return ordered;
}

// ---- counter paths ---------------------------------------------------------------------------

// A counter path taken apart: "\\COMPUTER\Object(Instance)\Counter". `computer` is empty
// when the path leaves it out or leaves it empty; `instance` is empty for an object without
// instances. `instanceAt` is where the instance starts in the path, so that a wildcard can
// be replaced by a name.
struct CounterPath {
    std::string computer;
    std::string object;
    std::string instance;
    std::string counter;
    std::size_t instanceAt = std::string::npos;
};

// Null for a malformed path.
std::optional<CounterPath> parse_counter_path(std::string_view path) {
    CounterPath p;
    std::size_t at = 0;
    if (path.substr(0, 2) == "\\\\") {
        auto end = path.find('\\', 2);
        if (end == std::string_view::npos) return std::nullopt;
        p.computer = std::string(path.substr(2, end - 2));
        at = end;
    }
    if (at >= path.size() || path[at] != '\\') return std::nullopt;
    ++at;
    // The object runs to the first backslash outside the instance's parentheses.
    std::size_t sep = std::string_view::npos;
    int depth = 0;
    for (std::size_t i = at; i < path.size(); ++i) {
        if (path[i] == '(') ++depth;
        else if (path[i] == ')') --depth;
        else if (path[i] == '\\' && depth == 0) {
            sep = i;
            break;
        }
    }
    if (sep == std::string_view::npos || depth != 0) return std::nullopt;
    auto object = path.substr(at, sep - at);
    auto counter = path.substr(sep + 1);
    if (counter.empty() || counter.find('\\') != std::string_view::npos) return std::nullopt;
    auto open = object.find('(');
    if (open != std::string_view::npos) {
        if (object.back() != ')') return std::nullopt;
        p.instance = std::string(object.substr(open + 1, object.size() - open - 2));
        p.instanceAt = at + open + 1;
        object = object.substr(0, open);
        if (p.instance.empty()) return std::nullopt;
    }
    if (object.empty()) return std::nullopt;
    p.object = std::string(object);
    p.counter = std::string(counter);
    return p;
}

// ---- the collection -------------------------------------------------------------------------

class ProcCounterCollection : public CounterCollection {
public:
    explicit ProcCounterCollection(ProcCounterOptions options)
        : computer_(options.computer.empty() ? computer_name() : options.computer) {
        sys_->root = options.root.empty() || options.root.back() == '/' ? options.root : options.root + "/";
        sys_->seconds = options.seconds ? std::move(options.seconds) : [] {
            using namespace std::chrono;
            return duration<double>(steady_clock::now().time_since_epoch()).count();
        };
        kinds_ = std::make_shared<DiskKinds>(sys_);
    }

    std::int32_t count() const override { return static_cast<std::int32_t>(items_.size()); }

    std::shared_ptr<Counter> item(std::int32_t position) const override {
        if (position < 1 || position > count()) return nullptr;
        return items_[items_.size() - static_cast<std::size_t>(position)];
    }

    std::shared_ptr<Counter> add(const std::string& path) override {
        auto p = parse_counter_path(path);
        if (!p || !(p->computer.empty() || equal_nocase(p->computer, computer_))) return nullptr;
        auto sys = sys_;
        auto buf = std::make_shared<std::string>();  // one read buffer per counter, reused

        if (equal_nocase(p->object, "Processor") && equal_nocase(p->instance, "_Total") &&
            equal_nocase(p->counter, "% Processor Time"))
            return push(path, [sys, buf] { return read_processor(*sys, *buf); }, 100.0, 100.0);

        if (equal_nocase(p->object, "PhysicalDisk") && equal_nocase(p->instance, "_Total") &&
            equal_nocase(p->counter, "% Disk Time")) {
            auto kinds = kinds_;
            return push(path, [sys, kinds, buf] { return read_disks(*sys, *kinds, *buf); }, 100.0, kNoCeiling);
        }

        if (equal_nocase(p->object, "Network Interface") && equal_nocase(p->counter, "Bytes Total/sec")) {
            std::shared_ptr<Counter> first;
            for (const auto& i : list_interfaces(*sys_)) {
                if (p->instance != "*" && !equal_nocase(p->instance, i.instance)) continue;
                std::string full = path.substr(0, p->instanceAt) + i.instance +
                                   path.substr(p->instanceAt + p->instance.size());
                auto c = push(full, [sys, buf, name = i.name] { return read_interface(*sys, name, *buf); }, 1.0,
                              kNoCeiling);
                if (!first) first = c;
            }
            return first;
        }
        return nullptr;
    }

private:
    static constexpr double kNoCeiling = std::numeric_limits<double>::infinity();

    std::shared_ptr<Counter> push(std::string path, ReadFn read, double scale, double ceiling) {
        auto c = std::make_shared<RateCounter>(std::move(path), std::move(read), scale, ceiling);
        items_.push_back(c);
        return c;
    }

    std::string computer_;
    std::shared_ptr<System> sys_ = std::make_shared<System>();
    std::shared_ptr<DiskKinds> kinds_;
    std::vector<std::shared_ptr<Counter>> items_;  // in the order added; listed last first
};

}  // namespace

std::shared_ptr<CounterCollection> create_proc_counter_collection(ProcCounterOptions options) {
    return std::make_shared<ProcCounterCollection>(std::move(options));
}

std::shared_ptr<CounterCollection> create_counter_collection() { return create_proc_counter_collection(); }

}  // namespace shardex::platform

// The counter collection on /proc and /sys trees written by the tests, with a hand-driven
// clock: path grammar, which paths are taken, the order of the counters, and the rates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/counters/proc_counters.h"

using namespace shardex::platform;
namespace fs = std::filesystem;

namespace {

const std::string kCpu = "\\\\THISPC\\Processor(_Total)\\% Processor Time";
const std::string kDisk = "\\\\THISPC\\PhysicalDisk(_Total)\\% Disk Time";
const std::string kNet = "\\\\THISPC\\Network Interface(*)\\Bytes Total/sec";

std::string net_path(const std::string& instance) {
    return "\\\\THISPC\\Network Interface(" + instance + ")\\Bytes Total/sec";
}

struct Traffic {
    std::string name;
    unsigned long long rx = 0, tx = 0;
};

// A root folder with proc/ and sys/ files written by the test.
class FakeSystem {
public:
    FakeSystem() {
        std::string tmpl = (fs::temp_directory_path() / "shardex-counters-XXXXXX").string();
        root_ = mkdtemp(tmpl.data());
        write("proc/stat", "cpu  0 0 0 0 0 0 0 0 0 0\n");
        write("proc/diskstats", "");
        dev({{"lo", 0, 0}, {"eth0", 0, 0}});
        write("sys/class/net/lo/flags", "0x9\n");
        write("sys/class/net/eth0/flags", "0x1003\n");
        route("eth0");
    }
    ~FakeSystem() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void write(const std::string& rel, const std::string& text) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel) << text;
    }
    void remove(const std::string& rel) { fs::remove_all(root_ / rel); }
    void dev(const std::vector<Traffic>& interfaces) {
        std::string text =
            "Inter-|   Receive                                                |  Transmit\n"
            " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
            "carrier compressed\n";
        for (const auto& i : interfaces)
            text += "  " + i.name + ": " + std::to_string(i.rx) + " 7 0 0 0 0 0 0 " + std::to_string(i.tx) +
                    " 5 0 0 0 0 0 0\n";
        write("proc/net/dev", text);
    }
    void route(const std::string& interface) {
        write("proc/net/route",
              "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n" + interface +
                  "\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n" + interface +
                  "\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n");
    }
    // One diskstats line whose tenth statistic (milliseconds doing I/O) is `io_ms`.
    static std::string disk_line(const std::string& name, unsigned long long io_ms) {
        return "   8       0 " + name + " 10 0 80 5 20 0 160 9 0 " + std::to_string(io_ms) + " 14 0 0 0 0\n";
    }

    ProcCounterOptions options() {
        ProcCounterOptions o;
        o.root = root_.string();
        o.computer = "THISPC";
        o.seconds = [this] { return now; };
        return o;
    }

    double now = 100.0;

private:
    fs::path root_;
};

std::vector<std::string> paths_of(const CounterCollection& c) {
    std::vector<std::string> v;
    for (int i = 1; i <= c.count(); ++i) v.push_back(c.item(i)->path());
    return v;
}

}  // namespace

// Paths of this computer, with names in any case, are taken; malformed paths, another
// computer's, unknown objects, instances and counters are refused and add nothing.
TEST(CounterCollectionTest, AddTakesThisComputersCountersOnly) {
    struct Row {
        std::string path;
        int added;
    };
    const Row rows[] = {
        {kCpu, 1},
        {"\\\\thispc\\processor(_total)\\% processor time", 1},
        {"\\Processor(_Total)\\% Processor Time", 1},
        {"\\\\\\PhysicalDisk(_Total)\\% Disk Time", 1},
        {kNet, 2},
        {net_path("eth0"), 1},
        {net_path("Loopback Interface lo"), 1},
        {"\\\\OTHERPC\\Processor(_Total)\\% Processor Time", 0},
        {"\\\\THISPC\\Processor(0)\\% Processor Time", 0},
        {"\\\\THISPC\\Processor(_Total)\\% Idle Time", 0},
        {"\\\\THISPC\\Memory\\Available Bytes", 0},
        {net_path("lo"), 0},  // loopback goes by its instance name
        {net_path("wlan9"), 0},
        {"", 0},
        {"Processor(_Total)\\% Processor Time", 0},   // no leading backslash
        {"\\\\THISPC\\Processor(_Total)", 0},          // no counter
        {"\\Processor(_Total\\% Processor Time", 0},  // instance not closed
        {"\\(_Total)\\% Processor Time", 0},
        {"\\Processor(_Total)\\% Processor Time\\x", 0},
    };
    FakeSystem sys;
    for (const auto& r : rows) {
        auto c = create_proc_counter_collection(sys.options());
        auto first = c->add(r.path);
        EXPECT_EQ(c->count(), r.added) << r.path;
        EXPECT_EQ(first != nullptr, r.added > 0) << r.path;
        EXPECT_EQ(c->item(0), nullptr);
        EXPECT_EQ(c->item(c->count() + 1), nullptr);
    }
}

// Added processor, disk, network: the processor last, the disk before it, the traffic's
// interface at count() - 3 and loopback at count() - 2.
TEST(CounterCollectionTest, ListsTheCountersSoThePositionsHoldTheMeters) {
    struct Row {
        const char* intent;
        std::vector<std::string> interfaces;  // proc/net/dev, in order; "lo" and "mylo" are loopback
        std::string routed;                   // the default route's interface; "" = none
        std::vector<std::string> expected;    // instances from position 1 to count() - 2
        bool sysfs = true;                    // false: no flags to read, "lo" is loopback by name
    };
    const Row rows[] = {
        {"loopback and the routed one nearest the disk", {"lo", "ifb0", "eth0", "docker0"}, "eth0",
         {"docker0", "ifb0", "eth0", "Loopback Interface lo"}},
        {"no default route: the first that isn't loopback", {"lo", "ifb0", "eth0"}, "",
         {"eth0", "ifb0", "Loopback Interface lo"}},
        {"loopback known by its flags, not its name", {"eth0", "mylo"}, "eth0", {"eth0", "Loopback Interface mylo"}},
        {"no loopback: the routed one still at count() - 3", {"eth0", "wlan0", "usb0"}, "wlan0",
         {"usb0", "wlan0", "eth0"}},
        {"a route to an interface not listed", {"lo", "eth0"}, "tun7", {"eth0", "Loopback Interface lo"}},
        {"loopback alone", {"lo"}, "eth0", {"Loopback Interface lo"}},
        {"no flags to read: loopback by name", {"lo", "eth0"}, "eth0", {"eth0", "Loopback Interface lo"}, false},
    };
    for (const auto& r : rows) {
        FakeSystem sys;
        std::vector<Traffic> dev;
        for (const auto& name : r.interfaces) {
            dev.push_back({name});
            sys.write("sys/class/net/" + name + "/flags", name.find("lo") != std::string::npos ? "0x9\n" : "0x1003\n");
        }
        sys.dev(dev);
        if (!r.sysfs) sys.remove("sys");
        if (r.routed.empty()) sys.remove("proc/net/route");
        else sys.route(r.routed);

        auto c = create_proc_counter_collection(sys.options());
        c->add(kCpu);
        c->add(kDisk);
        c->add(kNet);
        std::vector<std::string> expected;
        for (const auto& instance : r.expected) expected.push_back(net_path(instance));
        expected.push_back(kDisk);
        expected.push_back(kCpu);
        EXPECT_EQ(paths_of(*c), expected) << r.intent;
    }
}

TEST(CounterRateTest, ProcessorIsBusyTimeOverAllTime) {
    struct Row {
        const char* intent;
        std::string second;  // the cpu line after the first "cpu  1000 0 500 8000 500 0 0 0 0 0"
        double expected;
    };
    const Row rows[] = {
        {"452 busy of 1000", "cpu  1300 2 600 8500 548 10 40 0 0 0", 45.2},
        {"I/O wait is not busy", "cpu  1000 0 500 8000 1500 0 0 0 0 0", 0.0},
        {"steal is busy", "cpu  1000 0 500 8000 500 0 0 100 0 0", 100.0},
        {"no time passed: the rate stands at 0", "cpu  1000 0 500 8000 500 0 0 0 0 0", 0.0},
        {"counts going back: 0", "cpu  10 0 5 80 5 0 0 0 0 0", 0.0},
        {"a malformed line can't be read", "cpu  1300 x 600 8500", 0.0},
    };
    for (const auto& r : rows) {
        FakeSystem sys;
        sys.write("proc/stat", "cpu  1000 0 500 8000 500 0 0 0 0 0\ncpu0 1 2 3 4 5 6 7 8 9 10\nintr 5\n");
        auto c = create_proc_counter_collection(sys.options());
        auto cpu = c->add(kCpu);
        sys.write("proc/stat", r.second + "\ncpu0 1 2 3 4 5 6 7 8 9 10\n");
        EXPECT_NEAR(cpu->value(), r.expected, 1e-9) << r.intent;
    }
}

// A counter whose first sample failed reads 0 once it can be read, then rates.
TEST(CounterRateTest, FirstSampleGivesZero) {
    FakeSystem sys;
    sys.remove("proc/stat");
    auto c = create_proc_counter_collection(sys.options());
    auto cpu = c->add(kCpu);
    ASSERT_NE(cpu, nullptr) << "a counter whose source is missing is still added";
    EXPECT_EQ(cpu->value(), 0.0);
    sys.write("proc/stat", "cpu  100 0 0 100 0 0 0 0 0 0\n");
    EXPECT_EQ(cpu->value(), 0.0);
    sys.write("proc/stat", "cpu  150 0 0 150 0 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(cpu->value(), 50.0);
    sys.remove("proc/stat");
    EXPECT_EQ(cpu->value(), 0.0);
    sys.write("proc/stat", "cpu  250 0 0 250 0 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(cpu->value(), 50.0) << "the rate spans the unreadable gap";
}

// % Disk Time: milliseconds doing I/O of the physical disks over 0.4 s.
TEST(CounterRateTest, DiskTimeCountsWholePhysicalDisksOnly) {
    struct Row {
        const char* intent;
        bool sysfs;                                                 // sys/block present
        std::vector<std::pair<std::string, unsigned>> io_ms_added;  // per device over the interval
        double expected;
    };
    const Row rows[] = {
        {"one disk, 250 %", true, {{"vda", 1000}, {"vda1", 400}, {"loop0", 400}, {"zram0", 400}}, 250.0},
        {"two disks add up", true, {{"vda", 200}, {"nvme0n1", 200}, {"nvme0n1p1", 200}}, 100.0},
        {"no physical disk", true, {{"loop0", 400}, {"zram0", 400}}, 0.0},
        {"without sys/block the names tell",
         false,
         {{"sda", 40}, {"sda1", 40}, {"nvme0n1", 40}, {"nvme0n1p2", 40}, {"dm-0", 40}, {"loop3", 40}, {"md0", 40}},
         20.0},
    };
    for (const auto& r : rows) {
        FakeSystem sys;
        if (r.sysfs) {
            for (const char* disk : {"vda", "nvme0n1"}) sys.write(std::string("sys/block/") + disk + "/device/vendor", "x");
            for (const char* virt : {"loop0", "zram0"}) sys.write(std::string("sys/block/") + virt + "/size", "0");
        } else {
            sys.remove("sys/block");
        }
        std::string before, after;
        for (const auto& [name, ms] : r.io_ms_added) {
            before += FakeSystem::disk_line(name, 5000);
            after += FakeSystem::disk_line(name, 5000 + ms);
        }
        sys.write("proc/diskstats", before);
        auto c = create_proc_counter_collection(sys.options());
        auto disk = c->add(kDisk);
        sys.now += 0.4;
        sys.write("proc/diskstats", after);
        EXPECT_NEAR(disk->value(), r.expected, 1e-9) << r.intent;
    }
}

TEST(CounterRateTest, NetworkIsBytesBothWaysPerSecond) {
    FakeSystem sys;
    sys.dev({{"lo", 500, 500}, {"eth0", 1000, 2000}});
    auto c = create_proc_counter_collection(sys.options());
    c->add(kNet);
    auto eth0 = c->item(1);
    auto lo = c->item(2);
    ASSERT_EQ(eth0->path(), net_path("eth0"));

    struct Step {
        const char* intent;
        double seconds;             // passed since the step before
        std::vector<Traffic> dev;   // proc/net/dev then
        double eth0, lo;            // the rates read
    };
    const Step steps[] = {
        {"1,000,000 in and 536,000 out in a second", 1.0, {{"lo", 500, 500}, {"eth0", 1001000, 538000}}, 1536000, 0},
        {"loopback counts its bytes both ways", 0.5, {{"lo", 1524, 1524}, {"eth0", 1001000, 538000}}, 0, 4096},
        {"no time passed: the rates stand", 0.0, {{"lo", 9999, 9999}, {"eth0", 9999999, 538000}}, 0, 4096},
        {"counts going back (interface re-created): 0", 1.0, {{"lo", 1524, 1524}, {"eth0", 10, 10}}, 0, 0},
        {"then rates again from there", 2.0, {{"lo", 1524, 1524}, {"eth0", 2010, 2010}}, 2000, 0},
        {"interface gone: 0", 1.0, {{"lo", 1524, 1524}}, 0, 0},
    };
    for (const auto& s : steps) {
        sys.now += s.seconds;
        sys.dev(s.dev);
        EXPECT_DOUBLE_EQ(eth0->value(), s.eth0) << s.intent;
        EXPECT_DOUBLE_EQ(lo->value(), s.lo) << s.intent;
    }
    sys.remove("proc/net/dev");
    sys.now += 1.0;
    EXPECT_EQ(lo->value(), 0.0) << "file gone";
}

TEST(CounterRateTest, NetworkLineWithoutBlankAfterTheColon) {
    FakeSystem sys;
    sys.write("proc/net/dev", "h\nh\n  eth0:100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n");
    auto c = create_proc_counter_collection(sys.options());
    auto eth0 = c->add(net_path("eth0"));
    ASSERT_NE(eth0, nullptr);
    sys.now += 2.0;
    sys.write("proc/net/dev", "h\nh\n  eth0:300 1 0 0 0 0 0 0 300 1 0 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(eth0->value(), 200.0);
}

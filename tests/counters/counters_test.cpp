// The counter collection on /proc and /sys trees written by the tests, with a hand-driven
// clock: which paths are taken, the order of the counters, and the rates.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "platform/counters/proc_counters.h"
#include "support/media.h"

using namespace shardex::platform;
using namespace shardex::testing;

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
        write("proc/stat", "cpu  0 0 0 0 0 0 0 0 0 0\n");
        write("proc/diskstats", "");
        dev({{"lo"}, {"eth0"}});
        write("sys/class/net/lo/flags", "0x9\n");
        write("sys/class/net/eth0/flags", "0x1003\n");
        route("eth0");
    }
    void write(const std::string& rel, const std::string& text) {
        fs::create_directories((root_ / rel).parent_path());
        write_file(root_ / rel, text);
    }
    void remove(const std::string& rel) { fs::remove_all(root_ / rel); }
    void dev(const std::vector<Traffic>& interfaces) {
        std::string text = "Inter-|   Receive  |  Transmit\n face |bytes    packets|bytes    packets\n";
        for (const auto& i : interfaces)
            text += "  " + i.name + ": " + std::to_string(i.rx) + " 7 0 0 0 0 0 0 " + std::to_string(i.tx) +
                    " 5 0 0 0 0 0 0\n";
        write("proc/net/dev", text);
    }
    void route(const std::string& i) {
        const std::string head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
        write("proc/net/route", head + i + "\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n" + i +
                                    "\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n");
    }
    ProcCounterOptions options() {
        ProcCounterOptions o;
        o.root = root_.path().string();
        o.computer = "THISPC";
        o.seconds = [this] { return now; };
        return o;
    }
    double now = 100.0;

private:
    TempDir root_{"shardex-counters"};
};

}  // namespace

TEST(CounterCollectionTest, AddTakesThisComputersCountersOnly) {
    const std::pair<std::string, int> rows[] = {
        {kCpu, 1},
        {"\\\\thispc\\processor(_total)\\% processor time", 1},
        {"\\Processor(_Total)\\% Processor Time", 1},
        {kNet, 2},
        {net_path("Loopback Interface lo"), 1},
        {"\\\\OTHERPC\\Processor(_Total)\\% Processor Time", 0},
        {"\\\\THISPC\\Processor(0)\\% Processor Time", 0},
        {"\\\\THISPC\\Memory\\Available Bytes", 0},
        {net_path("lo"), 0},  // loopback goes by its instance name
        {net_path("wlan9"), 0},
        {"Processor(_Total)\\% Processor Time", 0},
        {"\\Processor(_Total\\% Processor Time", 0},
        {"\\Processor(_Total)\\% Processor Time\\x", 0},
    };
    FakeSystem sys;
    for (const auto& [path, added] : rows) {
        auto c = create_proc_counter_collection(sys.options());
        EXPECT_EQ(c->add(path) != nullptr, added > 0) << path;
        EXPECT_EQ(c->count(), added) << path;
    }
}

// Processor last, disk before it, the traffic's interface at count() - 3, loopback at count() - 2.
TEST(CounterCollectionTest, ListsTheCountersSoThePositionsHoldTheMeters) {
    struct Row {
        std::vector<std::string> interfaces;  // "lo" and "mylo" are loopback
        std::string routed;                   // "" = no default route
        std::vector<std::string> expected;    // instances from position 1 to count() - 2
    };
    const Row rows[] = {
        {{"lo", "ifb0", "eth0", "docker0"}, "eth0", {"docker0", "ifb0", "eth0", "Loopback Interface lo"}},
        {{"lo", "ifb0", "eth0"}, "", {"eth0", "ifb0", "Loopback Interface lo"}},
        {{"eth0", "mylo"}, "eth0", {"eth0", "Loopback Interface mylo"}},
        {{"eth0", "wlan0", "usb0"}, "wlan0", {"usb0", "wlan0", "eth0"}},
    };
    for (const auto& r : rows) {
        FakeSystem sys;
        std::vector<Traffic> dev;
        for (const auto& name : r.interfaces) {
            dev.push_back({name});
            sys.write("sys/class/net/" + name + "/flags", name.find("lo") != std::string::npos ? "0x9\n" : "0x1003\n");
        }
        sys.dev(dev);
        if (r.routed.empty()) sys.remove("proc/net/route");
        else sys.route(r.routed);
        auto c = create_proc_counter_collection(sys.options());
        for (const auto& p : {kCpu, kDisk, kNet}) c->add(p);
        std::vector<std::string> expected, got;
        for (const auto& instance : r.expected) expected.push_back(net_path(instance));
        expected.insert(expected.end(), {kDisk, kCpu});
        for (int i = 1; i <= c->count(); ++i) got.push_back(c->item(i)->path());
        EXPECT_EQ(got, expected) << r.interfaces.size() << " interfaces, route " << r.routed;
    }
}

TEST(CounterRateTest, ProcessorIsBusyTimeOverAllTime) {
    const std::pair<std::string, double> rows[] = {
        {"cpu  1300 2 600 8500 548 10 40 0 0 0", 45.2},  // 452 busy of 1000
        {"cpu  1000 0 500 8000 1500 0 0 0 0 0", 0.0},    // I/O wait is not busy
        {"cpu  1000 0 500 8000 500 0 0 100 0 0", 100.0},  // steal is busy
        {"cpu  10 0 5 80 5 0 0 0 0 0", 0.0},             // counts going back
        {"cpu  1300 x 600 8500", 0.0},                   // malformed
    };
    for (const auto& [second, expected] : rows) {
        FakeSystem sys;
        sys.write("proc/stat", "cpu  1000 0 500 8000 500 0 0 0 0 0\ncpu0 1 2 3 4 5 6 7 8 9 10\n");
        auto cpu = create_proc_counter_collection(sys.options())->add(kCpu);
        sys.write("proc/stat", second + "\ncpu0 1 2 3 4 5 6 7 8 9 10\n");
        EXPECT_NEAR(cpu->value(), expected, 1e-9) << second;
    }
}

// % Disk Time: milliseconds doing I/O of whole physical disks over 0.4 s.
TEST(CounterRateTest, DiskTimeCountsWholePhysicalDisksOnly) {
    struct Row {
        bool sysfs;
        std::vector<std::pair<std::string, unsigned>> io_ms_added;
        double expected;
    };
    const Row rows[] = {
        {true, {{"vda", 1000}, {"vda1", 400}, {"loop0", 400}, {"zram0", 400}}, 250.0},
        {true, {{"vda", 200}, {"nvme0n1", 200}, {"nvme0n1p1", 200}}, 100.0},
        {false, {{"sda", 40}, {"sda1", 40}, {"nvme0n1", 40}, {"nvme0n1p2", 40}, {"dm-0", 40}, {"loop3", 40}}, 20.0},
    };
    auto line = [](const std::string& name, unsigned long long io_ms) {
        return "   8       0 " + name + " 10 0 80 5 20 0 160 9 0 " + std::to_string(io_ms) + " 14 0 0 0 0\n";
    };
    for (const auto& r : rows) {
        FakeSystem sys;
        if (r.sysfs) {
            for (const char* d : {"vda", "nvme0n1"}) sys.write(std::string("sys/block/") + d + "/device/vendor", "x");
            for (const char* v : {"loop0", "zram0"}) sys.write(std::string("sys/block/") + v + "/size", "0");
        }
        std::string before, after;
        for (const auto& [name, ms] : r.io_ms_added) {
            before += line(name, 5000);
            after += line(name, 5000 + ms);
        }
        sys.write("proc/diskstats", before);
        auto disk = create_proc_counter_collection(sys.options())->add(kDisk);
        sys.now += 0.4;
        sys.write("proc/diskstats", after);
        EXPECT_NEAR(disk->value(), r.expected, 1e-9) << r.expected;
    }
}

TEST(CounterRateTest, NetworkIsBytesBothWaysPerSecond) {
    FakeSystem sys;
    sys.dev({{"lo", 500, 500}, {"eth0", 1000, 2000}});
    auto c = create_proc_counter_collection(sys.options());
    c->add(kNet);
    auto eth0 = c->item(1), lo = c->item(2);
    ASSERT_EQ(eth0->path(), net_path("eth0"));
    struct Step {
        double seconds;
        std::vector<Traffic> dev;
        double eth0, lo;
    };
    const Step steps[] = {
        {1.0, {{"lo", 500, 500}, {"eth0", 1001000, 538000}}, 1536000, 0},
        {0.5, {{"lo", 1524, 1524}, {"eth0", 1001000, 538000}}, 0, 4096},
        {0.0, {{"lo", 9999, 9999}, {"eth0", 9999999, 538000}}, 0, 4096},  // no time passed: rates stand
        {1.0, {{"lo", 1524, 1524}, {"eth0", 10, 10}}, 0, 0},               // counts going back
        {2.0, {{"lo", 1524, 1524}, {"eth0", 2010, 2010}}, 2000, 0},
        {1.0, {{"lo", 1524, 1524}}, 0, 0},  // interface gone
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        sys.now += steps[i].seconds;
        sys.dev(steps[i].dev);
        EXPECT_DOUBLE_EQ(eth0->value(), steps[i].eth0) << "step " << i;
        EXPECT_DOUBLE_EQ(lo->value(), steps[i].lo) << "step " << i;
    }
    sys.write("proc/net/dev", "h\nh\n  eth0:100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n");  // no blank after ':'
    auto tight = create_proc_counter_collection(sys.options())->add(net_path("eth0"));
    sys.now += 2.0;
    sys.write("proc/net/dev", "h\nh\n  eth0:300 1 0 0 0 0 0 0 300 1 0 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(tight->value(), 200.0);
}

// The performance meters: captions and bar values from a counter set the test lays out,
// counters that are missing or can't be read, and this computer's real counters.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/form1.h"
#include "meters/meters.h"
#include "platform/computer_name.h"
#include "platform/counters/counters.h"
#include "support/fake_dialogs.h"
#include "support/qt_wait.h"

using namespace shardex;
using shardex::testing::FakeDialogs;

namespace {

const std::string kEth0 = "\\\\THISPC\\Network Interface(eth0)\\Bytes Total/sec";
const std::string kLoopback = "\\\\THISPC\\Network Interface(Loopback Interface lo)\\Bytes Total/sec";

class FakeCounter : public platform::Counter {
public:
    FakeCounter(std::string path, double value) : path_(std::move(path)), value_(value) {}
    std::string path() const override { return path_; }
    double value() override { return value_; }

private:
    std::string path_;
    double value_;
};

// Counters listed in the order the test gives, position 1 first; Add only records the path.
class FakeCounters : public platform::CounterCollection {
public:
    std::int32_t count() const override { return static_cast<std::int32_t>(items.size()); }
    std::shared_ptr<platform::Counter> item(std::int32_t position) const override {
        if (position < 1 || position > count()) return nullptr;
        return items[static_cast<std::size_t>(position - 1)];
    }
    std::shared_ptr<platform::Counter> add(const std::string& path) override {
        added.push_back(path);
        return nullptr;
    }

    // Lays the counters out as the collection lists them: the interfaces (position 1 first),
    // then the disk, then the processor.
    void lay_out(double cpu, double disk, const std::vector<std::pair<std::string, double>>& interfaces) {
        items.clear();
        for (const auto& [path, v] : interfaces) items.push_back(std::make_shared<FakeCounter>(path, v));
        items.push_back(std::make_shared<FakeCounter>("\\\\THISPC\\PhysicalDisk(_Total)\\% Disk Time", disk));
        items.push_back(std::make_shared<FakeCounter>("\\\\THISPC\\Processor(_Total)\\% Processor Time", cpu));
    }

    std::vector<std::shared_ptr<platform::Counter>> items;
    std::vector<std::string> added;
};

struct MeterWindow {
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::shared_ptr<FakeCounters> counters = std::make_shared<FakeCounters>();
    std::unique_ptr<Form1> form;

    explicit MeterWindow(bool with_counters = true) {
        Services s;
        s.dialogs = dialogs;
        if (with_counters) s.monitorCounters = [c = counters] { return c; };
        form = std::make_unique<Form1>(std::move(s));
        form->S.Server_Computer = "THISPC";
    }

    struct Shown {
        std::string cpu, disk, traffic, network;
        int cpuMeter, diskMeter, netMeter;
        bool operator==(const Shown&) const = default;
    };
    Shown shown() const {
        auto& f = *form;
        return {f.Label_CPU->text().toStdString(),
                f.Label_Disk->text().toStdString(),
                f.Label_Network_Traffic->text().toStdString(),
                f.Label_Network->text().toStdString(),
                f.Local_CPU_Meter->value(),
                f.Local_Disk_Meter->value(),
                f.Local_Net_Meter->value()};
    }
};

std::ostream& operator<<(std::ostream& os, const MeterWindow::Shown& s) {
    return os << '"' << s.cpu << "\" \"" << s.disk << "\" \"" << s.traffic << "\" \"" << s.network << "\" meters "
              << s.cpuMeter << ' ' << s.diskMeter << ' ' << s.netMeter;
}

const MeterWindow::Shown kAllZero{"CPU:  0 %", "Disk:   0 %", "Traffic: 00,000 KB/sec", "Network: 0 %", 0, 0, 0};

}  // namespace

TEST(MetersTest, StartAddsThisComputersCountersAndStartsTheTimer) {
    MeterWindow w;
    Start_Meters(*w.form);
    EXPECT_EQ(w.counters->added, (std::vector<std::string>{"\\\\THISPC\\Processor(_Total)\\% Processor Time",
                                                           "\\\\THISPC\\PhysicalDisk(_Total)\\% Disk Time",
                                                           "\\\\THISPC\\Network Interface(*)\\Bytes Total/sec"}));
    EXPECT_TRUE(w.form->Timer_Counters->isActive());
}

// Each row: processor, disk, the interfaces at positions n - 3 and n - 2, and what is shown.
TEST(MetersTest, CaptionsAndMetersFollowTheCounters) {
    struct Row {
        double cpu, disk;
        std::pair<std::string, double> atNMinus3, atNMinus2;
        MeterWindow::Shown expected;
    };
    const std::pair<std::string, double> eth0{kEth0, 0}, lo{kLoopback, 0};
    const std::string none = "Traffic: 00,000 KB/sec";
    const Row rows[] = {
        {45.2, 0, eth0, lo, {"CPU:  45 %", "Disk:   0 %", none, "Network: 0 %", 4, 0, 0}},
        {55, 0, eth0, lo, {"CPU:  55 %", "Disk:   0 %", none, "Network: 0 %", 6, 0, 0}},
        {12.5, 13.5, eth0, lo, {"CPU:  12 %", "Disk:   14 %", none, "Network: 0 %", 1, 1, 0}},
        {0, 250, eth0, lo, {"CPU:  0 %", "Disk:   250 %", none, "Network: 0 %", 0, 10, 0}},
        {35, 45, eth0, lo, {"CPU:  35 %", "Disk:   45 %", none, "Network: 0 %", 4, 4, 0}},
        {0, 0, {kEth0, 1536000}, lo, {"CPU:  0 %", "Disk:   0 %", "Traffic: 01,500 KB/sec", "Network: 15 %", 0, 0, 1}},
        {0, 0, {kEth0, 12288.0 * 1024}, lo,
         {"CPU:  0 %", "Disk:   0 %", "Traffic: 12,288 KB/sec", "Network: 119 %", 0, 0, 10}},
        {0, 0, {kEth0, 2560}, lo, {"CPU:  0 %", "Disk:   0 %", "Traffic: 00,002 KB/sec", "Network: 0 %", 0, 0, 0}},
        {0, 0, {kEth0, 1536.0 * 1024}, lo,
         {"CPU:  0 %", "Disk:   0 %", "Traffic: 01,536 KB/sec", "Network: 15 %", 0, 0, 2}},
        // Loopback at n - 3: the interface at n - 2 is shown.
        {0, 0, {kLoopback, 99999999}, {kEth0, 1536000},
         {"CPU:  0 %", "Disk:   0 %", "Traffic: 01,500 KB/sec", "Network: 15 %", 0, 0, 1}},
    };
    for (const auto& r : rows) {
        MeterWindow w;
        // One more interface farther from the disk counter, never shown.
        w.counters->lay_out(r.cpu, r.disk,
                            {{"\\\\THISPC\\Network Interface(x1)\\Bytes Total/sec", 7e6}, r.atNMinus3, r.atNMinus2});
        Update_Meters(*w.form);
        EXPECT_EQ(w.shown(), r.expected) << r.expected;
        EXPECT_TRUE(w.dialogs->shown.empty());
        if (r.atNMinus2.first == kEth0) {
            EXPECT_EQ(w.form->S.Monitor_Counter->path(), kEth0);
        }
    }
}

// Whatever can't be read shows 0, with no message and nothing thrown.
TEST(MetersTest, CountersThatCannotBeReadShowZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<std::string, double>> rows[] = {
        {},
        {{kLoopback, 1536000}, {"disk", 0}, {"cpu", 0}},  // nothing at n - 2
        {{kEth0, nan}, {kLoopback, 0}, {"disk", std::numeric_limits<double>::infinity()}, {"cpu", nan}},
        {{kEth0, 1e300}, {kLoopback, 0}, {"disk", -1e300}, {"cpu", 1e12}},
    };
    for (const auto& listed : rows) {
        MeterWindow w;
        for (const auto& [path, v] : listed) w.counters->items.push_back(std::make_shared<FakeCounter>(path, v));
        Update_Meters(*w.form);
        EXPECT_EQ(w.shown(), kAllZero) << listed.size() << " counters";
        EXPECT_TRUE(w.dialogs->shown.empty());
    }
    MeterWindow none(false);  // no counter service at all
    Start_Meters(*none.form);
    Update_Meters(*none.form);
    EXPECT_EQ(none.shown(), kAllZero);
    EXPECT_TRUE(none.dialogs->shown.empty());
}

TEST(MetersTest, TheTimerRefreshesTheMeters) {
    MeterWindow w;
    w.counters->lay_out(45.2, 250, {{kEth0, 1536000}, {kLoopback, 0}});
    Start_Meters(*w.form);
    EXPECT_EQ(w.form->Label_CPU->text(), "CPU: ") << "design-time look until the first tick";
    ASSERT_TRUE(shardex::testing::wait_until([&] { return w.form->Label_CPU->text() == "CPU:  45 %"; }, 5000));
    EXPECT_EQ(w.shown(), (MeterWindow::Shown{"CPU:  45 %", "Disk:   250 %", "Traffic: 01,500 KB/sec", "Network: 15 %",
                                              4, 10, 1}));
}

// The window on this computer's counters, named by this computer's name: the three paths
// are taken and sit where the meters look for them.
TEST(MetersTest, RealCountersOfThisComputer) {
    Services s;
    s.dialogs = std::make_shared<FakeDialogs>();
    auto counters = platform::create_counter_collection();
    s.monitorCounters = [counters] { return counters; };
    Form1 f(std::move(s));
    f.S.Server_Computer = platform::computer_name();
    Start_Meters(f);
    const int n = counters->count();
    ASSERT_GE(n, 3);
    EXPECT_NE(counters->item(n)->path().find("\\Processor(_Total)\\"), std::string::npos);
    EXPECT_NE(counters->item(n - 1)->path().find("\\PhysicalDisk(_Total)\\"), std::string::npos);
    if (n >= 4) {
        EXPECT_EQ(counters->item(n - 3)->path().find("Loopback"), std::string::npos) << "the interface shown";
    }
    shardex::testing::pump_events(50);
    Update_Meters(f);
    EXPECT_TRUE(f.Label_CPU->text().startsWith("CPU:  ") && f.Label_CPU->text().endsWith(" %"));
    EXPECT_TRUE(f.Label_Network_Traffic->text().endsWith(" KB/sec"));
}

// The performance meters: captions and bar values from a counter set the test lays out, and
// counters that are missing or cannot be read.
#include <QProgressBar>
#include <limits>

#include "meters/meters.h"
#include "platform/counters/counters.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

const std::string kEth0 = "\\\\SRV\\Network Interface(eth0)\\Bytes Total/sec";
const std::string kLoopback = "\\\\SRV\\Network Interface(Loopback Interface lo)\\Bytes Total/sec";

struct FakeCounter : platform::Counter {
    FakeCounter(std::string p, double v) : at(std::move(p)), v(v) {}
    std::string path() const override { return at; }
    double value() override { return v; }
    std::string at;
    double v;
};

// Counters at positions 1..n in the order given; Add only records the path.
struct FakeCounters : platform::CounterCollection {
    std::int32_t count() const override { return static_cast<std::int32_t>(items.size()); }
    std::shared_ptr<platform::Counter> item(std::int32_t i) const override {
        return i < 1 || i > count() ? nullptr : items[static_cast<std::size_t>(i - 1)];
    }
    std::shared_ptr<platform::Counter> add(const std::string& path) override { return added.push_back(path), nullptr; }
    void lay_out(const std::vector<std::pair<std::string, double>>& counters) {
        items.clear();
        for (const auto& [path, v] : counters) items.push_back(std::make_shared<FakeCounter>(path, v));
    }
    std::vector<std::shared_ptr<platform::Counter>> items;
    std::vector<std::string> added;
};

class Meters : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        f->services.monitorCounters = [c = counters] { return c; };
        f->S.Server_Computer = "SRV";
    }
    // The captions, then the three bars' values.
    std::string shown() const {
        return text(f->Label_CPU) + "|" + text(f->Label_Disk) + "|" + text(f->Label_Network_Traffic) + "|" +
               text(f->Label_Network) + "|" + std::to_string(f->Local_CPU_Meter->value()) + " " +
               std::to_string(f->Local_Disk_Meter->value()) + " " + std::to_string(f->Local_Net_Meter->value());
    }
    std::shared_ptr<FakeCounters> counters = std::make_shared<FakeCounters>();
};

constexpr const char* kAllZero = "CPU:  0 %|Disk:   0 %|Traffic: 00,000 KB/sec|Network: 0 %|0 0 0";

TEST_F(Meters, StartAddsThisComputersCountersAndStartsTheTimer) {
    Start_Meters(*f);
    EXPECT_EQ(counters->added.size(), 3u);
    EXPECT_TRUE(f->Timer_Counters->isActive());
    counters->lay_out({{kEth0, 1536000}, {kLoopback, 0}, {"disk", 250}, {"cpu", 45.2}});
    EXPECT_EQ(text(f->Label_CPU), "CPU: ") << "the first tick's look until it comes";
    ASSERT_TRUE(wait_until([&] { return text(f->Label_CPU) == "CPU:  45 %"; }, 5000));
    EXPECT_EQ(shown(), "CPU:  45 %|Disk:   250 %|Traffic: 01,500 KB/sec|Network: 15 %|4 10 1");
}

// The processor is the last counter, the disk the one before; of the two interfaces nearest
// the disk, the one at n - 3 unless it is loopback. Figures round halves to even.
TEST_F(Meters, CaptionsAndMetersFollowTheCounters) {
    const std::pair<std::string, double> eth0{kEth0, 0}, lo{kLoopback, 0};
    struct Row {
        double cpu, disk;
        std::pair<std::string, double> atNMinus3, atNMinus2;
        const char* shown;
    } rows[] = {
        {55, 0, eth0, lo, "CPU:  55 %|Disk:   0 %|Traffic: 00,000 KB/sec|Network: 0 %|6 0 0"},
        {12.5, 13.5, eth0, lo, "CPU:  12 %|Disk:   14 %|Traffic: 00,000 KB/sec|Network: 0 %|1 1 0"},
        {35, 45, eth0, lo, "CPU:  35 %|Disk:   45 %|Traffic: 00,000 KB/sec|Network: 0 %|4 4 0"},
        {0, 0, {kEth0, 1536000}, lo, "CPU:  0 %|Disk:   0 %|Traffic: 01,500 KB/sec|Network: 15 %|0 0 1"},
        {0, 0, {kEth0, 12288.0 * 1024}, lo, "CPU:  0 %|Disk:   0 %|Traffic: 12,288 KB/sec|Network: 119 %|0 0 10"},
        {0, 0, {kEth0, 2560}, lo, "CPU:  0 %|Disk:   0 %|Traffic: 00,002 KB/sec|Network: 0 %|0 0 0"},
        {0, 0, {kEth0, 1536.0 * 1024}, lo, "CPU:  0 %|Disk:   0 %|Traffic: 01,536 KB/sec|Network: 15 %|0 0 2"},
        {0, 0, {kLoopback, 99999999}, {kEth0, 1536000},
         "CPU:  0 %|Disk:   0 %|Traffic: 01,500 KB/sec|Network: 15 %|0 0 1"},
    };
    for (const auto& r : rows) {
        // One more interface farther from the disk counter, never shown.
        counters->lay_out({{"\\\\SRV\\Network Interface(x1)\\Bytes Total/sec", 7e6}, r.atNMinus3, r.atNMinus2,
                           {"disk", r.disk}, {"cpu", r.cpu}});
        Update_Meters(*f);
        EXPECT_EQ(shown(), r.shown);
    }
    EXPECT_EQ(f->S.Monitor_Counter->path(), kEth0);
    EXPECT_TRUE(dialogs->shown.empty());
}

// Whatever cannot be read shows 0, with no message.
TEST_F(Meters, CountersThatCannotBeReadShowZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::string, double>> rows[] = {
        {},
        {{kLoopback, 1536000}, {"disk", 0}, {"cpu", 0}},  // nothing at n - 2
        {{kEth0, nan}, {kLoopback, 0}, {"disk", inf}, {"cpu", nan}},
        {{kEth0, 1e300}, {kLoopback, 0}, {"disk", -1e300}, {"cpu", 1e12}},
    };
    for (const auto& listed : rows) {
        counters->lay_out(listed);
        Update_Meters(*f);
        EXPECT_EQ(shown(), kAllZero) << listed.size() << " counters";
    }
    f->services.monitorCounters = nullptr;  // no counter service at all
    Start_Meters(*f);
    Update_Meters(*f);
    EXPECT_EQ(shown(), kAllZero);
    EXPECT_TRUE(dialogs->shown.empty());
}

}  // namespace
}  // namespace shardex::testing

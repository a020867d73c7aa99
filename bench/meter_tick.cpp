// The cost of one tick of the performance meters (Update_Meters on this computer's real
// counters, in a window shown offscreen), split into the counter reads and the captions
// and bars, and apart from it the repaint a tick leaves to the event loop. Prints
// microseconds; asserts nothing.
//
//   meter_tick [TICKS]   number of ticks measured (default 2000)
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "meters/meters.h"
#include "platform/computer_name.h"
#include "platform/counters/counters.h"

using namespace shardex;
using Clock = std::chrono::steady_clock;

namespace {

// A counter that costs nothing to read, to time the window's side alone. Its value changes
// at every read (45, 46, ...), so that every tick rewrites the captions and moves the bars
// (4.5 and 4.6 round to 4 and 5).
class FixedCounter : public platform::Counter {
public:
    explicit FixedCounter(std::string path) : path_(std::move(path)) {}
    std::string path() const override { return path_; }
    double value() override { return (flip_ = !flip_) ? 45 : 46; }

private:
    std::string path_;
    bool flip_ = false;
};

class FixedCounters : public platform::CounterCollection {
public:
    std::int32_t count() const override { return static_cast<std::int32_t>(items_.size()); }
    std::shared_ptr<platform::Counter> item(std::int32_t position) const override {
        if (position < 1 || position > count()) return nullptr;
        return items_[static_cast<std::size_t>(position - 1)];
    }
    std::shared_ptr<platform::Counter> add(const std::string& path) override {
        items_.insert(items_.begin(), std::make_shared<FixedCounter>(path));
        return items_.front();
    }

private:
    std::vector<std::shared_ptr<platform::Counter>> items_;
};

// Microseconds per call of `fn`: the median of 20 rounds of ticks / 20 calls.
template <typename Fn>
double micros_per_call(int ticks, Fn&& fn) {
    std::vector<double> rounds;
    const int per_round = std::max(1, ticks / 20);
    for (int r = 0; r < 20; ++r) {
        auto t0 = Clock::now();
        for (int i = 0; i < per_round; ++i) fn();
        rounds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / per_round);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

struct TickCost {
    double tick;     // Update_Meters alone
    double repaint;  // the layout and painting a tick leaves to the event loop
};

TickCost tick_cost(std::shared_ptr<platform::CounterCollection> counters, int ticks) {
    Services s;
    s.monitorCounters = [counters] { return counters; };
    Form1 f(std::move(s));
    f.S.Server_Computer = platform::computer_name();
    Start_Meters(f);
    f.Timer_Counters->stop();  // ticks are driven here
    f.show();
    Update_Meters(f);
    QApplication::processEvents();
    const double tick = micros_per_call(ticks, [&] { Update_Meters(f); });
    const double with_events = micros_per_call(ticks, [&] {
        Update_Meters(f);
        QApplication::processEvents();
    });
    return {tick, std::max(0.0, with_events - tick)};
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int ticks = argc > 1 ? std::max(20, std::atoi(argv[1])) : 2000;

    const TickCost real = tick_cost(platform::create_counter_collection(), ticks);
    const TickCost window_only = tick_cost(std::make_shared<FixedCounters>(), ticks);

    // The counter reads of a tick alone: processor, disk and the interface shown.
    auto counters = platform::create_counter_collection();
    const std::string self = "\\\\" + platform::computer_name();
    counters->add(self + "\\Processor(_Total)\\% Processor Time");
    counters->add(self + "\\PhysicalDisk(_Total)\\% Disk Time");
    counters->add(self + "\\Network Interface(*)\\Bytes Total/sec");
    const int n = counters->count();
    const double reads = micros_per_call(ticks, [&] {
        for (int position : {n, n - 1, n - 3})
            if (auto c = counters->item(position)) c->value();
    });

    std::printf("meter tick (Update_Meters) on the real counters: %.1f us (target well under 1000 us)\n", real.tick);
    std::printf("  counter reads alone:                    %.1f us (%d counters listed)\n", reads, n);
    std::printf("  captions and bars alone, all changing:  %.1f us (a bar that moves repaints at once)\n",
                window_only.tick);
    std::printf("  worst tick, reads + everything moving:  %.1f us, %.3f%% of the 500 ms interval\n",
                reads + window_only.tick, (reads + window_only.tick) / 5000.0);
    std::printf("then, in the event loop, the labels' repaint after such a tick: %.1f us\n", window_only.repaint);
    return 0;
}

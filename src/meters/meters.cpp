#include "meters/meters.h"

#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <cmath>
#include <memory>
#include <string>

#include "app/form1.h"
#include "app/formats.h"
#include "platform/counters/counters.h"

namespace shardex {
namespace {

constexpr OleColor kMeterGreen = 0x0000FF00;   // RGB (0, 255, 0)
constexpr OleColor kMeterRed = 0x000000FF;     // RGB (255, 0, 0)
constexpr OleColor kMeterYellow = 0x0000FFFF;  // RGB (255, 255, 0)

// The counters, each added as "\\" + Server_Computer + suffix, in this order.
constexpr const char* kCounterSuffixes[] = {
    "\\Processor(_Total)\\% Processor Time",
    "\\PhysicalDisk(_Total)\\% Disk Time",
    "\\Network Interface(*)\\Bytes Total/sec",
};

// SystemMonitor1's counter collection; null when the window was given none.
std::shared_ptr<platform::CounterCollection> monitor_counters(Form1& f) {
    return f.services.monitorCounters ? f.services.monitorCounters() : nullptr;
}

std::shared_ptr<platform::Counter> item_at(const std::shared_ptr<platform::CounterCollection>& counters,
                                           std::int32_t position) {
    return counters ? counters->item(position) : nullptr;
}

// A counter's current value; 0 for a missing counter or a value that isn't a number.
double value_of(const std::shared_ptr<platform::Counter>& counter) {
    if (!counter) return 0;
    double v = counter->value();
    return std::isfinite(v) ? v : 0;
}

// Rounded to a 32-bit integer, halves to even; a value beyond 32 bits shows 0 like any
// other value that can't be read.
std::int32_t rounded(double x) {
    try {
        return to_int32(x);
    } catch (const Error&) {
        return 0;
    }
}

void set_meter(QProgressBar* meter, double x) {
    std::int32_t m = rounded(x);
    Clamp_Value(m, 0, 10);
    meter->setValue(m);
}

}  // namespace

void Set_Bar_Color(QWidget* bar, OleColor color) {
    QPalette p = bar->palette();
    p.setColor(QPalette::Highlight, to_qcolor(color));
    bar->setPalette(p);
}

void Clamp_Value(std::int32_t& value, std::int16_t low, std::int16_t high) {
    if (value > high) value = high;
    if (value < low) value = low;
}

void Start_Meters(Form1& f) {
    auto& S = f.S;
    S.Monitor_Counters = monitor_counters(f);
    if (S.Monitor_Counters)
        for (const char* suffix : kCounterSuffixes) S.Monitor_Counters->add("\\\\" + S.Server_Computer + suffix);
    Set_Bar_Color(f.Local_CPU_Meter, kMeterGreen);
    Set_Bar_Color(f.Local_Disk_Meter, kMeterRed);
    Set_Bar_Color(f.Local_Net_Meter, kMeterYellow);
    set_timer_enabled(f.Timer_Counters, true);
}

void Update_Meters(Form1& f) {
    auto& S = f.S;
    S.Monitor_Counters = monitor_counters(f);
    const std::int32_t n = S.Monitor_Counters ? S.Monitor_Counters->count() : 0;

    S.Monitor_Counter = item_at(S.Monitor_Counters, n);
    const std::int32_t p = rounded(value_of(S.Monitor_Counter));
    f.Label_CPU->setText(QString::fromStdString("CPU:  " + std::to_string(p) + " %"));
    set_meter(f.Local_CPU_Meter, p / 10.0);

    S.Monitor_Counter = item_at(S.Monitor_Counters, n - 1);
    const std::int32_t d = rounded(value_of(S.Monitor_Counter));
    f.Label_Disk->setText(QString::fromStdString("Disk:   " + std::to_string(d) + " %"));
    set_meter(f.Local_Disk_Meter, d / 10.0);

    // Of the two interfaces nearest the disk counter, the one at n - 3 unless it is loopback.
    S.Monitor_Counter = item_at(S.Monitor_Counters, n - 3);
    if (S.Monitor_Counter && S.Monitor_Counter->path().find("Loopback") != std::string::npos)
        S.Monitor_Counter = item_at(S.Monitor_Counters, n - 2);
    const std::int32_t k = rounded(value_of(S.Monitor_Counter) / 1024);
    f.Label_Network_Traffic->setText(QString::fromStdString("Traffic: " + format_number(k, "00,000") + " KB/sec"));
    f.Label_Network->setText(QString::fromStdString("Network: " + format_number(k / 103.0, "#0") + " %"));
    set_meter(f.Local_Net_Meter, k / 1024.0);
}

}  // namespace shardex

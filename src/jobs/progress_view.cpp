#include "jobs/progress_view.h"

#include <QProgressBar>
#include <QVariant>
#include <vector>

#include "app/form1.h"
#include "jobs/slots.h"
#include "jobs/time_left.h"

namespace shardex {
namespace {

constexpr const char* kBaseTitle = "shardexBaseTitle";

// The window's own title, kept aside while the run's progress stands in front of it.
std::string base_title(Form1& f) {
    if (!f.property(kBaseTitle).isValid()) f.setProperty(kBaseTitle, f.windowTitle());
    return f.property(kBaseTitle).toString().toStdString();
}

void show_title(Form1& f) {
    const std::string base = base_title(f);
    if (no_slot_running(f)) {
        f.setWindowTitle(QString::fromStdString(base));
        return;
    }
    const auto& S = f.S;
    std::vector<JobProgress> jobs;
    for (SlotId id : kAllSlots) {
        const int i = static_cast<int>(id);
        if (!(S.Progress_Slots & (1u << i))) continue;
        const SlotRef slot = slot_of(f, id);
        // A segment waiting for another computer has all of it still to do.
        const bool waits = S.ReRun.waiting & (1u << i);
        jobs.push_back({waits ? 0 : S.Progress_DoneMs[i], slot.segLength, waits ? 0 : S.Progress_Elapsed[i],
                        slot.running == kFalse && !waits});
    }
    f.setWindowTitle(QString::fromStdString(run_title(run_progress(jobs), base)));
}

}  // namespace

void Show_Time_Left(Form1& f, SlotId id, std::int64_t doneMs, double elapsedSec, const std::string& left) {
    const SlotRef slot = slot_of(f, id);
    const int i = static_cast<int>(id);
    if (slot.running == kFalse) return;
    f.S.Progress_Slots |= static_cast<std::uint8_t>(1u << i);
    f.S.Progress_DoneMs[i] = doneMs;
    f.S.Progress_Elapsed[i] = elapsedSec;
    slot.bar->setFormat(QString::fromStdString(left.empty() ? "%p%" : "%p%  " + left));
    slot.bar->setTextVisible(true);
    show_title(f);
}

void End_Time_Left(Form1& f, SlotId id) {
    slot_of(f, id).bar->setTextVisible(false);
    show_title(f);
}

void Plan_Time_Left(Form1& f) { f.S.Progress_Slots = 0; }

}  // namespace shardex

// Run control: the load check, the split of the trimmed stretch into three whole-second
// segments, Go/Stop for all slots and the Encode/Stop button of each slot.
#include "run/run_control.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <string>

#include "app/colors.h"
#include "app/form1.h"
#include "app/startup.h"
#include "jobs/completion.h"
#include "jobs/join_run.h"
#include "jobs/local_job.h"
#include "jobs/remote_job.h"
#include "jobs/slots.h"
#include "run/segments.h"
#include "source/preview_player.h"

namespace shardex {
namespace {

constexpr const char* kLoadMessage = "Incorrect Server/Client Load";

std::string text_of(const QLineEdit* box) { return box->text().toStdString(); }

void start_job(Form1& f, SlotId id) {
    switch (id) {
    case SlotId::Server:
        return Start_Local_Job(f);
    case SlotId::Client1:
        return Start_Remote_Job(f);
    case SlotId::Client2:
        return Start_Remote2_Job(f);
    }
}

// Asks the slot's encoder to stop. Returns true when the stop was accepted, so that the
// encoder's stopped event will end the slot. A refused stop (a client that no longer
// answers, say) is shown, and the caller ends the slot itself: no event will come.
bool request_stop(Form1& f, const SlotRef& slot) {
    if (!slot.encoder) return false;
    try {
        slot.encoder->stop();
        return true;
    } catch (const std::exception& e) {
        show_message(f, std::string(slot.prefix) + e.what());
        return false;
    }
}

// The stop half of an Encode button.
void stop_slot(Form1& f, const SlotRef& slot) {
    set_timer_enabled(slot.timer, false);
    slot.stopped = kTrue;
    const bool pending = request_stop(f, slot);
    slot.running = kFalse;
    if (!pending) finish_job(f, slot.id);
}

// The start half of an Encode button, after the load texts have been set.
void start_slot_alone(Form1& f, const SlotRef& slot) {
    set_back_color(slot.status, kButtonFace);
    slot.encode->setText(QStringLiteral("Stop"));
    try {
        Split_Segments(f);
    } catch (const std::exception& e) {
        // Only bounds beyond the 32-bit range get here; the slot ends as a failed set-up.
        show_message(f, std::string(slot.prefix) + e.what());
        slot.running = kFalse;
        slot.stopped = kTrue;
        finish_job(f, slot.id);
        return;
    }
    slot.startTicks = tick_now(f);
    slot.running = kTrue;
    slot.stopped = kFalse;
    start_job(f, slot.id);
}

// An Encode button: stops its slot's job, or runs the slot alone on the whole stretch. The
// Server's button leaves the clients' loads as they are; a client's sets the others to 0.
void encode_click(Form1& f, SlotId id, const char* noComputer) {
    if (f.CommonDialog1.FileName.empty()) return;
    Cmd_Stop_Click(f);
    const SlotRef slot = slot_of(f, id);
    if (slot.running == kTrue) {
        stop_slot(f, slot);
        return;
    }
    // The slot's last output is still on its way here: that job is not over yet.
    if (f.copies->copying(static_cast<int>(id))) return;
    if (slot.computer && slot.computer->empty()) {
        show_message(f, noComputer);
        return;
    }
    Save_Load_Texts(f);
    for (SlotId other : kAllSlots)
        if (other == id || !slot.server())
            slot_of(f, other).load->setText(other == id ? QStringLiteral("100") : QStringLiteral("0"));
    start_slot_alone(f, slot);
}

}  // namespace

std::int16_t Check_Loads(Form1& f) {
    if (f.CommonDialog1.FileName.empty()) return 0;
    const std::string local = text_of(f.local_load);
    const std::string remote = text_of(f.remote_load);
    const std::string remote2 = text_of(f.remote2_load);
    if (!loads_add_up(local, remote, remote2)) {
        show_message(f, kLoadMessage);
        return 0;
    }
    f.S.Local_LoadText = local;
    f.S.Remote_LoadText = remote;
    f.S.Remote2_LoadText = remote2;
    f.S.Local_Stopped = kFalse;
    f.S.Remote_Stopped = kFalse;
    f.S.Remote2_Stopped = kFalse;
    Reset_Status_Panels(f);
    return 1;
}

void Split_Segments(Form1& f) {
    auto& S = f.S;
    S.Mark_Out = stretch_end(S.Mark_Out, S.Movie_Length);
    // Stored only once every bound is known to fit, so a refused split changes no bound.
    const SegmentBounds b = split_segments(S.Mark_In, S.Mark_Out, text_of(f.local_load), text_of(f.remote_load));
    S.Local_SegStart = b.localStart;
    S.Local_SegEnd = b.localEnd;
    S.Remote_SegStart = b.remoteStart;
    S.Remote_SegEnd = b.remoteEnd;
    S.Remote2_SegStart = b.remote2Start;
    S.Remote2_SegEnd = b.remote2End;
}

void Save_Load_Texts(Form1& f) {
    for (SlotId id : kAllSlots) {
        const SlotRef slot = slot_of(f, id);
        slot.loadText = text_of(slot.load);
    }
}

void Cmd_Go_Click(Form1& f) {
    auto& S = f.S;
    if (Check_Loads(f) == 0) return;
    Cmd_Stop_Click(f);
    if (f.Cmd_Go->text() == QStringLiteral("Stop")) {
        Stop_All_Jobs(f);
        return;
    }
    try {
        Split_Segments(f);
    } catch (const Error&) {
        // Loads that pass the check can still put a bound beyond the 32-bit range.
        show_message(f, kLoadMessage);
        return;
    }
    Save_Load_Texts(f);
    Plan_Join(f);

    S.Local_StartTicks = tick_now(f);
    S.Local_Running = kTrue;
    Start_Local_Job(f);

    f.Cmd_Go->setText(QStringLiteral("Stop"));

    for (SlotId id : {SlotId::Client1, SlotId::Client2}) {
        const SlotRef slot = slot_of(f, id);
        if (text_of(slot.load) == "0") continue;
        slot.startTicks = tick_now(f);
        slot.running = kTrue;
        start_job(f, id);
        // A client without a computer is never set up, and nothing would ever end it.
        if (slot.computer->empty()) slot.running = kFalse;
    }

    // Every set-up failed (each has shown its message and its completion): nothing runs
    // that could bring the caption back later.
    if (no_slot_running(f)) f.Cmd_Go->setText(QStringLiteral("Go"));
}

void Cmd_Local_Encode_Click(Form1& f) { encode_click(f, SlotId::Server, nullptr); }

void Cmd_Remote_Encode_Click(Form1& f) { encode_click(f, SlotId::Client1, "No Client Available"); }

void Cmd_Remote2_Encode_Click(Form1& f) { encode_click(f, SlotId::Client2, "No Client-2 Available"); }

void Stop_All_Jobs(Form1& f) {
    for (SlotId id : kAllSlots) {
        const SlotRef slot = slot_of(f, id);
        set_timer_enabled(slot.timer, false);
        slot.stopped = kTrue;
    }

    // Each accepted stop ends its slot through the encoder's stopped event. A slot whose
    // stop was refused is ended here, while the others still count as running, so that
    // "Go" only comes back once nothing is left to report.
    bool pending = false;
    for (SlotId id : kAllSlots) {
        const SlotRef slot = slot_of(f, id);
        if (slot.running != kTrue || !slot.encoder) continue;
        if (request_stop(f, slot))
            pending = true;
        else
            finish_job(f, id);
    }

    for (SlotId id : kAllSlots) slot_of(f, id).running = kFalse;
    // A client's output still on its way here brings Go back when it arrives.
    if (!pending && no_slot_running(f)) f.Cmd_Go->setText(QStringLiteral("Go"));
}

}  // namespace shardex

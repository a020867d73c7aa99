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
#include "app/formats.h"
#include "app/startup.h"
#include "jobs/completion.h"
#include "jobs/join_run.h"
#include "jobs/local_job.h"
#include "jobs/remote_job.h"
#include "jobs/slots.h"
#include "source/preview_player.h"

namespace shardex {
namespace {

constexpr const char* kLoadMessage = "Incorrect Server/Client Load";

std::string text_of(const QLineEdit* box) { return box->text().toStdString(); }

// A load as the split reads it. A text that is not a number counts as 0: a Server-only
// run leaves the client load boxes as the user left them, and their segments are unused.
double split_load(const QLineEdit* box) {
    try {
        return text_to_int16(text_of(box));
    } catch (const Error&) {
        return 0;
    }
}

// round(ms / 1000) * 1000 as a 32-bit number of milliseconds.
std::int32_t whole_second(double ms) { return to_int32(round_half_even(ms / 1000.0) * 1000.0); }

// What the stop of one slot needs.
struct SlotControl {
    VbBool& running;
    VbBool& stopped;
    std::shared_ptr<encoder::Encoder>& encoder;
    QTimer* timer;
    const char* failurePrefix;
    void (*finish)(Form1&);
};

SlotControl local_slot(Form1& f) {
    return {f.S.Local_Running, f.S.Local_Stopped, f.S.Local_Encoder, f.TimerLocal, " ", Finish_Local_Job};
}
SlotControl remote_slot(Form1& f) {
    return {f.S.Remote_Running, f.S.Remote_Stopped, f.S.Remote_Encoder, f.TimerRemote, "Remote Encoder: ",
            Finish_Remote_Job};
}
SlotControl remote2_slot(Form1& f) {
    return {f.S.Remote2_Running, f.S.Remote2_Stopped, f.S.Remote2_Encoder, f.TimerRemote2, "Remote Encoder-2: ",
            Finish_Remote2_Job};
}

// Asks the slot's encoder to stop. Returns true when the stop was accepted, so that the
// encoder's stopped event will end the slot. A refused stop (a client that no longer
// answers, say) is shown, and the caller ends the slot itself: no event will come.
bool request_stop(Form1& f, const SlotControl& slot) {
    if (!slot.encoder) return false;
    try {
        slot.encoder->stop();
        return true;
    } catch (const std::exception& e) {
        show_message(f, std::string(slot.failurePrefix) + e.what());
        return false;
    }
}

// The stop half of an Encode button.
void stop_slot(Form1& f, const SlotControl& slot) {
    set_timer_enabled(slot.timer, false);
    slot.stopped = kTrue;
    const bool pending = request_stop(f, slot);
    slot.running = kFalse;
    if (!pending) slot.finish(f);
}

// The start half of an Encode button, after the load texts have been set.
void start_slot_alone(Form1& f, const SlotControl& slot, QLabel* status, QPushButton* button,
                      std::int32_t& startTicks, void (*setUp)(Form1&)) {
    set_back_color(status, kButtonFace);
    button->setText(QStringLiteral("Stop"));
    try {
        Split_Segments(f);
    } catch (const std::exception& e) {
        // Only bounds beyond the 32-bit range get here; the slot ends as a failed set-up.
        show_message(f, std::string(slot.failurePrefix) + e.what());
        slot.running = kFalse;
        slot.stopped = kTrue;
        slot.finish(f);
        return;
    }
    startTicks = tick_now(f);
    slot.running = kTrue;
    slot.stopped = kFalse;
    setUp(f);
}

}  // namespace

std::int16_t Check_Loads(Form1& f) {
    if (f.CommonDialog1.FileName.empty()) return 0;
    const std::string local = text_of(f.local_load);
    const std::string remote = text_of(f.remote_load);
    const std::string remote2 = text_of(f.remote2_load);
    if (local.empty() || remote.empty() || remote2.empty()) {
        show_message(f, kLoadMessage);
        return 0;
    }
    try {
        // 16-bit sums, in the order remote + local + remote2; a step out of range fails.
        std::int16_t sum = text_to_int16(remote);
        sum = to_int16(static_cast<double>(sum) + text_to_int16(local));
        sum = to_int16(static_cast<double>(sum) + text_to_int16(remote2));
        if (sum != 100) throw Error(kLoadMessage);
    } catch (const Error&) {
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
    if (S.Mark_Out == 0) S.Mark_Out = S.Movie_Length;
    const double start = S.Mark_In;
    const double end = S.Mark_Out;
    const double length = end - start;

    const std::int32_t localStart = whole_second(start);
    const double e1 = round_half_even(length * (split_load(f.local_load) / 100.0) + start);
    const std::int32_t firstCut = whole_second(e1);
    const double e2 = round_half_even(length * (split_load(f.remote_load) / 100.0) + firstCut);
    const std::int32_t secondCut = whole_second(e2);
    const std::int32_t lastEnd = whole_second(end);

    // Stored only once every bound is known to fit, so a refused split changes no bound.
    S.Local_SegStart = localStart;
    S.Local_SegEnd = firstCut;
    S.Remote_SegStart = firstCut;
    S.Remote_SegEnd = secondCut;
    S.Remote2_SegStart = secondCut;
    S.Remote2_SegEnd = lastEnd;
}

void Save_Load_Texts(Form1& f) {
    f.S.Local_LoadText = text_of(f.local_load);
    f.S.Remote_LoadText = text_of(f.remote_load);
    f.S.Remote2_LoadText = text_of(f.remote2_load);
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

    if (text_of(f.remote_load) != "0") {
        S.Remote_StartTicks = tick_now(f);
        S.Remote_Running = kTrue;
        Start_Remote_Job(f);
        // A client without a computer is never set up, and nothing would ever end it.
        if (S.Client1_Computer.empty()) S.Remote_Running = kFalse;
    }
    if (text_of(f.remote2_load) != "0") {
        S.Remote2_StartTicks = tick_now(f);
        S.Remote2_Running = kTrue;
        Start_Remote2_Job(f);
        if (S.Client2_Computer.empty()) S.Remote2_Running = kFalse;
    }

    // Every set-up failed (each has shown its message and its completion): nothing runs
    // that could bring the caption back later.
    if (no_slot_running(f)) f.Cmd_Go->setText(QStringLiteral("Go"));
}

void Cmd_Local_Encode_Click(Form1& f) {
    if (f.CommonDialog1.FileName.empty()) return;
    Cmd_Stop_Click(f);
    const SlotControl slot = local_slot(f);
    if (f.S.Local_Running == kTrue) {
        stop_slot(f, slot);
        return;
    }
    Save_Load_Texts(f);
    f.local_load->setText(QStringLiteral("100"));
    start_slot_alone(f, slot, f.Local_Status, f.Cmd_Local_Encode, f.S.Local_StartTicks, Start_Local_Job);
}

void Cmd_Remote_Encode_Click(Form1& f) {
    if (f.CommonDialog1.FileName.empty()) return;
    Cmd_Stop_Click(f);
    const SlotControl slot = remote_slot(f);
    if (f.S.Remote_Running == kTrue) {
        stop_slot(f, slot);
        return;
    }
    if (f.S.Client1_Computer.empty()) {
        show_message(f, "No Client Available");
        return;
    }
    Save_Load_Texts(f);
    f.local_load->setText(QStringLiteral("0"));
    f.remote_load->setText(QStringLiteral("100"));
    f.remote2_load->setText(QStringLiteral("0"));
    start_slot_alone(f, slot, f.Remote_Status, f.Cmd_Remote_Encode, f.S.Remote_StartTicks, Start_Remote_Job);
}

void Cmd_Remote2_Encode_Click(Form1& f) {
    if (f.CommonDialog1.FileName.empty()) return;
    Cmd_Stop_Click(f);
    const SlotControl slot = remote2_slot(f);
    if (f.S.Remote2_Running == kTrue) {
        stop_slot(f, slot);
        return;
    }
    if (f.S.Client2_Computer.empty()) {
        show_message(f, "No Client-2 Available");
        return;
    }
    Save_Load_Texts(f);
    f.local_load->setText(QStringLiteral("0"));
    f.remote_load->setText(QStringLiteral("0"));
    f.remote2_load->setText(QStringLiteral("100"));
    start_slot_alone(f, slot, f.Remote2_Status, f.Cmd_Remote2_Encode, f.S.Remote2_StartTicks, Start_Remote2_Job);
}

void Stop_All_Jobs(Form1& f) {
    auto& S = f.S;
    set_timer_enabled(f.TimerLocal, false);
    set_timer_enabled(f.TimerRemote, false);
    set_timer_enabled(f.TimerRemote2, false);
    S.Local_Stopped = kTrue;
    S.Remote_Stopped = kTrue;
    S.Remote2_Stopped = kTrue;

    // Each accepted stop ends its slot through the encoder's stopped event. A slot whose
    // stop was refused is ended here, while the others still count as running, so that
    // "Go" only comes back once nothing is left to report.
    bool pending = false;
    for (const SlotControl& slot : {local_slot(f), remote_slot(f), remote2_slot(f)}) {
        if (slot.running != kTrue || !slot.encoder) continue;
        if (request_stop(f, slot))
            pending = true;
        else
            slot.finish(f);
    }

    S.Local_Running = kFalse;
    S.Remote_Running = kFalse;
    S.Remote2_Running = kFalse;
    if (!pending) f.Cmd_Go->setText(QStringLiteral("Go"));
}

}  // namespace shardex

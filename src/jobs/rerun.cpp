// The re-encoding of a lost client's segment on another computer of the run.
#include "jobs/rerun.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>

#include "app/colors.h"
#include "app/form1.h"
#include "jobs/completion.h"
#include "jobs/figures.h"
#include "jobs/job_setup.h"
#include "jobs/progress_view.h"
#include "jobs/segment_job.h"
#include "jobs/join_run.h"
#include "jobs/slots.h"

namespace shardex {
namespace {

int index_of(SlotId id) { return static_cast<int>(id); }
std::uint8_t bit_of(int slot) { return static_cast<std::uint8_t>(1u << slot); }
SlotId slot_id(int slot) { return kAllSlots[static_cast<std::size_t>(slot)]; }

std::string computer_of(Form1& f, int slot) {
    const SlotRef s = slot_of(f, slot_id(slot));
    return s.server() ? f.S.Server_Computer : *s.computer;
}

// The slot that takes a waiting segment: the Server when it is free (no copy home), else
// the first free client.
int free_host(std::uint8_t idle) { return (idle & 1) ? 0 : std::countr_zero(idle); }

// Whether a slot of the run other than `lost` is still at work (encoding, or its output
// coming home) or free to take a segment.
bool someone_left(const Form1& f, int lost) {
    const auto& S = f.S;
    const VbBool running[] = {S.Local_Running, S.Remote_Running, S.Remote2_Running};
    const auto& R = S.ReRun;
    for (int i = 0; i < 3; ++i)
        if (i != lost && (R.runSlots & bit_of(i)) &&
            (running[i] != kFalse || f.copies->copying(i) || (R.idle & bit_of(i))))
            return true;
    return false;
}

// Sets up the encoder that re-encodes the segment of `lost` on `host` and starts it. The
// lost slot holds it as its own encoder, so its panel, its Encode button and Go's Stop reach
// it; its own computer is connected anew by its next job.
void start_rerun(Form1& f, int lost, int host) {
    auto& S = f.S;
    auto& R = S.ReRun;
    const SlotRef c = slot_of(f, slot_id(lost));
    R.waiting &= static_cast<std::uint8_t>(~bit_of(lost));
    R.idle &= static_cast<std::uint8_t>(~bit_of(host));
    R.host[lost] = static_cast<std::int8_t>(host);
    R.hostName[lost] = computer_of(f, host);
    R.reason[lost].clear();
    c.running = kTrue;
    c.stopped = kFalse;
    c.startTicks = tick_now(f);
    set_back_color(c.status, kButtonFace);
    c.status->setText(QString::fromStdString("Status:  Re-encoding on " + R.hostName[lost]));
    try {
        const std::string computer = host == 0 ? std::string() : R.hostName[lost];
        SegmentJob job = set_up_segment_job(f, computer, c.outFile, [&](const std::shared_ptr<encoder::Encoder>& enc) {
            *c.connected = 0;
            c.encoder = enc;
            bind_encoder_events(f, c.id, enc);
        });
        if (job.app) *c.app = job.app;
        mark_segment(*job.video, *job.audio, c.segStart, c.segEnd, c.segLength, run_stretch(S), lost);
        c.file->setText(QString::fromStdString(c.outFile + " (on " + R.hostName[lost] + ")"));
        job.encoder->start();
        set_timer_enabled(c.timer, true);
    } catch (const std::exception& e) {
        Note_Job_Failure(f, c.id, e.what());
        c.running = kFalse;
        c.stopped = kTrue;
        finish_job(f, c.id);
    }
}

// A segment that no computer will re-encode ends its slot as stopped.
void give_up(Form1& f, int lost) {
    auto& R = f.S.ReRun;
    R.waiting &= static_cast<std::uint8_t>(~bit_of(lost));
    const SlotRef c = slot_of(f, slot_id(lost));
    c.stopped = kTrue;
    c.status->setText(QString::fromUtf8(R.userStop ? "Status:  Stopped " : "Status:  Failed "));
    if (!R.userStop)
        show_message(f, c.prefix + std::string("no computer of the run is left to encode its segment again. It had "
                                               "stopped: ") + R.firstReason[lost]);
    Join_Run_Outputs(f, lost);
}

}  // namespace

void Plan_ReRun(Form1& f, bool goRun) {
    f.S.ReRun = {};
    if (goRun) f.S.ReRun.runSlots = f.S.Join_Slots;
    Plan_Time_Left(f);
}

void ReRun_User_Stop(Form1& f) {
    f.S.ReRun.userStop = true;
    f.S.ReRun.idle = 0;
    while (f.S.ReRun.waiting) give_up(f, std::countr_zero(f.S.ReRun.waiting));
}

void Note_Job_Failure(Form1& f, SlotId id, const std::string& why) {
    std::string& reason = f.S.ReRun.reason[index_of(id)];
    if (reason.empty()) reason = why.empty() ? "it failed" : why;
}

bool Is_ReRun(const SessionState& S, SlotId id) { return S.ReRun.host[index_of(id)] >= 0; }

std::string Output_Computer(Form1& f, SlotId id) {
    const int host = f.S.ReRun.host[index_of(id)];
    return host < 0 ? computer_of(f, index_of(id)) : host == 0 ? std::string() : f.S.ReRun.hostName[index_of(id)];
}

std::string ReRun_Note(const Form1& f, SlotId id) {
    const auto& S = f.S;
    const int i = index_of(id);
    const auto& R = S.ReRun;
    if (i == 0 || R.userStop || R.host[i] >= 0 || R.reason[i].empty() || !(R.runSlots & bit_of(i)) ||
        !someone_left(f, i))
        return {};
    return "\nIts segment will be encoded again by another computer of the run.";
}

std::string Running_Status(const SessionState& S, SlotId id, const PanelFigures& fig) {
    const int i = index_of(id);
    if (S.ReRun.host[i] < 0) return fig.status;
    return "Status:  Re-encoding on " + S.ReRun.hostName[i] + " " + std::to_string(fig.percent) + " %";
}

bool ReRun_After_End(Form1& f, SlotId id, bool success) {
    auto& S = f.S;
    auto& R = S.ReRun;
    const int i = index_of(id);
    const SlotRef slot = slot_of(f, id);
    bool waits = false;
    if (R.host[i] >= 0) {
        // A re-encoding ended: its computer is free again when it went well.
        const int host = R.host[i];
        R.host[i] = -1;
        if (success && !R.userStop) R.idle |= bit_of(host);
        if (!success && !R.reason[i].empty())
            show_message(f, slot.prefix + std::string("its segment could not be encoded again on ") +
                                R.hostName[i] + ": " + R.reason[i] + "\nIt had stopped: " + R.firstReason[i]);
    } else if (R.runSlots & bit_of(i)) {
        if (success) {
            R.idle |= bit_of(i);
        } else if (i != 0 && !R.userStop && !R.reason[i].empty() && someone_left(f, i)) {
            R.waiting |= bit_of(i);
            R.firstReason[i] = R.reason[i];
            slot.status->setText(QStringLiteral("Status:  Waiting to be encoded again"));
            waits = true;
        }
    }
    if (R.userStop) R.idle = 0;
    while (R.waiting && R.idle) start_rerun(f, std::countr_zero(R.waiting), free_host(R.idle));
    // Nothing runs, nothing comes home and no computer is free: what still waits will never
    // be done.
    while (R.waiting && !R.idle && no_slot_running(f)) {
        give_up(f, std::countr_zero(R.waiting));
    }
    // Still waiting, or re-encoded now; a re-encoding that could not start has ended the slot.
    return waits && ((R.waiting & bit_of(i)) || R.host[i] >= 0);
}

}  // namespace shardex

// The encoders' run-state and error events, and the end of each slot's job: the final
// figures, the outcome in the status line, and the controls given back to the user.
#include "jobs/completion.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "app/colors.h"
#include "app/form1.h"
#include "app/video_frame_widget.h"
#include "jobs/client_copy.h"
#include "jobs/join_run.h"
#include "jobs/figures.h"
#include "jobs/polling.h"
#include "jobs/slots.h"
#include "platform/encoder/errors.h"
#include "platform/paths.h"

namespace shardex {
namespace {

// The size of an output file of the Shardex folder; 0 when there is none or it cannot be read.
std::uintmax_t output_bytes(const std::string& name) {
    std::error_code ec;
    const auto path = std::filesystem::path(platform::shardex_folder_prefix() + name);
    const auto bytes = std::filesystem::is_regular_file(path, ec) ? std::filesystem::file_size(path, ec) : 0;
    return ec ? 0 : bytes;
}

// A slot's run-state event. A client's output comes over to this computer after its stop,
// also after a user's stop, unless its computer was lost: a killed agent cannot send it, and
// a frozen one would hold the window until the copy's deadline, only to fail. A copy that
// fails leaves whatever file of that name was here untouched; the slot then ends as
// stopped, so no ratio is read from a file of an earlier run.
void state_change(Form1& f, SlotId id, std::int32_t enumState, bool reachable) {
    const SlotRef slot = slot_of(f, id);
    switch (enumState) {
    case encoder::kStateStarting:
        slot.encode->setText(QStringLiteral("Stop"));
        set_fore_color(slot.clock, kBrightGreen);
        set_back_color(slot.clock, kBlack);
        break;
    case encoder::kStatePaused:
        if (slot.server()) slot.file->setText(QString::fromStdString(slot.outFile + "  (Pause)"));
        break;
    case encoder::kStateStopped:
        set_timer_enabled(slot.timer, false);
        slot.running = kFalse;
        set_fore_color(slot.clock, kGreen);
        poll_slot(f, id);
        if (!slot.server() && reachable) {
            f.copies->start(f, static_cast<int>(id), *slot.computer, slot.outFile, slot.prefix, [&f, id](bool ok) {
                if (!ok) slot_of(f, id).stopped = kTrue;
                finish_job(f, id);
            });
            break;
        }
        finish_job(f, id);
        break;
    default:
        break;
    }
}

// A client's encode that fails (or whose computer is lost) ends as stopped, with the reason.
void client_error(Form1& f, SlotId id, const std::string& description) {
    const SlotRef slot = slot_of(f, id);
    if (slot.running == kTrue) slot.stopped = kTrue;
    show_message(f, slot.prefix + description);
}

// Events reach the handlers on the window's thread, and only while `enc` is still the
// encoder the slot holds: a replaced encoder's late events belong to a job that is over.
void route_events(Form1& f, SlotId id, const std::shared_ptr<encoder::Encoder>& enc,
                  std::function<void(Form1&, std::int32_t)> onState,
                  std::function<void(Form1&, std::int32_t, const std::string&)> onError) {
    Form1* form = &f;
    std::weak_ptr<encoder::Encoder> weak = enc;
    auto current = [form, weak, id] {
        auto e = weak.lock();
        return e && slot_of(*form, id).encoder == e;
    };
    encoder::EventHandlers handlers;
    handlers.onStateChange = [form, current, onState](std::int32_t state) {
        if (current()) onState(*form, state);
    };
    handlers.onError = [form, current, onError](std::int32_t code, const std::string& description) {
        if (current()) onError(*form, code, description);
    };
    enc->setEventHandlers(f.uiExecutor(), std::move(handlers));
}

}  // namespace

void Local_Encoder_OnStateChange(Form1& f, std::int32_t enumState) { state_change(f, SlotId::Server, enumState, true); }

void Remote_Encoder_OnStateChange(Form1& f, std::int32_t enumState) {
    state_change(f, SlotId::Client1, enumState, true);
}

void Remote2_Encoder_OnStateChange(Form1& f, std::int32_t enumState) {
    state_change(f, SlotId::Client2, enumState, true);
}

void Local_Encoder_OnError(Form1& f, std::int32_t hResult) { Local_Encoder_OnError(f, hResult, {}); }

void Local_Encoder_OnError(Form1& f, std::int32_t hResult, const std::string& description) {
    // An error ends the encode (the stopped event follows); the job is then reported as
    // stopped, not as a success with a partial file.
    if (f.S.Local_Running == kTrue) f.S.Local_Stopped = kTrue;
    std::string text = "Local Encoder Error: " + std::to_string(hResult);
    // A code alone does not tell the user to free room on a disk: the output's own failures
    // carry their reason.
    const bool output = hResult == encoder::errors::kWriteFailed || hResult == encoder::errors::kOutputUnavailable;
    if (output && !description.empty()) text += "\n" + f.S.Server_Computer + ": " + description;
    show_message(f, text);
}

void Remote_Encoder_OnError(Form1& f, std::int32_t, const std::string& description) {
    client_error(f, SlotId::Client1, description);
}

void Remote2_Encoder_OnError(Form1& f, std::int32_t, const std::string& description) {
    client_error(f, SlotId::Client2, description);
}

void finish_job(Form1& f, SlotId id) {
    const SlotRef slot = slot_of(f, id);
    slot.bar->setValue(0);
    if (slot.server() && f.S.Media_Window) f.S.Media_Window->setOwner(f.Frame_Video->hWnd());
    const bool stopped = slot.stopped == kTrue;
    const JobOutcome end = job_outcome(stopped, stopped ? 0 : output_bytes(slot.outFile), slot.segLength,
                                       f.S.Movie_Length, f.S.Source_SizeKB);
    slot.status->setText(QString::fromStdString(end.status));
    if (end.success) set_back_color(slot.status, kLightYellow);
    slot.load->setText(QString::fromStdString(slot.loadText));
    slot.encode->setText(QStringLiteral("Encode"));
    if (no_slot_running(f)) f.Cmd_Go->setText(QStringLiteral("Go"));
    Join_Run_Outputs(f, static_cast<int>(id));
}

void Finish_Local_Job(Form1& f) { finish_job(f, SlotId::Server); }

void Finish_Remote_Job(Form1& f) { finish_job(f, SlotId::Client1); }

void Finish_Remote2_Job(Form1& f) { finish_job(f, SlotId::Client2); }

void bind_encoder_events(Form1& f, SlotId id, const std::shared_ptr<encoder::Encoder>& enc) {
    if (id == SlotId::Server) {
        route_events(f, id, enc, Local_Encoder_OnStateChange,
                     [](Form1& form, std::int32_t code, const std::string& description) {
                         Local_Encoder_OnError(form, code, description);
                     });
        return;
    }
    // A client's connection once lost stays lost (the next job connects anew, with a new
    // encoder): its stop then brings no copy.
    auto lost = std::make_shared<bool>(false);
    route_events(
        f, id, enc, [lost, id](Form1& form, std::int32_t state) { state_change(form, id, state, !*lost); },
        [lost, id](Form1& form, std::int32_t code, const std::string& description) {
            if (code == encoder::errors::kConnectionLost) *lost = true;
            client_error(form, id, description);
        });
}

void bind_local_encoder_events(Form1& f, const std::shared_ptr<encoder::Encoder>& enc) {
    bind_encoder_events(f, SlotId::Server, enc);
}

}  // namespace shardex

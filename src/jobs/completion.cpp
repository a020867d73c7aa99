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
#include "app/formats.h"
#include "app/video_frame_widget.h"
#include "jobs/client_copy.h"
#include "jobs/join_run.h"
#include "jobs/polling.h"
#include "jobs/slots.h"
#include "platform/encoder/errors.h"
#include "platform/paths.h"

namespace shardex {
namespace {

struct SlotEnd {
    VbBool stopped;
    std::int32_t segLength;
    const std::string& outFile;
    const std::string& loadText;
    QProgressBar* bar;
    QLabel* status;
    QLineEdit* load;
    QPushButton* encode;
};

// The outcome line of a job that was not stopped. The ratio compares the kilobytes of
// source the segment stands for with the kilobytes written; it is left out where it has
// no meaning (no source length, an empty segment, an output under half a kilobyte)
// rather than shown as 0 or infinite. No output at all is not a success.
void show_outcome(Form1& f, const SlotEnd& s) {
    std::error_code ec;
    const auto path = std::filesystem::path(platform::shardex_folder_prefix() + s.outFile);
    const auto bytes = std::filesystem::is_regular_file(path, ec) ? std::filesystem::file_size(path, ec) : 0;
    if (ec || bytes == 0) {
        s.status->setText(QStringLiteral("Status:  Failed - no output file "));
        return;
    }
    const double share = f.S.Movie_Length != 0
                             ? static_cast<double>(s.segLength) / f.S.Movie_Length * f.S.Source_SizeKB
                             : 0.0;
    const double outKB = round_half_even(static_cast<double>(bytes) / 1024.0);
    std::string text = "Status:  Success ";
    if (share > 0 && outKB > 0) text += format_number(share / outKB, "##.0") + " to 1";
    s.status->setText(QString::fromStdString(text));
    set_back_color(s.status, kLightYellow);
}

void finish_slot(Form1& f, const SlotEnd& s) {
    s.bar->setValue(0);
    if (s.stopped == kTrue)
        s.status->setText(QStringLiteral("Status:  Stopped "));
    else
        show_outcome(f, s);
    s.load->setText(QString::fromStdString(s.loadText));
    s.encode->setText(QStringLiteral("Encode"));
    if (no_slot_running(f)) f.Cmd_Go->setText(QStringLiteral("Go"));
}

void started(QPushButton* encode, QLabel* clock) {
    encode->setText(QStringLiteral("Stop"));
    set_fore_color(clock, kBrightGreen);
    set_back_color(clock, kBlack);
}

// Events reach the handlers on the window's thread, and only while `enc` is still the
// encoder the slot holds: a replaced encoder's late events belong to a job that is over.
void route_events(Form1& f, const std::shared_ptr<encoder::Encoder>& enc,
                  std::shared_ptr<encoder::Encoder> SessionState::*slot,
                  std::function<void(Form1&, std::int32_t)> onState,
                  std::function<void(Form1&, std::int32_t, const std::string&)> onError) {
    Form1* form = &f;
    std::weak_ptr<encoder::Encoder> weak = enc;
    auto current = [form, weak, slot] {
        auto e = weak.lock();
        return e && (form->S.*slot) == e;
    };
    encoder::EventHandlers handlers;
    handlers.onStateChange = [form, current, onState](std::int32_t state) {
        if (current()) onState(*form, state);
    };
    if (onError)
        handlers.onError = [form, current, onError](std::int32_t code, const std::string& description) {
            if (current()) onError(*form, code, description);
        };
    else
        handlers.onError = [](std::int32_t, const std::string&) {};
    enc->setEventHandlers(f.uiExecutor(), std::move(handlers));
}

// The client's output comes over to this computer, also after a stop. A copy that fails
// leaves whatever file of that name was here untouched; the slot then ends as stopped, so
// no ratio is read from a file of an earlier run.
void copy_output(Form1& f, const std::string& computer, const std::string& name, VbBool& stopped,
                 const char* prefix) {
    if (!copy_client_output(f, computer, name, prefix)) stopped = kTrue;
}

// A client's encode that fails (or whose computer is lost) ends as stopped, with the reason.
void client_error(Form1& f, VbBool running, VbBool& stopped, const char* prefix, const std::string& description) {
    if (running == kTrue) stopped = kTrue;
    show_message(f, prefix + description);
}

}  // namespace

void Local_Encoder_OnStateChange(Form1& f, std::int32_t enumState) {
    switch (enumState) {
    case encoder::kStateStarting:
        started(f.Cmd_Local_Encode, f.Local_Clock);
        break;
    case encoder::kStatePaused:
        f.TextBox_LocalFile->setText(QString::fromStdString(f.S.Local_OutFile + "  (Pause)"));
        break;
    case encoder::kStateStopped:
        set_timer_enabled(f.TimerLocal, false);
        f.S.Local_Running = kFalse;
        set_fore_color(f.Local_Clock, kGreen);
        TimerLocal_Timer(f);
        Finish_Local_Job(f);
        break;
    default:
        break;
    }
}

namespace {

// A client's stopped state: the output comes home unless the client was lost, whose file
// stays where it is (a killed agent cannot send it, and a frozen one would hold the window
// until the copy's deadline, only to fail).
void remote_state(Form1& f, std::int32_t enumState, bool reachable) {
    if (enumState == encoder::kStateStarting) {
        started(f.Cmd_Remote_Encode, f.Remote_Clock);
    } else if (enumState == encoder::kStateStopped) {
        set_timer_enabled(f.TimerRemote, false);
        f.S.Remote_Running = kFalse;
        set_fore_color(f.Remote_Clock, kGreen);
        TimerRemote_Timer(f);
        if (reachable) copy_output(f, f.S.Client1_Computer, f.S.Remote_OutFile, f.S.Remote_Stopped, "Remote Encoder: ");
        Finish_Remote_Job(f);
    }
}

void remote2_state(Form1& f, std::int32_t enumState, bool reachable) {
    if (enumState == encoder::kStateStarting) {
        started(f.Cmd_Remote2_Encode, f.Remote2_Clock);
    } else if (enumState == encoder::kStateStopped) {
        set_timer_enabled(f.TimerRemote2, false);
        f.S.Remote2_Running = kFalse;
        set_fore_color(f.Remote2_Clock, kGreen);
        TimerRemote2_Timer(f);
        if (reachable)
            copy_output(f, f.S.Client2_Computer, f.S.Remote2_OutFile, f.S.Remote2_Stopped, "Remote Encoder-2: ");
        Finish_Remote2_Job(f);
    }
}

// A client encoder's events, remembering whether its computer was lost: an encoder's
// connection once lost stays lost (the next job connects anew, with a new encoder).
void route_client_events(Form1& f, const std::shared_ptr<encoder::Encoder>& enc,
                         std::shared_ptr<encoder::Encoder> SessionState::*slot,
                         void (*onState)(Form1&, std::int32_t, bool),
                         void (*onError)(Form1&, std::int32_t, const std::string&)) {
    auto lost = std::make_shared<bool>(false);
    route_events(
        f, enc, slot, [lost, onState](Form1& form, std::int32_t state) { onState(form, state, !*lost); },
        [lost, onError](Form1& form, std::int32_t code, const std::string& description) {
            if (code == encoder::errors::kConnectionLost) *lost = true;
            onError(form, code, description);
        });
}

}  // namespace

void Remote_Encoder_OnStateChange(Form1& f, std::int32_t enumState) { remote_state(f, enumState, true); }

void Remote2_Encoder_OnStateChange(Form1& f, std::int32_t enumState) { remote2_state(f, enumState, true); }

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
    client_error(f, f.S.Remote_Running, f.S.Remote_Stopped, "Remote Encoder: ", description);
}

void Remote2_Encoder_OnError(Form1& f, std::int32_t, const std::string& description) {
    client_error(f, f.S.Remote2_Running, f.S.Remote2_Stopped, "Remote Encoder-2: ", description);
}

void Finish_Local_Job(Form1& f) {
    auto& S = f.S;
    f.ProgressBar_Local->setValue(0);
    // The preview player takes the picture back from the encoder's view, when it has one.
    if (S.Media_Window) S.Media_Window->setOwner(f.Frame_Video->hWnd());
    finish_slot(f, {S.Local_Stopped, S.Local_SegLength, S.Local_OutFile, S.Local_LoadText, f.ProgressBar_Local,
                    f.Local_Status, f.local_load, f.Cmd_Local_Encode});
    Join_Run_Outputs(f, 0);
}

void Finish_Remote_Job(Form1& f) {
    auto& S = f.S;
    finish_slot(f, {S.Remote_Stopped, S.Remote_SegLength, S.Remote_OutFile, S.Remote_LoadText, f.ProgressBar_Remote,
                    f.Remote_Status, f.remote_load, f.Cmd_Remote_Encode});
    Join_Run_Outputs(f, 1);
}

void Finish_Remote2_Job(Form1& f) {
    auto& S = f.S;
    finish_slot(f, {S.Remote2_Stopped, S.Remote2_SegLength, S.Remote2_OutFile, S.Remote2_LoadText,
                    f.ProgressBar_Remote2, f.Remote2_Status, f.remote2_load, f.Cmd_Remote2_Encode});
    Join_Run_Outputs(f, 2);
}

void bind_local_encoder_events(Form1& f, const std::shared_ptr<encoder::Encoder>& enc) {
    route_events(f, enc, &SessionState::Local_Encoder, Local_Encoder_OnStateChange,
                 [](Form1& form, std::int32_t code, const std::string& description) {
                     Local_Encoder_OnError(form, code, description);
                 });
}

void bind_remote_encoder_events(Form1& f, const std::shared_ptr<encoder::Encoder>& enc) {
    route_client_events(f, enc, &SessionState::Remote_Encoder, remote_state, Remote_Encoder_OnError);
}

void bind_remote2_encoder_events(Form1& f, const std::shared_ptr<encoder::Encoder>& enc) {
    route_client_events(f, enc, &SessionState::Remote2_Encoder, remote2_state, Remote2_Encoder_OnError);
}

}  // namespace shardex

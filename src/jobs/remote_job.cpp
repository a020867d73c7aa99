// The clients' jobs: an encoder made on the client computer through its agent reads the
// source through this computer's share and encodes the client's segment into the client's
// own Shardex folder, while the client's user sees the encoder application. The slot's
// application and encoder are made once and reused by every later job of that slot.
#include "jobs/remote_job.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTimer>
#include <string>

#include "app/form1.h"
#include "jobs/completion.h"
#include "jobs/job_setup.h"
#include "jobs/slots.h"
#include "platform/encoder/errors.h"
#include "platform/network_paths.h"
#include "platform/paths.h"
#include "platform/remote/protocol.h"

namespace shardex {
namespace {

constexpr const char* kAgentProgId = "WMEncAgt.WMEncoderAgent";
constexpr const char* kAppName = "WMEnc_1";
constexpr const char* kAppProgId = remote::kEncoderAppProgId;

// One client slot's fields and controls: the twins differ in nothing else.
struct ClientSlot {
    const std::string& computer;
    std::int16_t& connected;
    std::shared_ptr<encoder::EncoderApp>& app;
    std::shared_ptr<encoder::Encoder>& enc;
    std::int32_t& segStart;
    std::int32_t& segEnd;
    std::int32_t& segLength;
    const std::string& outFile;
    VbBool& running;
    VbBool& stopped;
    QLineEdit* fileBox;
    QTimer* timer;
    const char* prefix;
    void (*bind)(Form1&, const std::shared_ptr<encoder::Encoder>&);
    void (*finish)(Form1&);
};

// Resets the encoder of a slot made in an earlier run: false when the connection it was
// made on is lost, so that it can never be used again.
bool reset_unless_lost(encoder::Encoder& enc) {
    try {
        enc.reset();
        return true;
    } catch (const Error& e) {
        if (e.code() != encoder::errors::kConnectionLost) throw;
        return false;
    }
}

void start_client_job(Form1& f, const ClientSlot& c) {
    auto& S = f.S;
    if (c.computer.empty()) return;
    try {
        const std::string sourcePath = f.CommonDialog1.FileName;
        // The clients read the source through this computer's share, which offers that file alone.
        if (f.services.shareSource) f.services.shareSource(sourcePath);

        if (!f.services.createAgent)
            throw Error(std::string("no ") + kAgentProgId + " can be created on " + c.computer);
        auto agent = f.services.createAgent(c.computer);

        // A connected slot's encoder is reset first; if its computer was lost since (the
        // agent killed, frozen or restarted), the slot connects once more to the same
        // computer, so a lost client does not stay lost until Shardex is started again.
        const bool reset = c.connected == 1 && reset_unless_lost(*c.enc);
        if (!reset) {
            c.app = agent->createEncoderApp(kAppName, kAppProgId);
            const auto names = agent->encoderNames();
            if (names.empty()) throw Error(c.computer + ": its agent lists no encoder");
            c.enc = agent->encoder(names.front());
            c.bind(f, c.enc);
        }
        c.connected = 1;

        auto& enc = *c.enc;
        if (!reset) enc.reset();
        auto group = enc.sourceGroups()->add("SG_1");
        auto video = group->addSource(encoder::kSourceVideo);
        auto audio = group->addSource(encoder::kSourceAudio);
        const std::string input = platform::network_source_path(S.Server_Computer, sourcePath);
        video->setInput(input, "", "");
        audio->setInput(input, "", "");

        enc.file()->setLocalFileName(platform::shardex_folder_prefix() + c.outFile);
        set_display_info(enc);

        if (auto profile = find_profile(enc, f.Combo_Profile->currentText().toStdString())) group->setProfile(profile);
        if (S.Two_Pass == 1) video->setPreProcessPass(1);

        enc.prepare(true);

        mark_segment(*video, *audio, c.segStart, c.segEnd, c.segLength);

        c.fileBox->setText(QString::fromStdString(c.outFile));
        c.app->setPlacement(800, 600);
        c.app->setVisible(true);
        enc.start();
        if (f.services.sleep) f.services.sleep(500);
        set_timer_enabled(c.timer, true);
    } catch (const std::exception& e) {
        show_message(f, c.prefix + std::string(e.what()));
        c.running = kFalse;
        c.stopped = kTrue;
        c.finish(f);
    }
}

}  // namespace

void Start_Remote_Job(Form1& f) {
    auto& S = f.S;
    start_client_job(f, {S.Client1_Computer, S.Remote_Connected, S.Remote_App, S.Remote_Encoder, S.Remote_SegStart,
                         S.Remote_SegEnd, S.Remote_SegLength, S.Remote_OutFile, S.Remote_Running, S.Remote_Stopped,
                         f.TextBox_RemoteFile, f.TimerRemote, "Remote Encoder: ", bind_remote_encoder_events,
                         Finish_Remote_Job});
}

void Start_Remote2_Job(Form1& f) {
    auto& S = f.S;
    start_client_job(f, {S.Client2_Computer, S.Remote2_Connected, S.Remote2_App, S.Remote2_Encoder,
                         S.Remote2_SegStart, S.Remote2_SegEnd, S.Remote2_SegLength, S.Remote2_OutFile,
                         S.Remote2_Running, S.Remote2_Stopped, f.TextBox_Remote2File, f.TimerRemote2,
                         "Remote Encoder-2: ", bind_remote2_encoder_events, Finish_Remote2_Job});
}

}  // namespace shardex

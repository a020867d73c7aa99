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

void start_client_job(Form1& f, SlotId id) {
    auto& S = f.S;
    const SlotRef c = slot_of(f, id);
    const std::string& computer = *c.computer;
    if (computer.empty()) return;
    try {
        const std::string sourcePath = f.CommonDialog1.FileName;
        // The clients read the source through this computer's share, which offers that file alone.
        if (f.services.shareSource) f.services.shareSource(sourcePath);

        if (!f.services.createAgent)
            throw Error(std::string("no ") + kAgentProgId + " can be created on " + computer);
        auto agent = f.services.createAgent(computer);

        // A connected slot's encoder is reset first; if its computer was lost since (the
        // agent killed, frozen or restarted), the slot connects once more to the same
        // computer, so a lost client does not stay lost until Shardex is started again.
        const bool reset = *c.connected == 1 && reset_unless_lost(*c.encoder);
        if (!reset) {
            *c.app = agent->createEncoderApp(kAppName, kAppProgId);
            const auto names = agent->encoderNames();
            if (names.empty()) throw Error(computer + ": its agent lists no encoder");
            c.encoder = agent->encoder(names.front());
            bind_encoder_events(f, id, c.encoder);
        }
        *c.connected = 1;

        auto& enc = *c.encoder;
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

        mark_segment(*video, *audio, c.segStart, c.segEnd, c.segLength, run_stretch(S), static_cast<int>(id));

        c.file->setText(QString::fromStdString(c.outFile));
        (*c.app)->setPlacement(800, 600);
        (*c.app)->setVisible(true);
        enc.start();
        if (f.services.sleep) f.services.sleep(500);
        set_timer_enabled(c.timer, true);
    } catch (const std::exception& e) {
        show_message(f, c.prefix + std::string(e.what()));
        c.running = kFalse;
        c.stopped = kTrue;
        finish_job(f, id);
    }
}

}  // namespace

void Start_Remote_Job(Form1& f) { start_client_job(f, SlotId::Client1); }

void Start_Remote2_Job(Form1& f) { start_client_job(f, SlotId::Client2); }

}  // namespace shardex

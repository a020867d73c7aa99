#include "jobs/segment_job.h"

#include <QComboBox>

#include "app/form1.h"
#include "jobs/job_setup.h"
#include "platform/network_paths.h"
#include "platform/paths.h"
#include "platform/remote/protocol.h"

namespace shardex {

SegmentJob set_up_segment_job(Form1& f, const std::string& computer, const std::string& outName,
                              const std::function<void(const std::shared_ptr<encoder::Encoder>&)>& bind) {
    auto& S = f.S;
    SegmentJob job;
    std::string input = f.CommonDialog1.FileName;
    if (computer.empty()) {
        if (!f.services.createEncoder) throw Error("No encoder is available on this computer");
        job.encoder = f.services.createEncoder();
    } else {
        if (!f.services.createAgent) throw Error("no agent can be reached on " + computer);
        auto agent = f.services.createAgent(computer);
        job.app = agent->createEncoderApp("WMEnc_1", remote::kEncoderAppProgId);
        const auto names = agent->encoderNames();
        if (names.empty()) throw Error(computer + ": its agent lists no encoder");
        job.encoder = agent->encoder(names.front());
        input = platform::network_source_path(S.Server_Computer, input);
    }
    if (bind) bind(job.encoder);
    auto& enc = *job.encoder;
    if (!computer.empty()) enc.reset();
    auto group = enc.sourceGroups()->add("SG_1");
    job.video = group->addSource(encoder::kSourceVideo);
    job.audio = group->addSource(encoder::kSourceAudio);
    job.video->setInput(input, "", "");
    job.audio->setInput(input, "", "");
    enc.file()->setLocalFileName(platform::shardex_folder_prefix() + outName);
    set_display_info(enc);
    if (auto profile = find_profile(enc, f.Combo_Profile->currentText().toStdString())) group->setProfile(profile);
    if (S.Two_Pass == 1) job.video->setPreProcessPass(1);
    enc.prepare(true);
    return job;
}

}  // namespace shardex

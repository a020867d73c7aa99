// The Server's job: a fresh encoder reads the chosen source directly, encodes the Server's
// segment into the Shardex folder and, with the preview on, draws its pictures into the
// video frame.
#include "jobs/local_job.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <string>

#include "app/form1.h"
#include "app/video_frame_widget.h"
#include "jobs/completion.h"
#include "jobs/job_setup.h"
#include "jobs/slots.h"
#include "platform/paths.h"

namespace shardex {

std::shared_ptr<encoder::Profile> find_profile(encoder::Encoder& enc, const std::string& name) {
    auto profiles = enc.profileCollection();
    profiles->refresh();
    const std::int32_t n = profiles->count();
    for (std::int32_t i = 0; i < n; ++i) {
        auto p = profiles->item(i);
        if (p->name() == name) return p;
    }
    return nullptr;
}

void set_display_info(encoder::Encoder& enc) {
    auto info = enc.displayInfo();
    info->setCopyright(kCopyrightText);
    info->setDescription("");
    info->setTitle("Shardex demo");
    info->setAuthor("");
}

std::int32_t segment_length(std::int32_t start, std::int32_t end) {
    const std::int64_t len = static_cast<std::int64_t>(end) - start;
    if (len < INT32_MIN || len > INT32_MAX) throw Error("Overflow");
    return static_cast<std::int32_t>(len);
}

RunStretch run_stretch(const SessionState& S) {
    RunStretch r;
    r.startMs = S.Local_SegStart;
    const std::int32_t ends[] = {S.Local_SegEnd, S.Remote_SegEnd, S.Remote2_SegEnd};
    // The first end at the split's last cut; ">=" because the slot that ends the stretch has
    // its end moved on to the source's real end once its job is set up, and the slots set up
    // after it (empty segments at the cut) must not take the tail a second time.
    r.endingSlot = static_cast<int>(
        std::find_if(std::begin(ends), std::end(ends), [&](std::int32_t e) { return e >= S.Remote2_SegEnd; }) -
        std::begin(ends));
    r.endMs = S.Mark_Out >= S.Movie_Length ? -1 : S.Remote2_SegEnd;
    return r;
}

void mark_segment(encoder::Source& video, encoder::Source& audio, std::int32_t start, std::int32_t& end,
                  std::int32_t& length, const RunStretch& stretch, int slot) {
    if ((slot == stretch.endingSlot && stretch.endMs < 0) || end > video.duration()) end = video.duration();
    for (encoder::Source* s : {&video, &audio}) {
        s->setMarkIn(start);
        s->setMarkOut(end);
        s->setStretch(stretch.startMs, stretch.endMs);
    }
    length = segment_length(start, end);
}

void Start_Local_Job(Form1& f) {
    auto& S = f.S;
    try {
        if (!f.services.createEncoder) throw Error("No encoder is available on this computer");
        auto enc = f.services.createEncoder();
        S.Local_Encoder = enc;
        bind_local_encoder_events(f, enc);

        auto group = enc->sourceGroups()->add("SG_1");
        auto video = group->addSource(encoder::kSourceVideo);
        auto audio = group->addSource(encoder::kSourceAudio);
        const std::string path = f.CommonDialog1.FileName;
        video->setInput(path, "", "");
        audio->setInput(path, "", "");

        enc->file()->setLocalFileName(platform::shardex_folder_prefix() + S.Local_OutFile);
        set_display_info(*enc);

        if (auto profile = find_profile(*enc, f.Combo_Profile->currentText().toStdString()))
            group->setProfile(profile);

        if (S.Two_Pass == 1) video->setPreProcessPass(1);

        std::shared_ptr<encoder::DataView> view;
        std::int32_t cookie = 0;
        if (S.Post_View == kTrue) {
            if (!f.services.createDataView) throw Error("No data view is available on this computer");
            view = f.services.createDataView();
            cookie = video->addDataView(view);
        }

        enc->prepare(true);

        if (S.Post_View == kTrue) {
            view->setViewProperties(cookie, f.Frame_Video->hWnd());
            view->startView(cookie);
        }

        mark_segment(*video, *audio, S.Local_SegStart, S.Local_SegEnd, S.Local_SegLength, run_stretch(S), 0);

        f.TextBox_LocalFile->setText(QString::fromStdString(S.Local_OutFile));
        enc->start();
        set_timer_enabled(f.TimerLocal, true);
    } catch (const std::exception& e) {
        show_message(f, std::string(" ") + e.what());
        S.Local_Running = kFalse;
        S.Local_Stopped = kTrue;
        Finish_Local_Job(f);
    }
}

}  // namespace shardex

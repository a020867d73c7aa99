// The summary of the chosen profile: codec, frame, frame rate, bit-rate mode and the
// mode's figures, and whether the jobs must run the video in two passes.
#include <QComboBox>
#include <QLabel>
#include <string>

#include "app/form1.h"
#include "app/formats.h"
#include "jobs/slots.h"
#include "platform/shown_text.h"
#include "profiles/profile_catalogue.h"

namespace shardex {
namespace {

// Kilobits per second as the summary writes them: whole, ungrouped, empty below 0.5.
std::string kbps(std::int32_t bitsPerSecond) { return format_number(bitsPerSecond / 1000.0, "###"); }

// The figures come from a profile file: one printable line each.
void set(QLabel* label, const std::string& text) { label->setText(QString::fromStdString(platform::printable(text))); }

}  // namespace

void Combo_Profile_Click(Form1& f) {
    auto& S = f.S;
    try {
        if (!f.services.createProfileEditor) throw Error("No profile editor is available");
        auto editor = f.services.createProfileEditor();
        if (!S.Local_Encoder) throw Error("No encoder");
        auto profiles = S.Local_Encoder->profileCollection();
        const std::int32_t n = profiles->count();
        const std::string chosen = f.Combo_Profile->currentText().toStdString();
        for (std::int32_t i = 0; i < n; ++i) {
            to_int16(i);  // the search counter is 16 bits wide
            auto profile = profiles->item(i);
            if (profile->name() == chosen) {
                editor->load(profile);
                break;
            }
        }
        auto audience = editor->audience(0);
        set(f.Label24, "Codec: " + editor->videoCodecName(audience->videoCodec(0)));
        const std::int32_t height = audience->videoHeight(0);
        const std::int32_t width = audience->videoWidth(0);
        set(f.Label25, "Frame: " + std::to_string(width) + "x" + std::to_string(height));
        set(f.Label26, "Fps: " + std::to_string(to_int32(audience->videoFps(0) / 1000.0)));

        const std::int32_t mode = editor->bitrateMode(encoder::kSourceVideo, 0);
        auto audioVideo = [&] {
            set(f.Label23, "Audio: " + kbps(audience->audioBitrate(0)) + " Kbps");
            set(f.Label22, "Video: " + kbps(audience->videoBitrate(0)) + " Kbps");
        };
        switch (mode) {
        case encoder::kModeCbr:
            S.Two_Pass = 0;
            set(f.Label20, "Constant bitrate");
            audioVideo();
            set(f.Label18,
                "Video buffer: " + std::to_string(to_int32(audience->videoBufferSize(0) / 1000.0)) + " sec");
            break;
        case encoder::kModeVbrPeak:
            S.Two_Pass = 1;
            set(f.Label20, "Variable bitrate (2-pass)");
            audioVideo();
            set(f.Label18, "Peak bitrate: " + kbps(audience->videoPeakBitrate()) + " Kbps");
            break;
        case encoder::kModeVbrQuality:
            S.Two_Pass = 0;
            set(f.Label20, "Variable bitrate (1-pass)");
            set(f.Label23, "Audio: ---");
            set(f.Label22, "Video: ---");
            set(f.Label18, "Quality: " + std::to_string(audience->videoQuality(0)));
            break;
        case encoder::kModeVbrUnconstrained:
            S.Two_Pass = 1;
            set(f.Label20, "Variable bitrate (2-pass)");
            audioVideo();
            set(f.Label18, "");
            break;
        default:
            break;
        }
    } catch (const std::exception&) {
        show_message(f, "Unexpected condition in profile processing!");
    }
}

}  // namespace shardex

// The profile list: the installed audio-and-video profiles the encoder offers, with the
// LAN default preselected; Cmd_Profile opens the list.
#include "profiles/profile_catalogue.h"

#include <QComboBox>
#include <QGroupBox>
#include <string>

#include "app/form1.h"
#include "jobs/slots.h"

namespace shardex {

namespace {
constexpr const char* kDefaultProfile = "Windows Media Video 8 for Local Area Network (768 Kbps)";
}

void Fill_Profile_List(Form1& f) {
    auto& S = f.S;
    try {
        if (!f.services.createEncoder || !f.services.createProfileEditor)
            throw Error("No encoder is available on this computer");
        S.Local_Encoder = f.services.createEncoder();
        auto editor = f.services.createProfileEditor();
        auto profiles = S.Local_Encoder->profileCollection();
        profiles->refresh();
        const std::int32_t n = profiles->count();
        std::int16_t offered = 0;
        for (std::int32_t i = 0; i < n; ++i) {
            auto profile = profiles->item(i);
            editor->load(profile);
            if (editor->contentType() != encoder::kContentAudioVideo) continue;
            const std::string name = profile->name();
            const QString entry = QString::fromStdString(name);
            if (name.find("Dial-up") == std::string::npos) {
                f.Combo_Profile->addItem(entry);
                ++offered;
            }
            if (name == kDefaultProfile) {
                const int at = f.Combo_Profile->findText(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
                if (at >= 0) f.Combo_Profile->setCurrentIndex(at);
                Combo_Profile_Click(f);
            }
        }
        f.Frame_Profile->setTitle(QStringLiteral("Profiles: ") + QString::number(offered));
    } catch (const std::exception&) {
        show_message(f, "Unable to initialize Profile(s)");
    }
}

void Cmd_Profile_Click(Form1& f) { f.Combo_Profile->showPopup(); }

}  // namespace shardex

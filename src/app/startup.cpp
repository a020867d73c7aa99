#include "app/startup.h"

#include <QLabel>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/clock_text.h"
#include "app/colors.h"
#include "app/form1.h"
#include "jobs/slots.h"
#include "meters/meters.h"
#include "network/network_list.h"
#include "platform/paths.h"
#include "profiles/profile_catalogue.h"

namespace shardex {

void Form_Load(Form1& f) {
    set_timer_enabled(f.TimerRemote, false);
    set_timer_enabled(f.TimerRemote2, false);
    set_timer_enabled(f.TimerLocal, false);
    set_timer_enabled(f.Timer_Playback, false);

    auto& S = f.S;
    S.Local_Stopped = kFalse;
    S.Remote_Stopped = kFalse;
    S.Remote2_Stopped = kFalse;
    S.Remote_Connected = 0;
    S.Remote2_Connected = 0;
    S.Post_View = kTrue;
    S.Local_Running = kFalse;
    S.Remote_Running = kFalse;
    S.Remote2_Running = kFalse;
    S.Mark_In = 0;
    S.Mark_Out = 0;
    S.Two_Pass = 0;

    Fill_Network_List(f);
    Start_Meters(f);
    Fill_Profile_List(f);
    Show_Setup_Notice(f);
}

void Show_Setup_Notice(Form1& f) {
    std::error_code ec;
    const std::string folder = platform::shardex_folder().string();
    const bool noFolder = !std::filesystem::is_directory(folder, ec);
    const std::string network = f.services.networkProblem ? f.services.networkProblem() : std::string();
    std::string text;
    if (noFolder)
        text = "There is no Shardex folder " + folder +
               " yet: encoded files are written there. Create it to encode on this computer.";
    if (!network.empty())
        text += (text.empty() ? "" : "\n") + std::string("Client computers can't be used yet: ") + network + ".";
    f.Label_Setup->setText(QString::fromStdString(text));
    f.Cmd_MakeFolder->setVisible(noFolder);
    f.Bar_Setup->setVisible(!text.empty());
}

void Open_Output_Folder(Form1& f) {
    const std::string folder = platform::shardex_folder().string();
    if (!f.services.openFolder || !f.services.openFolder(folder))
        show_message(f, "cannot open the folder " + folder + ": no file manager answered. The outputs are there.");
}

void Cmd_MakeFolder_Click(Form1& f) {
    std::error_code ec;
    const auto folder = platform::shardex_folder();
    if (!std::filesystem::create_directory(folder, ec) && ec) {
        show_message(f, "cannot create the Shardex folder " + folder.string() + ": " + ec.message());
        return;
    }
    Show_Setup_Notice(f);
}

void Reset_Status_Panels(Form1& f) {
    for (SlotId id : kAllSlots) {
        const SlotRef p = slot_of(f, id);
        p.size->setText(QStringLiteral("Size:"));
        p.media->setText(QString());
        p.rate->setText(QStringLiteral("Bit rate:"));
        p.speed->setText(QStringLiteral("Speed:"));
        p.status->setText(QStringLiteral("Status:"));
        set_back_color(p.status, kButtonFace);
        p.file->setText(QString());
        p.clock->setText(QString::fromStdString(Clock_Text(0)));
    }
}

bool Form_QueryUnload(Form1& f) {
    // Leaving ends the jobs under way and drops the outputs still on their way here: the
    // user confirms that. Nothing is lost by leaving an idle window, so it just closes.
    if (no_slot_running(f)) return true;
    return f.services.dialogs->message("Are you sure?", "Shardex Exit", platform::Buttons::OkCancel) ==
           platform::Answer::Ok;
}

void Cmd_Exit_Click(Form1& f) { f.close(); }

}  // namespace shardex

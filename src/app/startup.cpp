#include "app/startup.h"

#include <QLabel>
#include <QLineEdit>

#include "app/clock_text.h"
#include "app/colors.h"
#include "app/form1.h"
#include "jobs/slots.h"
#include "meters/meters.h"
#include "network/network_list.h"
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

void Cmd_Exit_Click(Form1& f) {
    if (f.services.dialogs->message("Are you sure?", "Shardex Exit", platform::Buttons::OkCancel) ==
        platform::Answer::Ok)
        f.close();
}

}  // namespace shardex

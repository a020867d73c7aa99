#include "app/startup.h"

#include <QLabel>
#include <QLineEdit>

#include "app/clock_text.h"
#include "app/colors.h"
#include "app/form1.h"
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
    struct Panel {
        QLabel *size, *media, *rate, *speed, *status;
        QLineEdit* file;
        QLabel* clock;
    };
    const Panel panels[] = {
        {f.Label1, f.Label2, f.Label3, f.Label8, f.Local_Status, f.TextBox_LocalFile, f.Local_Clock},
        {f.Label4, f.Label5, f.Label7, f.Label6, f.Remote_Status, f.TextBox_RemoteFile, f.Remote_Clock},
        {f.Label17, f.Label16, f.Label15, f.Label11, f.Remote2_Status, f.TextBox_Remote2File, f.Remote2_Clock},
    };
    for (const auto& p : panels) {
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

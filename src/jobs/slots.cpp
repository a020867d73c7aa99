#include "jobs/slots.h"

#include <QCheckBox>
#include <QComboBox>

namespace shardex {

SlotRef slot_of(Form1& f, SlotId id) {
    auto& S = f.S;
    switch (id) {
    case SlotId::Server:
        return {id, S.Local_Running, S.Local_Stopped, S.Local_Encoder, S.Local_SegStart, S.Local_SegEnd,
                S.Local_SegLength, S.Local_StartTicks, S.Local_OutFile, S.Local_LoadText, nullptr, nullptr, nullptr,
                f.Frame_Local, f.CheckBox_PostView, f.Cmd_Local_Encode, f.local_load, f.ProgressBar_Local,
                f.TextBox_LocalFile, f.Local_Status, f.Local_Clock, f.Label1, f.Label2, f.Label3, f.Label8, f.Label9,
                f.Label12, f.TimerLocal, " "};
    case SlotId::Client1:
        return {id, S.Remote_Running, S.Remote_Stopped, S.Remote_Encoder, S.Remote_SegStart, S.Remote_SegEnd,
                S.Remote_SegLength, S.Remote_StartTicks, S.Remote_OutFile, S.Remote_LoadText, &S.Client1_Computer,
                &S.Remote_Connected, &S.Remote_App, f.Frame_Remote, f.Combo1, f.Cmd_Remote_Encode, f.remote_load,
                f.ProgressBar_Remote, f.TextBox_RemoteFile, f.Remote_Status, f.Remote_Clock, f.Label4, f.Label5,
                f.Label7, f.Label6, f.Label10, f.Label13, f.TimerRemote, "Remote Encoder: "};
    case SlotId::Client2:
        break;
    }
    return {id, S.Remote2_Running, S.Remote2_Stopped, S.Remote2_Encoder, S.Remote2_SegStart, S.Remote2_SegEnd,
            S.Remote2_SegLength, S.Remote2_StartTicks, S.Remote2_OutFile, S.Remote2_LoadText, &S.Client2_Computer,
            &S.Remote2_Connected, &S.Remote2_App, f.Frame_Remote2, f.Combo2, f.Cmd_Remote2_Encode, f.remote2_load,
            f.ProgressBar_Remote2, f.TextBox_Remote2File, f.Remote2_Status, f.Remote2_Clock, f.Label17, f.Label16,
            f.Label15, f.Label11, f.Label14, f.Label21, f.TimerRemote2, "Remote Encoder-2: "};
}

}  // namespace shardex

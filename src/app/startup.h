// Start-up, the reset of the three slot panels, and leaving the program.
#pragma once

namespace shardex {

class Form1;

// The window's load event: timers off, flags to their start values, then the network
// list, the meters and the profile catalogue, in that order; then what is missing for a run.
void Form_Load(Form1& f);

// Shows above the window what a run would miss, and what to do about it: the Shardex folder
// (with the button that creates it) and the network's certificates. Hides the bar when
// nothing is missing.
void Show_Setup_Notice(Form1& f);

// Creates the Shardex folder, the only place the program does so: the user asked for it.
void Cmd_MakeFolder_Click(Form1& f);

// Opens the Shardex folder, where every output of a run ends up (the clients' copied
// home), in the file manager.
void Open_Output_Folder(Form1& f);

// Puts the three slot panels back to their idle texts; leaves progress bars, load boxes,
// buttons, timers and the session's fields alone.
void Reset_Status_Panels(Form1& f);

// Whether the window may close, asked whichever way it is closed (Exit, the title bar, Ctrl+Q):
// while jobs run or outputs are being copied here, "Are you sure?" decides; otherwise yes.
bool Form_QueryUnload(Form1& f);

// Closes the window, through Form_QueryUnload.
void Cmd_Exit_Click(Form1& f);

}  // namespace shardex

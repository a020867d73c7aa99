// Start-up, the reset of the three slot panels, and leaving the program.
#pragma once

namespace shardex {

class Form1;

// The window's load event: timers off, flags to their start values, then the network
// list, the meters and the profile catalogue, in that order.
void Form_Load(Form1& f);

// Puts the three slot panels back to their idle texts; leaves progress bars, load boxes,
// buttons, timers and the session's fields alone.
void Reset_Status_Panels(Form1& f);

// Asks "Are you sure?" and closes the window on OK, whatever runs.
void Cmd_Exit_Click(Form1& f);

}  // namespace shardex

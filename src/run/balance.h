// Balance: loads from each assigned computer's measured speed on this source and profile.
#pragma once

class QBoxLayout;

namespace shardex {

class Form1;

// Makes the Balance button and the line of measured speeds (cleared by the next source or
// profile) in `where`.
void add_balance_controls(Form1& f, QBoxLayout* where);

// Measures, side by side and within about 3 s, how fast the Server and each client with a
// computer encode a short stretch of the source with the chosen profile, then writes loads
// that make the segments end together into the three boxes and shows each speed. A
// computer that cannot be measured gets 0, and a message says why. The probes' outputs
// on this computer are removed.
void Cmd_Balance_Click(Form1& f);

}  // namespace shardex

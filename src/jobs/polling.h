// Progress polling: each slot's timer refreshes its panel from the encoder's statistics.
#pragma once

namespace shardex {

class Form1;
enum class SlotId;

void TimerLocal_Timer(Form1& f);
void TimerRemote_Timer(Form1& f);
void TimerRemote2_Timer(Form1& f);

// One tick of a slot's panel. When there is no encoder or a statistics call fails (a client
// that stopped answering, say), the panel keeps the figures of the last good tick. A client
// that no longer runs gets its figures, with its bar back at 0 and its status left to its
// completion.
void poll_slot(Form1& f, SlotId id);

}  // namespace shardex

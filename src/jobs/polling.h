// Progress polling: each slot's timer refreshes its panel from the encoder's statistics.
#pragma once

namespace shardex {

class Form1;

void TimerLocal_Timer(Form1& f);
void TimerRemote_Timer(Form1& f);
void TimerRemote2_Timer(Form1& f);

}  // namespace shardex

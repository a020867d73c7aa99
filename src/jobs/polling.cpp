// Placeholder bodies until this subsystem is built.
#include "jobs/polling.h"

#include <string>

namespace shardex {

void TimerLocal_Timer(Form1&) {}
void TimerRemote_Timer(Form1&) {}
void TimerRemote2_Timer(Form1&) {}

}  // namespace shardex

#include "meters/meters.h"

#include "app/form1.h"

namespace shardex {

// The meters read this computer's counters every half second once started. Until the
// counter service is in place they keep their design-time look.
void Start_Meters(Form1& f) { set_timer_enabled(f.Timer_Counters, true); }

void Update_Meters(Form1&) {}

}  // namespace shardex

// What the run control, the job set-ups, the polling and the completions share: the few facts about a slot that more than one of them reads.
#pragma once

#include <cstdint>
#include <string>

#include "app/form1.h"

namespace shardex {

// The tick count as the session stores it (a 32-bit signed number of milliseconds).
inline std::int32_t tick_now(Form1& f) {
    return f.services.tickCount ? static_cast<std::int32_t>(f.services.tickCount()) : 0;
}

// True when no slot has a job under way.
inline bool no_slot_running(const Form1& f) { return !any_slot_running(f.S); }

}  // namespace shardex

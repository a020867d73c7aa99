// What the run control, the job set-ups, the polling and the completions share: the
// application's message box, and the few facts about a slot that more than one of them reads.
#pragma once

#include <cstdint>
#include <string>

#include "app/form1.h"

namespace shardex {

// A modal message box with one OK button and the application's title.
inline void show_message(Form1& f, const std::string& text) {
    f.services.dialogs->message(text, "Shardex", platform::Buttons::Ok);
}

// The tick count as the session stores it (a 32-bit signed number of milliseconds).
inline std::int32_t tick_now(Form1& f) {
    return f.services.tickCount ? static_cast<std::int32_t>(f.services.tickCount()) : 0;
}

// True when no slot has a job under way.
inline bool no_slot_running(const Form1& f) {
    return f.S.Local_Running == kFalse && f.S.Remote_Running == kFalse && f.S.Remote2_Running == kFalse;
}

}  // namespace shardex

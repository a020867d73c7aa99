// What the desktop is told when a run ends: one notification for the whole run, built from
// the status lines the slots ended with.
#pragma once

#include <string>
#include <vector>

namespace shardex {

// How one slot of the run ended: the computer's panel ("Server: SRV") and its status line.
struct SlotEnd {
    std::string panel;
    std::string status;
};

struct RunNotice {
    std::string title;  // "Shardex: encoding finished", "... stopped" or "... failed"
    std::string text;   // one line a slot: "SRV: Success 12.3 to 1"
};

// A run with a failed slot failed, else one the user stopped stopped, else it finished.
RunNotice run_notice(const std::vector<SlotEnd>& ends);

}  // namespace shardex

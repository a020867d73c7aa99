// Time left where a user looks for it: each slot's in its progress bar, the run's progress
// and time left in the window's title, which a task bar shows.
#pragma once

#include <cstdint>
#include <string>

namespace shardex {

class Form1;
enum class SlotId;

// A polling tick of a running slot: `doneMs` of media written in `elapsedSec`; `left` is the
// slot's own time left ("" while unknown).
void Show_Time_Left(Form1& f, SlotId id, std::int64_t doneMs, double elapsedSec, const std::string& left);
// A slot's job ended: its bar loses its text; the title follows the run, and is the
// window's own again once nothing runs.
void End_Time_Left(Form1& f, SlotId id);
// A run starts: no slot of it has been polled yet.
void Plan_Time_Left(Form1& f);

}  // namespace shardex

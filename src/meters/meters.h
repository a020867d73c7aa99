// This computer's processor, disk and network meters: the "Server Hardware" frame's three
// bars and labels and the "Network" frame's traffic label, refreshed twice a second from
// the counter collection that Services hands the window.
#pragma once

#include <cstdint>

#include "app/colors.h"

class QWidget;

namespace shardex {

class Form1;

// Adds the processor, disk and network counters of Server_Computer, colours the three bars
// and switches Timer_Counters on. Called once at start-up, after the network list.
void Start_Meters(Form1& f);

// One tick of Timer_Counters: reads the counters by their positions in the collection and
// shows them. A counter that is missing or can't be read shows 0; nothing here shows a
// message or throws.
void Update_Meters(Form1& f);

// Colours a progress bar's bar (its palette's highlight).
void Set_Bar_Color(QWidget* bar, OleColor color);

// Holds `value` to low..high: above high it becomes high, then below low it becomes low.
void Clamp_Value(std::int32_t& value, std::int16_t low, std::int16_t high);

}  // namespace shardex

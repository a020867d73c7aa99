// Placeholder bodies until this subsystem is built.
#include "source/preview_player.h"

#include <string>

namespace shardex {

void Cmd_Play_Click(Form1&) {}
void Cmd_Stop_Click(Form1&) {}
void Cmd_Forward_Click(Form1&) {}
void Cmd_Backward_Click(Form1&) {}
void SeekPosition(Form1&, double) {}
void Timer_Playback_Timer(Form1&) {}
void Slider_Scroll(Form1&) {}
void CheckBox_PostView_Click(Form1&) {}

}  // namespace shardex

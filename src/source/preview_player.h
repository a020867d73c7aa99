// The preview player: play, stop, 20-second jumps, the position counter and the slider.
#pragma once

namespace shardex {

class Form1;

void Cmd_Play_Click(Form1& f);
void Cmd_Stop_Click(Form1& f);
void Cmd_Forward_Click(Form1& f);
void Cmd_Backward_Click(Form1& f);
void SeekPosition(Form1& f, double Amount);
void Timer_Playback_Timer(Form1& f);
void Slider_Scroll(Form1& f);
void CheckBox_PostView_Click(Form1& f);

}  // namespace shardex

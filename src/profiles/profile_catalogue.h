// The list of encoding profiles offered in the window, and its summary.
#pragma once

namespace shardex {

class Form1;

void Fill_Profile_List(Form1& f);
void Cmd_Profile_Click(Form1& f);
void Combo_Profile_Click(Form1& f);

}  // namespace shardex

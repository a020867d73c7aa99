// Mark-in, mark-out and clearing them.
#pragma once

namespace shardex {

class Form1;

void Cmd_MarkIn_Click(Form1& f);
void Cmd_MarkOut_Click(Form1& f);
void Cmd_Clear_Click(Form1& f);

}  // namespace shardex

// The load check, the split of the trimmed stretch into three segments, and starting and
// stopping the jobs.
#pragma once

#include <cstdint>

namespace shardex {

class Form1;

std::int16_t Check_Loads(Form1& f);
void Split_Segments(Form1& f);
void Save_Load_Texts(Form1& f);
void Cmd_Go_Click(Form1& f);
void Cmd_Local_Encode_Click(Form1& f);
void Cmd_Remote_Encode_Click(Form1& f);
void Cmd_Remote2_Encode_Click(Form1& f);
void Stop_All_Jobs(Form1& f);

}  // namespace shardex

// Placeholder bodies until this subsystem is built.
#include "run/run_control.h"

#include <string>

namespace shardex {

std::int16_t Check_Loads(Form1&) { return 0; }
void Split_Segments(Form1&) {}
void Save_Load_Texts(Form1&) {}
void Cmd_Go_Click(Form1&) {}
void Cmd_Local_Encode_Click(Form1&) {}
void Cmd_Remote_Encode_Click(Form1&) {}
void Cmd_Remote2_Encode_Click(Form1&) {}
void Stop_All_Jobs(Form1&) {}

}  // namespace shardex

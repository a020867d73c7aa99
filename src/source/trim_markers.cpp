// Placeholder bodies until this subsystem is built.
#include "source/trim_markers.h"

#include <string>

namespace shardex {

void Cmd_MarkIn_Click(Form1&) {}
void Cmd_MarkOut_Click(Form1&) {}
void Cmd_Clear_Click(Form1&) {}

}  // namespace shardex

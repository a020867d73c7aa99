// Placeholder bodies until this subsystem is built.
#include "source/source_selection.h"

#include <string>

namespace shardex {

void Cmd_File_Click(Form1&) {}
void Cmd_File2_Click(Form1&) {}
void Load_Source(Form1&, const std::string&) {}

}  // namespace shardex

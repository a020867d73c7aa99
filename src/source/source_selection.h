// Choosing the source file and measuring it.
#pragma once

#include <string>

namespace shardex {

class Form1;

void Cmd_File_Click(Form1& f);
// Makes `path` the source, as a choice in the file-open dialog does: a file dropped on the
// window and the one named on the command line go through the same checks and messages.
void Open_Source(Form1& f, const std::string& path);
void Cmd_File2_Click(Form1& f);
void Load_Source(Form1& f, const std::string& path);

}  // namespace shardex

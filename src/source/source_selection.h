// Choosing the source file and measuring it.
#pragma once

#include <string>

namespace shardex {

class Form1;

void Cmd_File_Click(Form1& f);
void Cmd_File2_Click(Form1& f);
void Load_Source(Form1& f, const std::string& path);

}  // namespace shardex

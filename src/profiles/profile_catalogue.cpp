// Placeholder bodies until this subsystem is built.
#include "profiles/profile_catalogue.h"

#include <string>

namespace shardex {

void Fill_Profile_List(Form1&) {}
void Cmd_Profile_Click(Form1&) {}
void Combo_Profile_Click(Form1&) {}

}  // namespace shardex

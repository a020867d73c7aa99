// The computers of the network, this computer's name, and which computers act as clients.
#pragma once

#include <string>

namespace shardex {

class Form1;

void Fill_Network_List(Form1& f);
std::string Get_Server_Name(Form1& f);
void Combo1_Click(Form1& f);
void Combo2_Click(Form1& f);

}  // namespace shardex

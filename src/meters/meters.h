// This computer's processor, disk and network meters.
#pragma once

namespace shardex {

class Form1;

void Start_Meters(Form1& f);
void Update_Meters(Form1& f);

}  // namespace shardex

// Setting up and starting the Server's encoder job.
#pragma once

namespace shardex {

class Form1;

void Start_Local_Job(Form1& f);

}  // namespace shardex

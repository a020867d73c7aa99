// Setting up and starting a client's encoder job.
#pragma once

namespace shardex {

class Form1;

void Start_Remote_Job(Form1& f);
void Start_Remote2_Job(Form1& f);

}  // namespace shardex

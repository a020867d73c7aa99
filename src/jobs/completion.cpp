// Placeholder bodies until this subsystem is built.
#include "jobs/completion.h"

#include <string>

namespace shardex {

void Local_Encoder_OnStateChange(Form1&, std::int32_t) {}
void Remote_Encoder_OnStateChange(Form1&, std::int32_t) {}
void Remote2_Encoder_OnStateChange(Form1&, std::int32_t) {}
void Local_Encoder_OnError(Form1&, std::int32_t) {}
void Finish_Local_Job(Form1&) {}
void Finish_Remote_Job(Form1&) {}
void Finish_Remote2_Job(Form1&) {}
void bind_local_encoder_events(Form1&, const std::shared_ptr<encoder::Encoder>&) {}
void bind_remote_encoder_events(Form1&, const std::shared_ptr<encoder::Encoder>&) {}
void bind_remote2_encoder_events(Form1&, const std::shared_ptr<encoder::Encoder>&) {}

}  // namespace shardex

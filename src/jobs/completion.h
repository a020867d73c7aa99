// The encoders' events and the end of each slot's job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/encoder/encoder.h"

namespace shardex {

class Form1;
enum class SlotId;

void Local_Encoder_OnStateChange(Form1& f, std::int32_t enumState);
void Remote_Encoder_OnStateChange(Form1& f, std::int32_t enumState);
void Remote2_Encoder_OnStateChange(Form1& f, std::int32_t enumState);
void Local_Encoder_OnError(Form1& f, std::int32_t hResult);
// The same, with the encoder's description: where the output could not be written (a full
// disk among them), the message says so under the code, naming this computer.
void Local_Encoder_OnError(Form1& f, std::int32_t hResult, const std::string& description);
// A client's encode failed or its computer was lost: the slot ends as stopped, and the
// user reads why.
void Remote_Encoder_OnError(Form1& f, std::int32_t hResult, const std::string& description);
void Remote2_Encoder_OnError(Form1& f, std::int32_t hResult, const std::string& description);
void Finish_Local_Job(Form1& f);
void Finish_Remote_Job(Form1& f);
void Finish_Remote2_Job(Form1& f);

// The end of a slot's job: the bar back to 0, the outcome in the status line, the slot's
// own load text and Encode caption back, and Go once no slot runs. The Server's preview
// player takes the picture back from the encoder's view.
void finish_job(Form1& f, SlotId id);

// Routes an encoder's events to the slot's handlers on the window's thread. Events of an
// encoder that the slot no longer holds (it was replaced) are dropped.
void bind_encoder_events(Form1& f, SlotId id, const std::shared_ptr<encoder::Encoder>& enc);
void bind_local_encoder_events(Form1& f, const std::shared_ptr<encoder::Encoder>& enc);

}  // namespace shardex

// SessionState: the one record of the window's working state. Owned by Form1 and living
// as long as it. Field names and widths are the window's vocabulary: Booleans are 16-bit
// integers holding -1 (true) or 0 (false); the connected flags and Two_Pass hold 1 or 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/encoder/encoder.h"
#include "platform/media/graph.h"

namespace shardex::platform {
class CounterCollection;
class Counter;
}  // namespace shardex::platform

namespace shardex {

using VbBool = std::int16_t;
inline constexpr VbBool kTrue = -1;
inline constexpr VbBool kFalse = 0;
inline VbBool vb_bool(bool b) { return b ? kTrue : kFalse; }

struct SessionState {
    std::shared_ptr<encoder::EncoderApp> Remote_App;
    std::shared_ptr<encoder::EncoderApp> Remote2_App;
    std::int16_t Remote_Connected = 0;
    std::int16_t Remote2_Connected = 0;
    std::int32_t Movie_Length = 0;
    std::int32_t Remote_SegLength = 0;
    std::int32_t Remote2_SegLength = 0;
    std::int32_t Local_SegLength = 0;
    std::int16_t Source_Width = 0;
    std::int16_t Source_Height = 0;
    std::string Remote_OutFile;
    std::string Remote2_OutFile;
    std::string Local_OutFile;
    std::string Client1_Computer;
    std::string Client2_Computer;
    std::string Server_Computer;
    std::int32_t Local_StartTicks = 0;
    std::int32_t Remote_StartTicks = 0;
    std::int32_t Remote2_StartTicks = 0;
    std::int32_t Local_NowTicks = 0;
    VbBool Local_Running = kFalse;
    VbBool Remote_Running = kFalse;
    VbBool Remote2_Running = kFalse;
    VbBool Post_View = kTrue;
    std::int32_t Mark_In = 0;
    std::int32_t Mark_Out = 0;
    std::int32_t Local_SegStart = 0;
    std::int32_t Local_SegEnd = 0;
    std::int32_t Remote_SegStart = 0;
    std::int32_t Remote_SegEnd = 0;
    std::int32_t Remote2_SegStart = 0;
    std::int32_t Remote2_SegEnd = 0;
    std::string Local_LoadText;
    std::string Remote_LoadText;
    std::string Remote2_LoadText;
    double Source_SizeKB = 0;
    VbBool Local_Stopped = kFalse;
    VbBool Remote_Stopped = kFalse;
    VbBool Remote2_Stopped = kFalse;
    std::shared_ptr<platform::CounterCollection> Monitor_Counters;
    std::shared_ptr<platform::Counter> Monitor_Counter;
    std::int32_t Two_Pass = 0;
    std::shared_ptr<media::BasicAudio> Media_Audio;
    std::shared_ptr<media::BasicVideo> Media_Video;
    std::shared_ptr<media::MediaEvent> Media_Events;
    std::shared_ptr<media::VideoWindow> Media_Window;
    std::shared_ptr<media::MediaPosition> Media_Position;
    std::shared_ptr<media::MediaControl> Media_Control;
    std::shared_ptr<encoder::Encoder> Local_Encoder;
    std::shared_ptr<encoder::Encoder> Remote_Encoder;
    std::shared_ptr<encoder::Encoder> Remote2_Encoder;
    // Beyond the design: the slots the Go run under way started, whose files are joined when
    // they have all ended, and those that have (bits 1 the Server, 2 Client 1, 4 Client 2;
    // jobs/join_run.h).
    std::uint8_t Join_Slots = 0;
    std::uint8_t Join_Ended = 0;
};

// Whether any of the three slots has a job under way.
inline bool any_slot_running(const SessionState& S) {
    return S.Local_Running != kFalse || S.Remote_Running != kFalse || S.Remote2_Running != kFalse;
}

}  // namespace shardex

// The three slots of a run, the Server and two clients, and the one table that binds each
// slot's fields of SessionState and its controls of Form1. The run control, the job set-ups,
// the polling, the completions and the panel layout all reach a slot through it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "app/form1.h"
#include "jobs/client_copy.h"

namespace shardex {

enum class SlotId { Server, Client1, Client2 };
inline constexpr std::array<SlotId, 3> kAllSlots{SlotId::Server, SlotId::Client1, SlotId::Client2};

// One slot's fields (references into the session) and controls. Valid as long as the window.
struct SlotRef {
    SlotId id;

    VbBool& running;
    VbBool& stopped;
    std::shared_ptr<encoder::Encoder>& encoder;
    std::int32_t& segStart;
    std::int32_t& segEnd;
    std::int32_t& segLength;
    std::int32_t& startTicks;
    std::string& outFile;
    std::string& loadText;
    // The clients' own fields; null for the Server.
    std::string* computer;
    std::int16_t* connected;
    std::shared_ptr<encoder::EncoderApp>* app;

    QGroupBox* frame;
    QWidget* chooser;  // the Preview check box, or the computer choice of a client
    QPushButton* encode;
    QLineEdit* load;
    QProgressBar* bar;
    QLineEdit* file;
    QLabel* status;
    QLabel* clock;
    QLabel* size;
    QLabel* media;
    QLabel* rate;
    QLabel* speed;
    QLabel* loadLabel;
    QLabel* timeLabel;
    QTimer* timer;

    // What the slot's messages start with.
    const char* prefix;

    bool server() const { return id == SlotId::Server; }
};

SlotRef slot_of(Form1& f, SlotId id);

// The tick count as the session stores it (a 32-bit signed number of milliseconds).
inline std::int32_t tick_now(Form1& f) {
    return f.services.tickCount ? static_cast<std::int32_t>(f.services.tickCount()) : 0;
}

// True when no slot has a job under way, nor a client's output on its way here.
inline bool no_slot_running(const Form1& f) { return !any_slot_running(f.S) && f.copies->empty(); }

}  // namespace shardex

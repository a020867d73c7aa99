// The preview player: play and stop with the counter's colours, 20-second jumps, the
// position counter and the slider that follows playback and seeks on the user's moves.
//
// The routines work only while a source is chosen. A graph that refuses a call leaves the
// player as it was: no message, and no slider arithmetic on a length that is not above 0.
#include "source/preview_player.h"

#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <QTimer>
#include <cmath>

#include "app/clock_text.h"
#include "app/colors.h"
#include "app/formats.h"
#include "source/source_state.h"

namespace shardex {

void Cmd_Play_Click(Form1& f) {
    if (!Source_Chosen(f) || !f.S.Media_Control) return;
    try {
        f.S.Media_Control->run();
    } catch (const Error&) {
        return;
    }
    set_timer_enabled(f.Timer_Playback, true);
    set_fore_color(f.Playback_Counter, kBrightGreen);
}

void Cmd_Stop_Click(Form1& f) {
    if (!Source_Chosen(f) || !f.S.Media_Control) return;
    try {
        f.S.Media_Control->stop();
    } catch (const Error&) {
        // The counter stops following a graph that no longer answers either way.
    }
    set_timer_enabled(f.Timer_Playback, false);
    set_fore_color(f.Playback_Counter, kGreen);
}

void Cmd_Forward_Click(Form1& f) {
    if (!Source_Chosen(f)) return;
    SeekPosition(f, 20.0);
    Timer_Playback_Timer(f);
}

void Cmd_Backward_Click(Form1& f) {
    if (!Source_Chosen(f)) return;
    SeekPosition(f, -20.0);
    Timer_Playback_Timer(f);
}

void SeekPosition(Form1& f, double Amount) {
    if (!Source_Chosen(f) || !f.S.Media_Position) return;
    media::MediaPosition& pos = *f.S.Media_Position;
    try {
        double p = pos.currentPosition();
        if (p + Amount < 0) {
            pos.setCurrentPosition(0);
            return;
        }
        double d = pos.duration();
        p = pos.currentPosition();
        if (p + Amount <= d) {
            pos.setCurrentPosition(pos.currentPosition() + Amount);
        } else {
            pos.setCurrentPosition(pos.duration());
        }
    } catch (const Error&) {
    }
}

void Timer_Playback_Timer(Form1& f) {
    if (!Source_Chosen(f) || !f.S.Media_Position) return;
    double p = 0, d = 0;
    try {
        p = f.S.Media_Position->currentPosition();
        d = f.S.Media_Position->duration();
    } catch (const Error&) {
        return;
    }
    f.Playback_Counter->setText(QString::fromStdString(Clock_Text(p)));
    if (!(d > 0) || !std::isfinite(p)) return;
    const std::int32_t max = f.Slider->maximum();
    try {
        f.Slider->setValue(to_int32(p / d * max));
    } catch (const Error&) {
    }
}

void Slider_Scroll(Form1& f) {
    if (!Source_Chosen(f) || !f.S.Media_Position) return;
    try {
        const double d = f.S.Media_Position->duration();
        const std::int32_t max = f.Slider->maximum();
        const std::int32_t value = f.Slider->value();
        if (max <= 0) return;
        f.S.Media_Position->setCurrentPosition(static_cast<double>(value) * d / max);
    } catch (const Error&) {
    }
}

void CheckBox_PostView_Click(Form1& f) {
    // The check box's value: 0 cleared, 1 checked, 2 neither.
    switch (f.CheckBox_PostView->checkState()) {
        case Qt::Unchecked:
            f.S.Post_View = kFalse;
            break;
        case Qt::Checked:
            f.S.Post_View = kTrue;
            break;
        default:
            break;
    }
}

}  // namespace shardex

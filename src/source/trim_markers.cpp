// Mark-in, mark-out and clearing them, with the three marker labels.
//
// The stretch from Mark_In to Mark_Out never runs backwards: a mark-out placed before the
// mark-in swaps the two, so the stretch is the one between the two places the user marked,
// and all three labels show it. A position that cannot be read changes nothing.
#include "source/trim_markers.h"

#include <QLabel>
#include <QSlider>
#include <optional>

#include "app/clock_text.h"
#include "app/colors.h"
#include "app/formats.h"
#include "source/source_state.h"

namespace shardex {
namespace {

// The preview position in milliseconds, or nothing when the graph gives none.
std::optional<std::int32_t> position_ms(Form1& f) {
    if (!f.S.Media_Position) return std::nullopt;
    try {
        return to_int32(f.S.Media_Position->currentPosition() * 1000.0);
    } catch (const Error&) {
        return std::nullopt;
    }
}

void caption(QLabel* label, const char* prefix, double seconds) {
    label->setText(QString::fromStdString(prefix + Clock_Text(seconds)));
}

void show_length(Form1& f) {
    caption(f.Label_Edit_Length, "Len: ", (static_cast<std::int64_t>(f.S.Mark_Out) - f.S.Mark_In) / 1000.0);
}

}  // namespace

void Cmd_MarkIn_Click(Form1& f) {
    if (!Source_Chosen(f)) return;
    const auto here = position_ms(f);
    if (!here) return;
    if (f.S.Mark_Out == 0) f.S.Mark_Out = f.S.Movie_Length;
    f.S.Mark_In = *here;
    caption(f.Label_MarkIn, "In: ", f.S.Mark_In / 1000.0);
    set_back_color(f.Label_MarkIn, kLightYellow);
    if (f.S.Mark_In > f.S.Mark_Out) {
        f.S.Mark_Out = f.S.Movie_Length;
        caption(f.Label_MarkOut, "Out: ", f.S.Mark_Out / 1000.0);
    }
    show_length(f);
    set_back_color(f.Label_Edit_Length, kLightYellow);
}

void Cmd_MarkOut_Click(Form1& f) {
    if (f.S.Mark_In == 0) return;
    const auto here = position_ms(f);
    if (!here) return;
    if (*here < f.S.Mark_In) {
        f.S.Mark_Out = f.S.Mark_In;
        f.S.Mark_In = *here;
        caption(f.Label_MarkIn, "In: ", f.S.Mark_In / 1000.0);
    } else {
        f.S.Mark_Out = *here;
    }
    caption(f.Label_MarkOut, "Out: ", f.S.Mark_Out / 1000.0);
    set_back_color(f.Label_MarkOut, kLightYellow);
    show_length(f);
}

void Cmd_Clear_Click(Form1& f) {
    if (!Source_Chosen(f)) return;
    f.S.Mark_In = 0;
    f.S.Mark_Out = 0;
    if (f.S.Media_Position) {
        try {
            f.S.Media_Position->setCurrentPosition(0);
        } catch (const Error&) {
        }
    }
    f.Slider->setValue(0);
    caption(f.Label_MarkIn, "In: ", 0);
    caption(f.Label_MarkOut, "Out: ", f.S.Movie_Length / 1000.0);
    caption(f.Label_Edit_Length, "Len: ", f.S.Movie_Length / 1000.0);
    for (QLabel* l : {f.Label_MarkIn, f.Label_MarkOut, f.Label_Edit_Length}) set_back_color(l, kButtonFace);
    f.Playback_Counter->setText(QStringLiteral("0:00:00"));
    set_back_color(f.Playback_Counter, kBlack);
    set_fore_color(f.Playback_Counter, kBrightGreen);
}

}  // namespace shardex

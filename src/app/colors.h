// Colours as the window's routines write them: 32-bit values laid out 0x00BBGGRR; a value
// with the top bit set names a system colour (only the button face is used).
#pragma once

#include <cstdint>

class QWidget;
class QColor;

namespace shardex {

using OleColor = std::uint32_t;

inline constexpr OleColor kButtonFace = 0x8000000F;
inline constexpr OleColor kBlack = 0x000000;
inline constexpr OleColor kBrightGreen = 0x00FF00;
inline constexpr OleColor kGreen = 0x00C000;
inline constexpr OleColor kLightYellow = 0xC0FFFF;

QColor to_qcolor(OleColor c);

// Background and text colour of a label, text box or other widget. The value set is kept
// in the widget's "backColor" / "foreColor" properties as well, so that it can be read back.
void set_back_color(QWidget* w, OleColor c);
void set_fore_color(QWidget* w, OleColor c);
OleColor back_color(const QWidget* w);
OleColor fore_color(const QWidget* w);

}  // namespace shardex

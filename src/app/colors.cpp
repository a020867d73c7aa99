#include "app/colors.h"

#include <QApplication>
#include <QColor>
#include <QPalette>
#include <QVariant>
#include <QWidget>

namespace shardex {

QColor to_qcolor(OleColor c) {
    if (c & 0x80000000u) return QApplication::palette().color(QPalette::Button);
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

void set_back_color(QWidget* w, OleColor c) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, to_qcolor(c));
    p.setColor(QPalette::Base, to_qcolor(c));
    w->setPalette(p);
    w->setAutoFillBackground(true);
    w->setProperty("backColor", QVariant::fromValue<uint>(c));
}

void set_fore_color(QWidget* w, OleColor c) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, to_qcolor(c));
    p.setColor(QPalette::Text, to_qcolor(c));
    w->setPalette(p);
    w->setProperty("foreColor", QVariant::fromValue<uint>(c));
}

OleColor back_color(const QWidget* w) {
    auto v = w->property("backColor");
    return v.isValid() ? v.toUInt() : kButtonFace;
}

OleColor fore_color(const QWidget* w) {
    auto v = w->property("foreColor");
    return v.isValid() ? v.toUInt() : kBlack;
}

}  // namespace shardex

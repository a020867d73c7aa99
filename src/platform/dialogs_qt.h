// The dialogs on Qt: QMessageBox without an icon, QFileDialog.
#pragma once

#include <memory>

#include "platform/dialogs.h"

class QWidget;

namespace shardex::platform {

std::unique_ptr<Dialogs> create_qt_dialogs(QWidget* parent);

// Turns a filter written "Description|*.a;*.b|Other|*.c" into Qt's "Description (*.a *.b);;Other (*.c)".
std::string qt_filter(const std::string& filter);

}  // namespace shardex::platform

#include "platform/dialogs_qt.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QString>

#include "platform/shown_text.h"

namespace shardex::platform {
namespace {

class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(QWidget* parent) : parent_(parent) {}

    // A message often quotes another computer or a file (an agent's error, a source's name):
    // it is shown as plain text, never as HTML whose link would open with a click, and cut
    // to a length a screen holds.
    Answer message(const std::string& text, const std::string& title, Buttons buttons) override {
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(readable(text)),
                        buttons == Buttons::Ok ? QMessageBox::Ok : (QMessageBox::Ok | QMessageBox::Cancel),
                        parent_);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::Ok);
        return box.exec() == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
    }

    std::string openFile(const std::string& title, const std::string& filter) override {
        return openFileIn(title, filter, {});
    }

    std::string openFileIn(const std::string& title, const std::string& filter, const std::string& folder) override {
        return QFileDialog::getOpenFileName(parent_, QString::fromStdString(title), QString::fromStdString(folder),
                                            QString::fromStdString(qt_filter(filter)))
            .toStdString();
    }

private:
    QWidget* parent_;
};

}  // namespace

std::string qt_filter(const std::string& filter) {
    std::string out;
    std::size_t pos = 0;
    while (pos < filter.size()) {
        auto bar = filter.find('|', pos);
        if (bar == std::string::npos) break;
        auto next = filter.find('|', bar + 1);
        std::string desc = filter.substr(pos, bar - pos);
        std::string pats = filter.substr(bar + 1, next == std::string::npos ? std::string::npos : next - bar - 1);
        for (auto& c : pats)
            if (c == ';') c = ' ';
        if (!out.empty()) out += ";;";
        out += desc + " (" + pats + ")";
        pos = next == std::string::npos ? filter.size() : next + 1;
    }
    return out;
}

std::unique_ptr<Dialogs> create_qt_dialogs(QWidget* parent) { return std::make_unique<QtDialogs>(parent); }

}  // namespace shardex::platform

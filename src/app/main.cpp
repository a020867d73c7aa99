// The Shardex program: the main window on the real platform services.
//
// For screenshots and demonstrations the program also takes a few developer options:
//   --source PATH       choose PATH as the source right after start-up
//   --go                press Go once the source is loaded
//   --screenshot FILE   save the window as a PNG after --delay milliseconds, then quit
//   --delay MS          (default 2000)
#include <QApplication>
#include <QCommandLineParser>
#include <QLocale>
#include <QTimer>
#include <clocale>
#include <memory>
#include <utility>

#include "app/form1.h"
#include "app/formats.h"
#include "platform/dialogs.h"
#include "run/run_control.h"
#include "source/source_selection.h"

namespace {

// Answers the file-open dialog once with a given path; everything else goes to Qt's dialogs.
class PresetOpenDialogs final : public shardex::platform::Dialogs {
public:
    PresetOpenDialogs(std::shared_ptr<shardex::platform::Dialogs> real, std::string path)
        : real_(std::move(real)), path_(std::move(path)) {}
    shardex::platform::Answer message(const std::string& text, const std::string& title,
                                      shardex::platform::Buttons buttons) override {
        return real_->message(text, title, buttons);
    }
    std::string openFile(const std::string& title, const std::string& filter) override {
        if (!path_.empty()) return std::exchange(path_, std::string());
        return real_->openFile(title, filter);
    }

private:
    std::shared_ptr<shardex::platform::Dialogs> real_;
    std::string path_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Shardex"));
    // The preview player's library reads numbers in the C locale.
    std::setlocale(LC_NUMERIC, "C");
    QLocale locale;
    shardex::set_number_separators({locale.decimalPoint().toStdString(), locale.groupSeparator().toStdString()});

    QCommandLineParser args;
    QCommandLineOption sourceOpt("source", "Source file to load at start.", "path");
    QCommandLineOption goOpt("go", "Press Go after loading the source.");
    QCommandLineOption shotOpt("screenshot", "Save the window to this PNG file and quit.", "file");
    QCommandLineOption delayOpt("delay", "Milliseconds before the screenshot.", "ms", "2000");
    args.addOptions({sourceOpt, goOpt, shotOpt, delayOpt});
    args.addHelpOption();
    args.process(app);

    shardex::Form1 form(shardex::default_services());
    if (args.isSet(sourceOpt))
        form.services.dialogs =
            std::make_shared<PresetOpenDialogs>(form.services.dialogs, args.value(sourceOpt).toStdString());
    form.show();
    form.load();

    if (args.isSet(sourceOpt)) {
        QTimer::singleShot(0, &form, [&] {
            shardex::Cmd_File_Click(form);
            if (args.isSet(goOpt)) QTimer::singleShot(500, &form, [&] { shardex::Cmd_Go_Click(form); });
        });
    }
    if (args.isSet(shotOpt)) {
        QTimer::singleShot(args.value(delayOpt).toInt(), &form, [&] {
            form.grab().save(args.value(shotOpt));
            QApplication::exit(0);
        });
    }
    return app.exec();
}

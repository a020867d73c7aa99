// The Shardex program: the main window on the real platform services.
//
// For screenshots and demonstrations the program also takes a few developer options:
//   --source PATH       choose PATH as the source right after start-up
//   --go                press Go once the source is loaded
//   --screenshot FILE   save the window as a PNG after --delay milliseconds, then quit
//   --delay MS          (default 2000)
// and where to find the network:
//   --peer NAME=HOST:PORT   reach the computer NAME there (repeatable; also the peers file)
//   --network-dir DIR       the network's certificates (default ~/.config/shardex/network)
//   --share-listen HOST:PORT  where the share of the source listens (default every address, 47811)
#include <QApplication>
#include <QCommandLineParser>
#include <QLocale>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <clocale>
#include <memory>
#include <utility>

#include "app/form1.h"
#include "platform/remote/channel.h"
#include "platform/remote/listen_guard.h"
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
    // Before any other gRPC object: its settings are read once, at its start.
    shardex::remote::quiet_grpc_log();
    // The share of the source listens on the LAN: more open files for it, and the caps that
    // keep its listener serving.
    shardex::remote::guard_listeners();
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
    QCommandLineOption peerOpt("peer", "Reach computer NAME at HOST:PORT (repeatable).", "NAME=HOST:PORT");
    QCommandLineOption networkOpt("network-dir", "Folder of the network's certificates.", "dir");
    QCommandLineOption shareOpt("share-listen", "Where the share of the source listens.", "HOST:PORT");
    args.addOptions({sourceOpt, goOpt, shotOpt, delayOpt, peerOpt, networkOpt, shareOpt});
    args.addHelpOption();
    args.process(app);

    shardex::NetworkSettings network;
    for (const auto& p : args.values(peerOpt)) network.peers.push_back(p.toStdString());
    network.networkFolder = args.value(networkOpt).toStdString();
    network.shareListen = args.value(shareOpt).toStdString();
    shardex::Form1 form(shardex::default_services(network));
    if (args.isSet(sourceOpt))
        form.services.dialogs =
            std::make_shared<PresetOpenDialogs>(form.services.dialogs, args.value(sourceOpt).toStdString());
    // The window comes back where and as large as it was left; Qt moves and shrinks it onto the
    // screen if the screens changed since. Only the real program does this, so that tests never
    // depend on a previous run's window.
    QSettings settings(QStringLiteral("Shardex"), QStringLiteral("Shardex"));
    const QByteArray geometry = settings.value(QStringLiteral("window/geometry")).toByteArray();
    if (geometry.isEmpty() || !form.restoreGeometry(geometry)) {
        // First run: the window's own size, within the free part of the screen (less a title
        // bar); the window manager places it.
        if (const QScreen* screen = form.screen()) {
            const QSize free = screen->availableGeometry().size() - QSize(0, 32);
            form.resize(form.sizeHint().boundedTo(free).expandedTo(form.minimumSizeHint()));
        }
    }
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &form,
                     [&] { settings.setValue(QStringLiteral("window/geometry"), form.saveGeometry()); });
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

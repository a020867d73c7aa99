// The Shardex program: the main window on the real platform services.
//
// shardex [FILE] loads FILE as the source at start, as the desktop's "Open with" does. Its
// options (shardex --help lists them): where to find the network (--peer, --network-dir,
// --share-listen), and, for screenshots and demonstrations, --source, --go, --screenshot
// and --delay. --help and --version answer without a display.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLocale>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "app/form1.h"
#include "platform/remote/channel.h"
#include "platform/remote/listen_guard.h"
#include "app/formats.h"
#include "platform/dialogs.h"
#include "run/balance.h"
#include "run/run_control.h"
#include "shardex/version.h"
#include "source/source_selection.h"
#include "platform/utf8_locale.h"

namespace {

const char* const kDescription =
    "Shardex encodes one video into Windows Media files (WMV video, WMA audio) on this computer and\n"
    "up to two client computers at once, each encoding one time segment of it.\n"
    "Output files go to the Shardex folder, ~/Shardex/ (make it once: mkdir ~/Shardex).\n"
    "Client computers run shardex-agent; they are found on the LAN with DNS-SD, or listed with\n"
    "--peer or in ~/.config/shardex/peers, one NAME=HOST:PORT a line. The network's certificates\n"
    "(made by shardex-agent --init) are read from ~/.config/shardex/network.";

// The program's command line; --help prints it all.
struct CommandLine {
    QCommandLineParser parser;
    QCommandLineOption source{"source", "Load this video as the source at start (as FILE does).", "path"};
    QCommandLineOption go{"go", "Press Go once the source is loaded."};
    QCommandLineOption balance{"balance", "Press Balance once the source is loaded (before Go, with --go)."};
    QCommandLineOption shot{"screenshot", "Save a picture of the window to this PNG file, then quit.", "file"};
    QCommandLineOption delay{"delay", "Milliseconds from start to the --screenshot (default 2000).", "ms", "2000"};
    QCommandLineOption peer{"peer",
                            "Reach the computer NAME at HOST:PORT (repeatable; besides the peers file).",
                            "NAME=HOST:PORT"};
    QCommandLineOption network{"network-dir",
                               "Folder of the network's certificates (default ~/.config/shardex/network).", "dir"};
    QCommandLineOption share{"share-listen",
                             "Where the share of the source listens for the clients (default every address, "
                             "port 47811).",
                             "HOST:PORT"};

    CommandLine() {
        parser.setApplicationDescription(QString::fromLatin1(kDescription));
        parser.addOptions({source, go, balance, shot, delay, peer, network, share});
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The video to load at start."),
                                     QStringLiteral("[FILE]"));
        parser.addHelpOption();
        parser.addVersionOption();
    }
};

// --help and --version print and end the program before the window's QApplication, which
// needs a display, is made.
void answer_without_display(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        for (const char* option : {"-h", "-?", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], option) != 0) continue;
            QCoreApplication core(argc, argv);
            QCoreApplication::setApplicationName(QStringLiteral("Shardex"));
            QCoreApplication::setApplicationVersion(QString::fromLatin1(shardex::kVersion));
            CommandLine command;
            command.parser.process(core);  // prints, then ends the program
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    shardex::platform::prefer_utf8_locale();
    answer_without_display(argc, argv);
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

    QApplication::setApplicationVersion(QString::fromLatin1(shardex::kVersion));
    CommandLine command;
    const QCommandLineParser& args = command.parser;
    command.parser.process(app);
    const QStringList files = args.positionalArguments();
    if (files.size() > 1 || (!files.isEmpty() && args.isSet(command.source))) {
        std::fprintf(stderr, "shardex: give one video to load, as FILE or with --source, not %d\n",
                     static_cast<int>(files.size() + (args.isSet(command.source) ? 1 : 0)));
        return 2;
    }
    const QString sourceFile = files.isEmpty() ? args.value(command.source) : files.first();
    bool delayIsNumber = false;
    const int delayMs = args.value(command.delay).toInt(&delayIsNumber);
    if (!delayIsNumber || delayMs < 0) {
        std::fprintf(stderr, "shardex: --delay wants a whole number of milliseconds, not '%s'\n",
                     qPrintable(args.value(command.delay)));
        return 2;
    }

    shardex::NetworkSettings network;
    for (const auto& p : args.values(command.peer)) network.peers.push_back(p.toStdString());
    network.networkFolder = args.value(command.network).toStdString();
    network.shareListen = args.value(command.share).toStdString();
    shardex::Form1 form(shardex::default_services(network));
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

    if (!sourceFile.isEmpty()) {
        QTimer::singleShot(0, &form, [&] {
            // The same checks and messages as a choice in the file-open dialog.
            shardex::Open_Source(form, sourceFile.toStdString());
            if (!args.isSet(command.go) && !args.isSet(command.balance)) return;
            QTimer::singleShot(500, &form, [&] {
                if (args.isSet(command.balance)) shardex::Cmd_Balance_Click(form);
                if (args.isSet(command.go)) shardex::Cmd_Go_Click(form);
            });
        });
    }
    if (args.isSet(command.shot)) {
        QTimer::singleShot(delayMs, &form, [&] {
            form.grab().save(args.value(command.shot));
            QApplication::exit(0);
        });
    }
    return app.exec();
}

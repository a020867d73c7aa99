#include "about/desktop.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

#include "about/help.h"

namespace shardex::desktop {

std::string find_program(const std::string& name) {
    return QStandardPaths::findExecutable(QString::fromStdString(name)).toStdString();
}

bool start_detached(const std::string& program) {
    return QProcess::startDetached(QString::fromStdString(program), QStringList());
}

bool open_in_browser(const std::string& file) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(file)));
}

bool open_folder(const std::string& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

void notify(const std::string& title, const std::string& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    // Application, no notification to replace, icon, summary, body, no actions, no hints, the
    // server's own display time. The body is plain text: no markup from a file name is read.
    QString body = QString::fromStdString(text).toHtmlEscaped();
    call << QStringLiteral("Shardex") << 0u << QStringLiteral("video-x-generic") << QString::fromStdString(title)
         << body << QStringList() << QVariantMap() << -1;
    bus.send(call);  // no answer is awaited
}

std::vector<std::string> help_locations_of_this_program() {
    return help_locations(QCoreApplication::applicationDirPath().toStdString());
}

}  // namespace shardex::desktop

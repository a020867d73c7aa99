#include "about/desktop.h"

#include <QCoreApplication>
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

std::vector<std::string> help_locations_of_this_program() {
    return help_locations(QCoreApplication::applicationDirPath().toStdString());
}

}  // namespace shardex::desktop

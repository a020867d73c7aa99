#include "about/about_box.h"

#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/form1.h"
#include "jobs/job_setup.h"
#include "shardex/version.h"

namespace shardex {
namespace {

QLabel* label(QWidget* parent, const char* name, const QString& caption) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setTextFormat(Qt::PlainText);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setMinimumWidth(110);
    return b;
}

// The maker's notice: who makes Shardex, where to find them (the same address every output
// file carries as its Copyright), and that this is a beta without warranty.
QString disclaimer() {
    return QStringLiteral(
               "Copyright \u00A9 2026 %1, %2.\n"
               "This is a beta release. Shardex is provided as is, without warranty of any kind; "
               "check the output files before you rely on them.")
        .arg(QString::fromLatin1(kMakerName), QString::fromLatin1(kCopyrightText));
}

}  // namespace

const std::vector<std::string>& system_info_programs() {
    static const std::vector<std::string> names = {"msinfo32", "hardinfo2", "hardinfo", "kinfocenter", "cpu-x"};
    return names;
}

std::string version_text() {
    return std::string("Version ") + kVersion;
}

AboutBox::AboutBox(Form1& owner) : QDialog(nullptr), owner_(owner) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About MyApp"));
    setModal(false);
    // Leaving the main window ends the program even while this box is open.
    setAttribute(Qt::WA_QuitOnClose, false);
    const QIcon icon(QStringLiteral(":/shardex/shardex.png"));
    setWindowIcon(icon);

    picIcon = label(this, "picIcon", QString());
    picIcon->setPixmap(icon.pixmap(64, 64));
    picIcon->setFixedSize(72, 72);
    picIcon->setAlignment(Qt::AlignCenter);
    lblTitle = label(this, "lblTitle", QStringLiteral("product name"));
    QFont titleFont = lblTitle->font();
    titleFont.setPointSize(titleFont.pointSize() + 8);
    titleFont.setBold(true);
    lblTitle->setFont(titleFont);
    lblVersion = label(this, "lblVersion", QStringLiteral("Version: BETA 0.9"));
    lblDescription = label(this, "lblDescription",
                           QStringLiteral("Shardex is a software solution that speeds up video compression by dividing "
                                          "and distributing the encoding task among multiple networked computers."));
    lblDescription->setWordWrap(true);
    lblDisclaimer = label(this, "lblDisclaimer", disclaimer());
    lblDisclaimer->setWordWrap(true);
    QFont small = lblDisclaimer->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    lblDisclaimer->setFont(small);
    cmdOK = button(this, "cmdOK", QStringLiteral("OK"));
    cmdOK->setDefault(true);
    cmdSysInfo = button(this, "cmdSysInfo", QStringLiteral("&System Info..."));
    cmdSysInfo->setAutoDefault(false);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    auto* g = new QGridLayout(this);
    g->setHorizontalSpacing(16);
    g->addWidget(picIcon, 0, 0, 3, 1, Qt::AlignTop);
    g->addWidget(lblTitle, 0, 1, 1, 2);
    g->addWidget(lblVersion, 1, 1, 1, 2);
    g->addWidget(lblDescription, 2, 1, 1, 2);
    g->addWidget(line, 3, 0, 1, 3);
    g->addWidget(lblDisclaimer, 4, 0, 2, 2);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdSysInfo);
    buttons->addStretch();
    g->addLayout(buttons, 4, 2, 2, 1);
    g->setColumnStretch(1, 1);
    g->setRowMinimumHeight(2, 48);
    setMinimumWidth(520);

    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(owner_); });
    connect(cmdSysInfo, &QPushButton::clicked, this, [this] { StartSysInfo(owner_); });
}

void AboutBox::load() {
    setWindowTitle(QStringLiteral("About ") + QString::fromLatin1(kAppTitle));
    lblVersion->setText(QString::fromStdString(version_text()));
    lblTitle->setText(QString::fromLatin1(kAppTitle));
}

void Cmd_About_Click(Form1& f) {
    if (!f.frmAbout) {
        f.frmAbout = std::make_unique<AboutBox>(f);
        f.frmAbout->load();
    }
    f.frmAbout->show();
    f.frmAbout->raise();
    f.frmAbout->activateWindow();
}

void cmdOK_Click(Form1& f) {
    if (f.frmAbout) f.frmAbout->close();
}

void StartSysInfo(Form1& f) {
    // The first program found is the one started; one that is found but cannot be started
    // is reported like none, as a failure to start the registered tool would be.
    if (f.services.findProgram && f.services.startProgram) {
        for (const auto& name : system_info_programs()) {
            const std::string path = f.services.findProgram(name);
            if (path.empty()) continue;
            if (f.services.startProgram(path)) return;
            break;
        }
    }
    show_message(f, kSysInfoUnavailable);
}

}  // namespace shardex

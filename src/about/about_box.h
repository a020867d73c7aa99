// The About box frmAbout: the product's icon, title, version, description and the maker's
// notice, and a button that starts the system-information program of this computer. It is
// a window of its own (no owner, not modal), so the main window stays usable beside it.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

namespace shardex {

class Form1;

// The application's identity as the About box shows it.
inline constexpr const char* kAppTitle = "Shardex";
inline constexpr const char* kMakerName = "Larkspur Works";

// The message shown when no system-information program can be started.
inline constexpr const char* kSysInfoUnavailable = "System Information Is Unavailable At This Time";

// The system-information programs looked for on the PATH, the first found being started:
// Windows' own, then the desktop system profilers of Linux (GTK, then KDE, then CPU-X).
const std::vector<std::string>& system_info_programs();

class AboutBox : public QDialog {
public:
    explicit AboutBox(Form1& owner);

    // The box's load event: caption, version and title from the application's identity.
    void load();

    QLabel* picIcon;
    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblDescription;
    QLabel* lblDisclaimer;
    QPushButton* cmdOK;
    QPushButton* cmdSysInfo;

private:
    Form1& owner_;
};

// "Version 0.9.0": the version of this build, each number in plain decimal.
std::string version_text();

// Cmd_About: makes the About box the first time, then shows it (again) and brings it to the front.
void Cmd_About_Click(Form1& f);
// cmdOK: closes the About box; the next Cmd_About shows it again.
void cmdOK_Click(Form1& f);
// Starts the first system-information program found, detached from Shardex; when there is
// none, or it cannot be started, shows kSysInfoUnavailable.
void StartSysInfo(Form1& f);

}  // namespace shardex

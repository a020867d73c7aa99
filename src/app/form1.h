// Form1: the one main window. It owns the controls (each QObject's objectName is the
// control's name), the five timers, the file-open dialog's settings, the SessionState
// record and the platform services. The routines that drive it live in the subsystem
// folders as free functions taking the window.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/services.h"
#include "app/session_state.h"
#include "platform/encoder/encoder.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;

namespace shardex {

class AboutBox;
class ClientCopies;
class VideoFrameWidget;

// The file-open dialog's settings and results, as the routines read them: FileName is the
// full path of the chosen source ("" until the first choice), FileTitle the name without folder.
struct FileOpenDialog {
    std::string DialogTitle = "Select Source AVI File";
    std::string Filter = "AVI Files|*.avi";
    std::string FileName;
    std::string FileTitle;
};

class Form1 : public QWidget {
public:
    explicit Form1(Services services, QWidget* parent = nullptr);
    ~Form1() override;

    // Runs the start-up sequence (the window's load event).
    void load();

    // Runs `fn` later on the window's thread; dropped if the window is gone by then.
    void post(std::function<void()> fn);
    // An executor for platform services that report from their own threads.
    encoder::Executor uiExecutor();

    SessionState S;
    Services services;
    FileOpenDialog CommonDialog1;

    // Source group
    QGroupBox* Frame2;
    QPushButton* Cmd_File;
    QLineEdit* TextBox_File;
    QLabel* Label_SourceSize;
    QLabel* Label_Dimension;
    QLabel* Label_Length;
    QLabel* Label19;

    // Profile group
    QGroupBox* Frame_Profile;
    QComboBox* Combo_Profile;
    QLabel* Label24;
    QLabel* Label25;
    QLabel* Label26;
    QLabel* Label18;
    QLabel* Label20;
    QLabel* Label23;
    QLabel* Label22;

    // Free-standing buttons
    QPushButton* Cmd_Profile;
    QPushButton* Cmd_File2;
    QPushButton* Cmd_Go;
    QPushButton* Cmd_Help;
    QPushButton* Cmd_About;
    QPushButton* Cmd_Exit;

    // Preview group
    VideoFrameWidget* Frame_Video;
    QSlider* Slider;
    QLabel* Playback_Counter;
    QPushButton* Cmd_Play;
    QPushButton* Cmd_Stop;
    QPushButton* Cmd_Backward;
    QPushButton* Cmd_Forward;

    // Trim group
    QPushButton* Cmd_MarkIn;
    QPushButton* Cmd_MarkOut;
    QPushButton* Cmd_Clear;
    QLabel* Label_MarkIn;
    QLabel* Label_MarkOut;
    QLabel* Label_Edit_Length;
    QLabel* Label_Trim;

    // Server panel
    QGroupBox* Frame_Local;
    QPushButton* Cmd_Local_Encode;
    QCheckBox* CheckBox_PostView;
    QCheckBox* CheckBox_Join;  // beyond the design: join the run's files when it ends
    QLineEdit* local_load;
    QProgressBar* ProgressBar_Local;
    QLineEdit* TextBox_LocalFile;
    QLabel* Local_Status;
    QLabel* Local_Clock;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label9;
    QLabel* Label8;
    QLabel* Label12;

    // Client 1 panel
    QGroupBox* Frame_Remote;
    QComboBox* Combo1;
    QPushButton* Cmd_Remote_Encode;
    QLineEdit* remote_load;
    QProgressBar* ProgressBar_Remote;
    QLineEdit* TextBox_RemoteFile;
    QLabel* Remote_Status;
    QLabel* Remote_Clock;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label7;
    QLabel* Label10;
    QLabel* Label6;
    QLabel* Label13;

    // Client 2 panel
    QGroupBox* Frame_Remote2;
    QComboBox* Combo2;
    QPushButton* Cmd_Remote2_Encode;
    QLineEdit* remote2_load;
    QProgressBar* ProgressBar_Remote2;
    QLineEdit* TextBox_Remote2File;
    QLabel* Remote2_Status;
    QLabel* Remote2_Clock;
    QLabel* Label17;
    QLabel* Label16;
    QLabel* Label15;
    QLabel* Label14;
    QLabel* Label11;
    QLabel* Label21;

    // Server hardware group
    QGroupBox* Frame_CPU_Disk;
    QProgressBar* Local_CPU_Meter;
    QProgressBar* Local_Disk_Meter;
    QProgressBar* Local_Net_Meter;
    QLabel* Label_CPU;
    QLabel* Label_Disk;
    QLabel* Label_Network;

    // Network group
    QGroupBox* Frame_Network;
    QListWidget* ListBox_NetComputers;
    QLabel* Label_Network_Traffic;

    // Timers
    QTimer* Timer_Counters;
    QTimer* TimerLocal;
    QTimer* TimerRemote;
    QTimer* TimerRemote2;
    QTimer* Timer_Playback;

    // The About box, made by the first Cmd_About click and kept until the window goes.
    std::unique_ptr<AboutBox> frmAbout;

    // The clients' outputs on their way here; ended with the window.
    std::unique_ptr<ClientCopies> copies;

    // Messages asked for while a message box is open wait for it to close, in order, so
    // that no message box opens inside another's loop.
    bool messageOpen = false;
    std::vector<std::string> messagesWaiting;

private:
    void buildControls();
    void setTabOrders();
    void connectEvents();
};

// A modal message box with one OK button, no icon and the application's title "Shardex".
void show_message(Form1& f, const std::string& text);

// Switches a timer on or off, keeping its interval.
void set_timer_enabled(QTimer* timer, bool enabled);
bool timer_enabled(const QTimer* timer);

}  // namespace shardex

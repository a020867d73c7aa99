// The window's control catalogue, its start-up state, the panel reset and leaving.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QTextDocument>
#include <QTimer>
#include <memory>

#include "app/colors.h"
#include "app/form1.h"
#include "app/startup.h"
#include "app/video_frame_widget.h"
#include "jobs/client_copy.h"
#include "network/network_list.h"
#include "platform/dialogs_qt.h"
#include "support/fake_dialogs.h"

using namespace shardex;
using shardex::testing::FakeDialogs;

namespace {

struct Window {
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::unique_ptr<Form1> form;

    explicit Window(std::vector<std::string> computers = {"THISPC"}, std::string self = "THISPC") {
        Services s;
        s.dialogs = dialogs;
        s.computerName = [self] { return self; };
        s.browseComputers = [computers] { return computers; };
        s.createEncoder = []() -> std::shared_ptr<encoder::Encoder> { throw Error("no encoder in this test"); };
        form = std::make_unique<Form1>(std::move(s));
    }
    template <typename T>
    T* find(const char* name) {
        return form->findChild<T*>(QString::fromLatin1(name));
    }
};

// Text a control shows: caption of a label, button or frame, or text of a text box.
QString caption_of(QObject* o) {
    if (auto* l = qobject_cast<QLabel*>(o)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(o)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(o)) return g->title();
    if (auto* e = qobject_cast<QLineEdit*>(o)) return e->text();
    return {};
}

}  // namespace

TEST(Form1Catalogue, EveryControlIsFoundByNameWithItsCaptionAndTooltip) {
    Window w;
    struct Row {
        const char* name;
        const char* caption;
        const char* tooltip;
    };
    const Row rows[] = {
        {"Frame2", "Source: ", ""},
        {"Cmd_File", "...", "Select a source vide"},
        {"TextBox_File", "", ""},
        {"Label_SourceSize", "Disk Size:", ""},
        {"Label_Dimension", "Frame:", ""},
        {"Label_Length", "Movie Length:", ""},
        {"Label19", "Bit rate: ", ""},
        {"Frame_Profile", "Profiles: ", ""},
        {"Label24", "Codec:", ""},
        {"Label25", "Frame:", ""},
        {"Label26", "Fps:", ""},
        {"Label18", "Bit rate:", ""},
        {"Label20", "Constant or Variable", ""},
        {"Label23", "Audio:", ""},
        {"Label22", "Video:", ""},
        {"Cmd_Profile", "Profile", "Choose encoding profile"},
        {"Cmd_File2", "Source", "Select a video file"},
        {"Cmd_Go", "Go", "Start network encoding"},
        {"Cmd_Help", "Help", ""},
        {"Cmd_About", "About", ""},
        {"Cmd_Exit", "Exit", ""},
        {"Playback_Counter", "0:00:00", ""},
        {"Cmd_Play", ">", "Play selected video"},
        {"Cmd_Stop", "\u25A0", "Stop video playback"},
        {"Cmd_Backward", "<<", "Rewind 20 sec"},
        {"Cmd_Forward", ">>", "Forward 20 sec"},
        {"Cmd_MarkIn", "In", "Mark In"},
        {"Cmd_MarkOut", "Out", "Mark Out"},
        {"Cmd_Clear", ".", "Clear markers"},
        {"Label_MarkIn", "In: 0:00:00", ""},
        {"Label_MarkOut", "Out: 0:00:00", ""},
        {"Label_Edit_Length", "Len: 0:00:00", ""},
        {"Label_Trim", "", ""},
        {"Frame_Local", nullptr, ""},
        {"Cmd_Local_Encode", "Encode", "Encode using only this server"},
        {"CheckBox_PostView", "Preview", ""},
        {"local_load", nullptr, "Server encoding load"},
        {"TextBox_LocalFile", "", ""},
        {"Local_Status", "Status:", ""},
        {"Local_Clock", "0:00:00", ""},
        {"Label1", "Size:", ""},
        {"Label2", "", ""},
        {"Label3", "Bit rate:", ""},
        {"Label9", "Load:", ""},
        {"Label8", "Speed:", ""},
        {"Label12", "Time:", ""},
        {"Frame_Remote", nullptr, ""},
        {"Cmd_Remote_Encode", "Encode", "Encode using only this client"},
        {"remote_load", nullptr, "Client encoding load"},
        {"TextBox_RemoteFile", "", ""},
        {"Remote_Status", "Status:", ""},
        {"Remote_Clock", "0:00:00", ""},
        {"Label4", "Size:", ""},
        {"Label5", "", ""},
        {"Label7", "Bit rate:", ""},
        {"Label10", "Load:", ""},
        {"Label6", "Speed:", ""},
        {"Label13", "Time:", ""},
        {"Frame_Remote2", nullptr, ""},
        {"Cmd_Remote2_Encode", "Encode", "Encode using only this client"},
        {"remote2_load", nullptr, "Client encoding load"},
        {"TextBox_Remote2File", "", ""},
        {"Remote2_Status", "Status:", ""},
        {"Remote2_Clock", "0:00:00", ""},
        {"Label17", "Size:", ""},
        {"Label16", "", ""},
        {"Label15", "Bit rate:", ""},
        {"Label14", "Load:", ""},
        {"Label11", "Speed:", ""},
        {"Label21", "Time:", ""},
        {"Frame_CPU_Disk", "Server Hardware", ""},
        {"Label_CPU", "CPU: ", ""},
        {"Label_Disk", "Disk: ", ""},
        {"Label_Network", "Network:", ""},
        {"Frame_Network", "Network", ""},
        {"Label_Network_Traffic", "Traffic: ", ""},
    };
    for (const auto& r : rows) {
        auto* w2 = w.find<QWidget>(r.name);
        ASSERT_NE(w2, nullptr) << r.name;
        if (r.caption) {
            EXPECT_EQ(caption_of(w2), QString::fromUtf8(r.caption)) << r.name;
        }
        EXPECT_EQ(w2->toolTip(), QString::fromUtf8(r.tooltip)) << r.name;
    }
    EXPECT_EQ(w.form->windowTitle(), "Shardex v0.9 - Larkspur Works");
    EXPECT_EQ(w.find<QLineEdit>("local_load")->text(), "40");
    EXPECT_EQ(w.find<QLineEdit>("remote_load")->text(), "40");
    EXPECT_EQ(w.find<QLineEdit>("remote2_load")->text(), "20");
    EXPECT_TRUE(w.find<QCheckBox>("CheckBox_PostView")->isChecked());
    for (const char* c : {"Combo_Profile", "Combo1", "Combo2"}) EXPECT_TRUE(w.find<QComboBox>(c)->isEditable()) << c;
    EXPECT_EQ(w.find<QComboBox>("Combo1")->toolTip(), "Change client-to-computer assignment");
    EXPECT_NE(dynamic_cast<VideoFrameWidget*>(w.find<QWidget>("Frame_Video")), nullptr);
    EXPECT_NE(w.find<QListWidget>("ListBox_NetComputers"), nullptr);

    auto* slider = w.find<QSlider>("Slider");
    EXPECT_EQ(slider->minimum(), 0);
    EXPECT_EQ(slider->maximum(), 40);
    EXPECT_EQ(slider->singleStep(), 1);
    EXPECT_EQ(slider->pageStep(), 3);
    for (const char* bar : {"ProgressBar_Local", "ProgressBar_Remote", "ProgressBar_Remote2"})
        EXPECT_EQ(w.find<QProgressBar>(bar)->maximum(), 100) << bar;
    for (const char* bar : {"Local_CPU_Meter", "Local_Disk_Meter", "Local_Net_Meter"}) {
        EXPECT_EQ(w.find<QProgressBar>(bar)->minimum(), 0) << bar;
        EXPECT_EQ(w.find<QProgressBar>(bar)->maximum(), 10) << bar;
    }
    const std::pair<const char*, int> timers[] = {{"Timer_Counters", 500}, {"TimerLocal", 500}, {"TimerRemote", 500},
                                                  {"TimerRemote2", 500}, {"Timer_Playback", 200}};
    for (auto [name, interval] : timers) {
        auto* t = w.form->findChild<QTimer*>(name);
        ASSERT_NE(t, nullptr) << name;
        EXPECT_EQ(t->interval(), interval) << name;
        EXPECT_FALSE(t->isActive()) << name << " runs before start-up";
    }
    EXPECT_EQ(w.form->CommonDialog1.DialogTitle, "Select Source AVI File");
    EXPECT_EQ(w.form->CommonDialog1.Filter, "AVI Files|*.avi");
}

TEST(Form1StartUp, SetsFlagsTimersAndTheNetworkDefaults) {
    Window w({"NODE1", "THISPC", "NODE2"});
    auto& S = w.form->S;
    S.Post_View = kFalse;
    S.Mark_In = 5;
    S.Local_Running = kTrue;
    w.form->TimerLocal->start();
    w.form->load();

    EXPECT_FALSE(w.form->TimerLocal->isActive());
    EXPECT_FALSE(w.form->TimerRemote->isActive());
    EXPECT_FALSE(w.form->TimerRemote2->isActive());
    EXPECT_FALSE(w.form->Timer_Playback->isActive());
    EXPECT_TRUE(w.form->Timer_Counters->isActive());
    EXPECT_EQ(S.Post_View, kTrue);
    EXPECT_EQ(S.Local_Running, kFalse);
    EXPECT_EQ(S.Mark_In, 0);
    EXPECT_EQ(S.Two_Pass, 0);
    EXPECT_EQ(S.Server_Computer, "THISPC");
    EXPECT_EQ(S.Client1_Computer, "NODE1");
    EXPECT_EQ(S.Client2_Computer, "THISPC");  // the entry after Client 1's, whichever it is
    EXPECT_EQ(w.form->Frame_Local->title(), "Server: THISPC");
    EXPECT_EQ(w.form->Frame_Remote->title(), "Client 1: NODE1");
    EXPECT_EQ(w.form->local_load->text(), "40");  // three computers keep the design loads
    EXPECT_EQ(w.form->Combo1->count(), 3);        // NODE1, NODE2 and the empty entry
    EXPECT_EQ(w.form->Combo1->itemText(2), "");
    EXPECT_EQ(w.form->Cmd_Go->text(), "Go");
}

TEST(Form1StartUp, LoadsFollowTheNumberOfComputers) {
    {
        Window w({"THISPC"});
        w.form->load();
        EXPECT_EQ(w.form->local_load->text(), "100");
        EXPECT_EQ(w.form->remote_load->text(), "0");
        EXPECT_EQ(w.form->remote2_load->text(), "0");
        EXPECT_EQ(w.form->S.Client1_Computer, "");
        EXPECT_EQ(w.form->Combo1->count(), 1);
    }
    {
        Window w({"THISPC", "NODE1"});
        w.form->load();
        EXPECT_EQ(w.form->local_load->text(), "50");
        EXPECT_EQ(w.form->remote_load->text(), "50");
        EXPECT_EQ(w.form->remote2_load->text(), "0");
        EXPECT_EQ(w.form->S.Client1_Computer, "NODE1");
        EXPECT_EQ(w.form->S.Client2_Computer, "");
    }
    {
        Window w(std::vector<std::string>{});  // the browse failed: no computer, design loads kept
        w.form->load();
        EXPECT_EQ(w.form->local_load->text(), "40");
        EXPECT_EQ(w.form->S.Client1_Computer, "");
    }
}

// Picking clients: allowed until the slot's application exists; Client 2 only with three
// or more computers listed; the empty entry leaves a slot without a computer.
TEST(Form1Clients, ComboChoicesFollowTheConnectionAndTheListSize) {
    {
        Window w({"NODE1", "NODE2", "THISPC"});
        w.form->load();
        w.dialogs->shown.clear();  // this window has no profiles to offer
        w.form->Combo2->setCurrentIndex(2);  // the empty entry
        Combo2_Click(*w.form);
        EXPECT_EQ(w.form->S.Client2_Computer, "");
        EXPECT_EQ(w.form->Frame_Remote2->title(), "Client 2: ");
        w.form->Combo1->setCurrentIndex(1);  // both slots may name the same computer
        Combo1_Click(*w.form);
        EXPECT_EQ(w.form->S.Client1_Computer, "NODE2");
        w.form->S.Remote_Connected = 1;
        w.form->Combo1->setCurrentIndex(0);
        Combo1_Click(*w.form);
        EXPECT_EQ(w.form->S.Client1_Computer, "NODE2");
        ASSERT_EQ(w.dialogs->shown.size(), 1u);
        EXPECT_EQ(w.dialogs->shown[0].text, "Start Shardex again to change clients.");
        EXPECT_EQ(w.dialogs->shown[0].title, "Shardex");
    }
    {
        Window w({"THISPC", "NODE1"});
        w.form->load();
        w.dialogs->shown.clear();
        w.form->Combo2->setCurrentIndex(0);
        Combo2_Click(*w.form);  // two computers: Client 2 cannot be chosen
        EXPECT_EQ(w.form->S.Client2_Computer, "");
        EXPECT_TRUE(w.dialogs->shown.empty());
    }
    {
        // This computer's name unreadable: nothing is passed over, and the combo boxes get
        // no empty entry.
        Window w({"NODE1", "THISPC"}, "");
        w.form->load();
        EXPECT_EQ(w.form->Frame_Local->title(), "Server: ");
        EXPECT_EQ(w.form->S.Client1_Computer, "NODE1");
        EXPECT_EQ(w.form->S.Client2_Computer, "THISPC");
        EXPECT_EQ(w.form->Combo1->count(), 2);
    }
}

TEST(Form1Panels, ResetRestoresIdleTextsAndLeavesProgressAlone) {
    Window w;
    auto& f = *w.form;
    f.Label1->setText("Size:     7,168 KB");
    f.Label5->setText("0:02:30 /0:10:00");
    f.Label15->setText("Bit rate: 391 Kb");
    f.Label8->setText("Speed:  1.7x");
    f.Remote_Status->setText("Status:  Success 12.3 to 1");
    set_back_color(f.Remote_Status, kLightYellow);
    f.TextBox_LocalFile->setText("clip_SX.wmv");
    f.Remote2_Clock->setText("0:01:30");
    f.ProgressBar_Local->setValue(25);
    f.Label9->setText("Load:");
    f.local_load->setText("77");

    Reset_Status_Panels(f);

    EXPECT_EQ(f.Label1->text(), "Size:");
    EXPECT_EQ(f.Label5->text(), "");
    EXPECT_EQ(f.Label15->text(), "Bit rate:");
    EXPECT_EQ(f.Label8->text(), "Speed:");
    EXPECT_EQ(f.Remote_Status->text(), "Status:");
    EXPECT_EQ(back_color(f.Remote_Status), kButtonFace);
    EXPECT_EQ(f.TextBox_LocalFile->text(), "");
    EXPECT_EQ(f.Remote2_Clock->text(), "0:00:00");
    EXPECT_EQ(f.ProgressBar_Local->value(), 25);
    EXPECT_EQ(f.local_load->text(), "77");
}

TEST(Form1Exit, CancelChangesNothingAndOkCloses) {
    Window w;
    auto& f = *w.form;
    f.show();
    f.S.Local_Running = kTrue;
    f.TimerLocal->start();
    w.dialogs->answers.push_back(platform::Answer::Cancel);
    Cmd_Exit_Click(f);
    ASSERT_EQ(w.dialogs->shown.size(), 1u);
    EXPECT_EQ(w.dialogs->shown[0].text, "Are you sure?");
    EXPECT_EQ(w.dialogs->shown[0].title, "Shardex Exit");
    EXPECT_EQ(w.dialogs->shown[0].buttons, platform::Buttons::OkCancel);
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(f.TimerLocal->isActive());
    EXPECT_EQ(f.S.Local_Running, kTrue);

    w.dialogs->answers.push_back(platform::Answer::Ok);
    Cmd_Exit_Click(f);
    EXPECT_FALSE(f.isVisible());
}

namespace {

// What a user reads of `text` that Qt shows: HTML rendered when Qt takes it for HTML.
QString as_read(const QString& text, Qt::TextFormat format = Qt::AutoText) {
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text))) return text;
    QTextDocument html;
    html.setHtml(text);
    return html.toPlainText();
}

// Text from another computer or a file reaches the user as the characters it is made of:
// an agent's error in a message box, a profile file's name in the list's tooltip, a computer
// name from the network in the copy's progress dialog. HTML in it is never rendered (a link
// would open with one click), and a message of a megabyte is cut.
TEST(Form1PlainText, TextFromOtherComputersAndFilesIsNeverHtml) {
    const std::string link = "<a href='http://x.example/'>click</a>";
    Window w;
    auto& f = *w.form;

    QString boxText;
    Qt::TextFormat boxFormat = Qt::AutoText;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible()) {
                boxText = box->text();
                boxFormat = box->textFormat();
                box->accept();
            }
    });
    closer.start(10);
    platform::create_qt_dialogs(&f)->message("NODE1: " + link + std::string(1 << 20, 'e'), "Shardex",
                                             platform::Buttons::Ok);
    closer.stop();
    EXPECT_TRUE(as_read(boxText, boxFormat).startsWith(QString::fromStdString("NODE1: " + link)));
    EXPECT_LT(boxText.size(), 5000);

    f.Combo_Profile->addItem(QString::fromStdString(link));
    f.Combo_Profile->setCurrentIndex(f.Combo_Profile->count() - 1);
    EXPECT_EQ(as_read(f.Combo_Profile->toolTip()).toStdString(), link);

    QString copyText;
    f.services.copyFromClient = [&](const std::string&, const std::string&, const std::string&,
                                    const std::function<bool(std::int64_t, std::int64_t)>& progress) {
        progress(1, 2);
        for (auto* label : f.findChild<QProgressDialog*>()->findChildren<QLabel*>())
            copyText = as_read(label->text(), label->textFormat());
    };
    copy_client_output(f, link, "clip_SX1.wmv", "");
    EXPECT_EQ(copyText.toStdString(), "Copying clip_SX1.wmv from " + link + "...");
}

}  // namespace

// The window's start-up, the choice of clients, the panel reset and leaving.
#include <QGroupBox>
#include <QListWidget>

#include "app/colors.h"
#include "app/startup.h"
#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTextDocument>

#include "jobs/client_copy.h"
#include "network/network_list.h"
#include "platform/dialogs_qt.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

using Form1Test = WindowTest;

// Start-up resets the flags and timers, then takes the computers a browse finds: the Server is
// this computer, the clients the first two other entries (this computer may be one of them),
// and the loads follow the number of computers (three or more, or none, keep 40/40/20).
TEST_F(Form1Test, StartUpTakesTheComputersFound) {
    struct Case {
        std::vector<std::string> found;
        std::string self;
        const char *local, *client1, *client2;
        int choices;  // in each client's list
    } cases[] = {
        {{"NODE1", "SRV", "NODE2"}, "SRV", "40", "NODE1", "SRV", 3},
        {{"SRV"}, "SRV", "100", "", "", 1},
        {{"SRV", "NODE1"}, "SRV", "50", "NODE1", "", 2},
        {{}, "SRV", "40", "", "", 1},
        {{"NODE1", "SRV"}, "", "50", "NODE1", "SRV", 2},  // this computer's name unreadable
    };
    std::string intervals;  // the polling timers tick twice a second, the preview's counter five times
    for (QTimer* t : {f->Timer_Counters, f->TimerLocal, f->TimerRemote, f->TimerRemote2, f->Timer_Playback})
        intervals += std::to_string(t->interval()) + " ";
    EXPECT_EQ(intervals, "500 500 500 500 200 ");
    for (const auto& c : cases) {
        new_window();
        computers = c.found;
        f->services.computerName = [&] { return c.self; };
        f->S.Post_View = kFalse;
        f->S.Mark_In = 5;
        f->S.Local_Running = kTrue;
        f->S.Two_Pass = 1;
        f->TimerLocal->start();
        f->load();
        EXPECT_FALSE(timer_enabled(f->TimerLocal) || timer_enabled(f->TimerRemote) || timer_enabled(f->Timer_Playback));
        EXPECT_TRUE(timer_enabled(f->Timer_Counters));
        EXPECT_TRUE(f->S.Post_View == kTrue && !any_slot_running(f->S) && f->S.Mark_In == 0 && f->S.Two_Pass == 0);
        EXPECT_EQ(text(f->local_load) + "|" + text(f->remote_load) + "|" + f->S.Client1_Computer + "|" +
                      f->S.Client2_Computer + "|" + f->Frame_Local->title().toStdString() + "|" +
                      f->Frame_Remote->title().toStdString(),
                  std::string(c.local) + "|" + (std::string(c.local) == "100" ? "0" : c.local) + "|" + c.client1 + "|" +
                      c.client2 + "|Server: " + c.self + "|Client 1: " + c.client1);
        EXPECT_EQ(std::make_pair(f->Combo1->count(), f->Combo2->count()), std::make_pair(c.choices, c.choices));
    }
}

// A client may be chosen until its slot has connected; Client 2 only among three or more
// computers; the empty entry leaves a slot without a computer.
TEST_F(Form1Test, ClientChoicesFollowTheConnectionAndTheListSize) {
    computers = {"NODE1", "NODE2", "SRV"};
    f->load();
    dialogs->shown.clear();
    f->Combo2->setCurrentIndex(2);  // the empty entry
    Combo2_Click(*f);
    EXPECT_EQ(f->S.Client2_Computer, "");
    EXPECT_EQ(f->Frame_Remote2->title().toStdString(), "Client 2: ");
    f->Combo1->setCurrentIndex(1);  // both slots may name the same computer
    Combo1_Click(*f);
    EXPECT_EQ(f->S.Client1_Computer, "NODE2");
    f->S.Remote_Connected = 1;
    f->Combo1->setCurrentIndex(0);
    Combo1_Click(*f);
    EXPECT_EQ(f->S.Client1_Computer, "NODE2");
    EXPECT_EQ(messages(), std::vector<std::string>{"Start Shardex again to change clients."});

    delete f->ListBox_NetComputers->takeItem(0);
    dialogs->shown.clear();
    f->Combo2->setCurrentIndex(0);
    Combo2_Click(*f);  // two computers: Client 2 cannot be chosen
    EXPECT_EQ(f->S.Client2_Computer, "");
    EXPECT_TRUE(dialogs->shown.empty());
}

// The reset puts each panel's texts back and leaves its bar and load box alone.
TEST_F(Form1Test, ThePanelResetRestoresEachPanelsIdleTexts) {
    for (int slot = 0; slot < 3; ++slot) {
        const SlotNames s = slot_names(*f, slot);
        for (QLabel* l : {s.size, s.media, s.rate, s.speed, s.clock, s.status}) l->setText(QStringLiteral("busy"));
        s.file->setText(QStringLiteral("busy"));
        set_back_color(s.status, kLightYellow);
        s.bar->setValue(25);
        s.load->setText(QStringLiteral("77"));
    }
    Reset_Status_Panels(*f);
    for (int slot = 0; slot < 3; ++slot) {
        const SlotNames s = slot_names(*f, slot);
        EXPECT_EQ(text(s.size) + "|" + text(s.media) + "|" + text(s.rate) + "|" + text(s.speed) + "|" + text(s.clock) +
                      "|" + text(s.status) + "|" + text(s.file),
                  "Size:||Bit rate:|Speed:|0:00:00|Status:|")
            << slot;
        EXPECT_EQ(back_color(s.status), kButtonFace);
        EXPECT_EQ(std::to_string(s.bar->value()) + " " + text(s.load), "25 77");
    }
}

TEST_F(Form1Test, ExitAsksAndClosesOnlyOnOk) {
    f->show();
    f->S.Local_Running = kTrue;
    dialogs->answers = {platform::Answer::Cancel, platform::Answer::Ok};
    Cmd_Exit_Click(*f);
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text + "|" + dialogs->shown[0].title, "Are you sure?|Shardex Exit");
    EXPECT_EQ(dialogs->shown[0].buttons, platform::Buttons::OkCancel);
    EXPECT_TRUE(f->isVisible());
    Cmd_Exit_Click(*f);  // whatever runs
    EXPECT_FALSE(f->isVisible());
}

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
TEST_F(Form1Test, TextFromOtherComputersAndFilesIsNeverHtml) {
    const std::string link = "<a href='http://x.example/'>click</a>";
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
    platform::create_qt_dialogs(f.get())->message("NODE1: " + link + std::string(1 << 20, 'e'), "Shardex",
                                                  platform::Buttons::Ok);
    closer.stop();
    EXPECT_TRUE(as_read(boxText, boxFormat).startsWith(QString::fromStdString("NODE1: " + link)));
    EXPECT_LT(boxText.size(), 5000);

    f->Combo_Profile->addItem(QString::fromStdString(link));
    f->Combo_Profile->setCurrentIndex(f->Combo_Profile->count() - 1);
    EXPECT_EQ(as_read(f->Combo_Profile->toolTip()).toStdString(), link);

    bool copied = false;
    f->copies->start(*f, 1, link, "clip_SX1.wmv", "", [&](bool) { copied = true; });
    QString copyText;
    for (auto* label : f->findChild<QProgressDialog*>()->findChildren<QLabel*>())
        copyText = as_read(label->text(), label->textFormat());
    EXPECT_EQ(copyText.toStdString(), "Copying clip_SX1.wmv from " + link + "...");
    EXPECT_TRUE(wait_until([&] { return copied; }, 5000));
}

}  // namespace
}  // namespace shardex::testing

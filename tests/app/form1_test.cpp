// The window's start-up, the choice of clients and leaving.
#include <QGroupBox>
#include <QListWidget>

#include "app/startup.h"
#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTextDocument>
#include <filesystem>

#include "jobs/client_copy.h"
#include "network/network_list.h"
#include "platform/dialogs_qt.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

using Form1Test = WindowTest;

// Start-up stops the job timers and starts the meters', then takes the computers a browse
// finds: the Server is this computer, the clients the first two other entries (this computer
// may be one of them), and the loads follow the number of computers (three or more, or none,
// keep 40/40/20).
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
    for (const auto& c : cases) {
        new_window();
        computers = c.found;
        f->services.computerName = [&] { return c.self; };
        f->TimerLocal->start();
        f->load();
        EXPECT_FALSE(timer_enabled(f->TimerLocal) || timer_enabled(f->TimerRemote) || timer_enabled(f->Timer_Playback));
        EXPECT_TRUE(timer_enabled(f->Timer_Counters));
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

// Leaving asks "Are you sure?" while work would be lost, the same by Exit and by the title
// bar's close; an idle window closes without a question.
TEST_F(Form1Test, LeavingAsksOnlyWhileWorkRuns) {
    struct Case {
        const char* intent;
        bool running;
        void (*leave)(Form1&);
        platform::Answer answer;
        std::size_t asked;
        bool closed;
    } cases[] = {
        {"Exit, idle", false, Cmd_Exit_Click, platform::Answer::Cancel, 0, true},
        {"Exit, running, Cancel", true, Cmd_Exit_Click, platform::Answer::Cancel, 1, false},
        {"Exit, running, OK", true, Cmd_Exit_Click, platform::Answer::Ok, 1, true},
        {"title bar, running, Cancel", true, [](Form1& w) { w.close(); }, platform::Answer::Cancel, 1, false},
        {"title bar, idle", false, [](Form1& w) { w.close(); }, platform::Answer::Cancel, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        new_window();
        f->show();
        f->S.Remote2_Running = vb_bool(c.running);
        dialogs->shown.clear();
        dialogs->answers = {c.answer};
        c.leave(*f);
        ASSERT_EQ(dialogs->shown.size(), c.asked);
        if (c.asked) {
            EXPECT_EQ(dialogs->shown[0].text + "|" + dialogs->shown[0].title, "Are you sure?|Shardex Exit");
        }
        EXPECT_EQ(f->isVisible(), !c.closed);
        f->S.Remote2_Running = kFalse;
    }
}

// At start the window says what a run would miss, and what to do, without a message box; the
// button creates the Shardex folder, and only when pressed.
TEST_F(Form1Test, StartUpSaysWhatIsMissing) {
    const std::string folder = home.path().toStdString() + "/Shardex/";
    const std::string noCertificates = "no network certificate in '/n': run 'shardex-agent --init'";
    struct Case {
        bool folder;
        std::string network;
        const char* shown;  // the bar's text, "" when hidden
        bool button;
    } cases[] = {
        {true, "", "", false},
        {false, "", "There is no Shardex folder FOLDER yet: encoded files are written there. Create it to encode on "
                    "this computer.", true},
        {true, noCertificates, "Client computers can't be used yet: NET.", false},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(folder);
        if (c.folder) std::filesystem::create_directory(folder);
        new_window();
        f->services.networkProblem = [&] { return c.network; };
        f->load();
        std::string want = c.shown;
        if (auto at = want.find("FOLDER"); at != std::string::npos) want.replace(at, 6, folder);
        if (auto at = want.find("NET"); at != std::string::npos) want.replace(at, 3, c.network);
        EXPECT_EQ(f->Bar_Setup->isVisibleTo(f.get()) ? text(f->Label_Setup) : "", want);
        EXPECT_EQ(f->Cmd_MakeFolder->isVisibleTo(f.get()), c.button);
        EXPECT_EQ(std::filesystem::is_directory(folder), c.folder);
        EXPECT_TRUE(dialogs->shown.empty());
    }
    f->services.networkProblem = {};
    std::filesystem::remove_all(folder);
    Show_Setup_Notice(*f);
    f->Cmd_MakeFolder->click();
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_FALSE(f->Bar_Setup->isVisibleTo(f.get()));
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
    f->copies->start(*f, 1, link, "clip_SX1.wmv", [&](bool, const std::string&) { copied = true; });
    QString copyText;
    for (auto* label : f->findChild<QProgressDialog*>()->findChildren<QLabel*>())
        copyText = as_read(label->text(), label->textFormat());
    EXPECT_EQ(copyText.toStdString(), "Copying clip_SX1.wmv from " + link + "...");
    EXPECT_TRUE(wait_until([&] { return copied; }, 5000));
}

}  // namespace
}  // namespace shardex::testing

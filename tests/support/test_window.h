// The window on fakes, for the window's tests: dialogs that answer by themselves, a scripted
// encoder and client agents, a fake preview graph for each file opened, the computers a
// browse finds, a tick count the test drives, and HOME in a temporary folder holding its
// Shardex folder.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/form1.h"
#include "jobs/client_copy.h"
#include "source/source_selection.h"
#include "support/fake_dialogs.h"
#include "support/fake_encoder.h"
#include "support/fake_graph.h"
#include "support/qt_wait.h"

namespace shardex::testing {

template <typename W>
std::string text(const W* w) { return w->text().toStdString(); }

constexpr const char* kLanProfile = "Windows Media Video 8 for Local Area Network (768 Kbps)";

// One slot's fields and controls by their own names, written out apart from the window's
// slot table, so that a test notices a control or field bound to the wrong slot.
struct SlotNames {
    VbBool &running, &stopped;
    std::int32_t &segLength, &startTicks;
    std::string& loadText;
    QLabel *size, *media, *rate, *speed, *clock, *status;
    QProgressBar* bar;
    QLineEdit *load, *file;
    QPushButton* encode;
    QTimer* timer;
};
inline SlotNames slot_names(Form1& f, int slot) {
    auto& S = f.S;
    if (slot == 0)
        return {S.Local_Running, S.Local_Stopped, S.Local_SegLength, S.Local_StartTicks, S.Local_LoadText, f.Label1,
                f.Label2, f.Label3, f.Label8, f.Local_Clock, f.Local_Status, f.ProgressBar_Local, f.local_load,
                f.TextBox_LocalFile, f.Cmd_Local_Encode, f.TimerLocal};
    if (slot == 1)
        return {S.Remote_Running, S.Remote_Stopped, S.Remote_SegLength, S.Remote_StartTicks, S.Remote_LoadText,
                f.Label4, f.Label5, f.Label7, f.Label6, f.Remote_Clock, f.Remote_Status, f.ProgressBar_Remote,
                f.remote_load, f.TextBox_RemoteFile, f.Cmd_Remote_Encode, f.TimerRemote};
    return {S.Remote2_Running, S.Remote2_Stopped, S.Remote2_SegLength, S.Remote2_StartTicks, S.Remote2_LoadText,
            f.Label17, f.Label16, f.Label15, f.Label11, f.Remote2_Clock, f.Remote2_Status, f.ProgressBar_Remote2,
            f.remote2_load, f.TextBox_Remote2File, f.Cmd_Remote2_Encode, f.TimerRemote2};
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        savedHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("Shardex")));
        Services s;
        s.dialogs = dialogs;
        s.createEncoder = fx.encoders();
        s.createProfileEditor = fx.editors();
        s.createDataView = fx.dataViews();
        s.createAgent = fx.agentsOn();
        s.copyFromClient = fx.copier();
        s.shareSource = [this](const std::string& path) { shared.push_back(path); };
        s.createGraph = [this]() -> std::shared_ptr<media::FilterGraph> {
            auto g = next ? next : std::make_shared<FakeGraph>();
            next.reset();
            return graphs.emplace_back(g).lock();
        };
        s.tickCount = [this] { return ticks; };
        s.sleep = [](std::uint32_t) {};
        s.computerName = [] { return std::string("SRV"); };
        s.browseComputers = [this] { return computers; };
        f = std::make_unique<Form1>(std::move(s));
    }
    void TearDown() override {
        f.reset();
        qputenv("HOME", savedHome);
    }
    // A window of its own on the same services.
    void new_window() {
        Services s = f->services;
        f.reset();
        f = std::make_unique<Form1>(std::move(s));
    }
    // A chosen source as the run tests need it, without a graph: 123,456 ms and 10,000 KB of
    // "/videos/clip.avi", the LAN profile in the list, and the Server alone loaded.
    void given_source() {
        fx.script->profiles = {{kLanProfile}};
        f->CommonDialog1 = {"", "", "/videos/clip.avi", "clip.avi"};
        f->S.Local_OutFile = "clip_SX.wmv";
        f->S.Remote_OutFile = "clip_SX1.wmv";
        f->S.Remote2_OutFile = "clip_SX2.wmv";
        f->S.Server_Computer = "SRV";
        f->S.Movie_Length = 123456;
        f->S.Source_SizeKB = 10000;
        f->Combo_Profile->addItem(QString::fromLatin1(kLanProfile));
        loads("100", "0", "0");
    }
    void loads(const char* local, const char* remote, const char* remote2) {
        f->local_load->setText(QString::fromLatin1(local));
        f->remote_load->setText(QString::fromLatin1(remote));
        f->remote2_load->setText(QString::fromLatin1(remote2));
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> v;
        for (const auto& m : dialogs->shown) v.push_back(m.text);
        return v;
    }
    // Lets queued encoder events reach the window, and the clients' copies end.
    void settle() {
        pump_events(30);
        wait_until([this] { return !f || f->copies->empty(); }, 10000);
    }

    // A file of `bytes` bytes beside the Shardex folder (a source) or in it (an output).
    std::string file(const std::string& name, std::uintmax_t bytes) {
        const std::string p = home.path().toStdString() + "/" + name;
        std::ofstream(p, std::ios::binary).close();
        std::filesystem::resize_file(p, bytes);
        return p;
    }
    std::string write_output(const std::string& name, std::uintmax_t bytes) { return file("Shardex/" + name, bytes); }
    // Chooses `path` through the source button; the graph it opens is `graph`.
    std::shared_ptr<FakeGraph> choose(const std::string& path, std::shared_ptr<FakeGraph> graph = nullptr) {
        auto g = next = graph ? graph : std::make_shared<FakeGraph>();
        dialogs->nextOpenPath = path;
        Cmd_File_Click(*f);
        return g;
    }
    // A source of `seconds`, chosen and playing; the graph that plays it.
    std::shared_ptr<FakeGraph> source(double seconds, const std::string& name = "clip.avi") {
        auto g = std::make_shared<FakeGraph>();
        g->length = seconds;
        return choose(file(name, 3000000), g);
    }

    QTemporaryDir home;
    QByteArray savedHome;
    FakeEncoderFactory fx;
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::shared_ptr<FakeGraph> next;               // the graph the next open gets
    std::vector<std::weak_ptr<FakeGraph>> graphs;  // every graph the window asked for
    std::vector<std::string> computers{"SRV"};     // what a browse finds
    std::vector<std::string> shared;               // the sources offered to the clients
    std::uint32_t ticks = 1000;
    std::unique_ptr<Form1> f;
};

}  // namespace shardex::testing

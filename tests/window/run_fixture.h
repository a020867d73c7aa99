// A window with fake dialogs, a scripted encoder and a hand-driven tick count, for the
// run control, job and profile tests. HOME points at a temporary folder with Shardex/ in it.
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
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "support/fake_dialogs.h"
#include "support/fake_encoder.h"
#include "support/qt_wait.h"

namespace shardex::testing {

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        savedHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("Shardex")));
        fx.script->profiles = {{"Windows Media Video 8 for Local Area Network (768 Kbps)"}};

        Services s;
        s.dialogs = dialogs;
        s.createEncoder = fx.encoders();
        s.createProfileEditor = fx.editors();
        s.createDataView = fx.dataViews();
        s.tickCount = [this] { return ticks; };
        s.sleep = [](std::uint32_t) {};
        f = std::make_unique<Form1>(s);

        f->CommonDialog1.FileName = "/videos/clip.avi";
        f->CommonDialog1.FileTitle = "clip.avi";
        f->S.Local_OutFile = "clip_SX.wmv";
        f->S.Remote_OutFile = "clip_SX1.wmv";
        f->S.Remote2_OutFile = "clip_SX2.wmv";
        f->S.Movie_Length = 123456;
        f->S.Source_SizeKB = 10000;
        f->Combo_Profile->addItem(QStringLiteral("Windows Media Video 8 for Local Area Network (768 Kbps)"));
        loads("100", "0", "0");
    }
    void TearDown() override {
        f.reset();
        qputenv("HOME", savedHome);
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
    static std::string text(const QLabel* l) { return l->text().toStdString(); }
    static std::string text(const QLineEdit* l) { return l->text().toStdString(); }
    static std::string text(const QPushButton* b) { return b->text().toStdString(); }
    // Lets queued encoder events reach the window.
    static void settle() { pump_events(30); }

    // Writes `bytes` bytes as the output file `name` in the test's Shardex folder.
    void write_output(const std::string& name, std::size_t bytes) {
        std::ofstream out(home.path().toStdString() + "/Shardex/" + name, std::ios::binary);
        out << std::string(bytes, 'x');
    }

    QTemporaryDir home;
    QByteArray savedHome;
    FakeEncoderFactory fx;
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::uint32_t ticks = 1000;
    std::unique_ptr<Form1> f;
};

}  // namespace shardex::testing

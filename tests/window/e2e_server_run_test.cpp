// A whole Server run through the window on the real encoder and the real preview player:
// a generated clip is chosen, Go encodes it into the test's own Shardex folder, and the
// output is checked with ffprobe. Then a trimmed run and a run stopped half way.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "app/form1.h"
#include "app/video_frame_widget.h"
#include "run/run_control.h"
#include "source/source_selection.h"
#include "support/fake_dialogs.h"
#include "support/qt_wait.h"
#include "support/real_services.h"
#include "support/shell.h"

namespace shardex::testing {
namespace {

// Timestamps (ms) of the video frames of a file.
std::vector<double> frame_times(const std::string& path) {
    std::istringstream in(run("timeout 60 ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" +
                              path + "'"));
    std::vector<double> t;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) t.push_back(std::stod(line) * 1000.0);
    return t;
}

long frames_between(const std::vector<double>& times, double from, double to) {
    return std::count_if(times.begin(), times.end(), [&](double t) { return t >= from - 0.5 && t < to - 0.5; });
}

std::string text(const QLabel* l) { return l->text().toStdString(); }

class ServerRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new QTemporaryDir;
        clip = dir->path().toStdString() + "/clip.avi";
        longClip = dir->path().toStdString() + "/long.avi";
        const std::string make = "timeout 120 ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30000/1001 -f lavfi "
                                 "-i sine -t ";
        run(make + "12 -c:v mjpeg -c:a pcm_s16le '" + clip + "'");
        run(make + "60 -c:v mjpeg -c:a pcm_s16le '" + longClip + "'");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(clip)) << "ffmpeg could not make the test clip";
        savedHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("Shardex")));
        auto s = real_services(dialogs, "SRV");
        s.sleep = [](std::uint32_t) {};
        f = std::make_unique<Form1>(s);
        f->load();
    }
    void TearDown() override {
        f.reset();
        qputenv("HOME", savedHome);
    }

    void choose(const std::string& path) {
        dialogs->nextOpenPath = path;
        Cmd_File_Click(*f);
        ASSERT_EQ(f->CommonDialog1.FileName, path);
        f->local_load->setText(QStringLiteral("100"));
        f->remote_load->setText(QStringLiteral("0"));
        f->remote2_load->setText(QStringLiteral("0"));
    }
    bool wait_for_go(int ms) {
        return wait_until([&] { return f->Cmd_Go->text() == QStringLiteral("Go"); }, ms);
    }
    std::string output() const { return home.path().toStdString() + "/Shardex/" + f->S.Local_OutFile; }
    void expect_success() {
        const QRegularExpression success(QStringLiteral("^Status:  Success \\d*\\.\\d to 1$"));
        EXPECT_TRUE(success.match(f->Local_Status->text()).hasMatch()) << text(f->Local_Status);
        EXPECT_TRUE(dialogs->shown.empty()) << dialogs->shown[0].text;
    }

    static inline QTemporaryDir* dir = nullptr;
    static inline std::string clip, longClip;
    QTemporaryDir home;
    QByteArray savedHome;
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::unique_ptr<Form1> f;
};

TEST_F(ServerRun, GoEncodesTheWholeClipThenATrimmedStretch) {
    EXPECT_EQ(f->Combo_Profile->currentText().toStdString(),
              "Windows Media Video 8 for Local Area Network (768 Kbps)");
    EXPECT_EQ(text(f->Label26), "Fps: 30");
    choose(clip);
    const auto sourceFrames = frame_times(clip);
    ASSERT_FALSE(sourceFrames.empty());

    Cmd_Go_Click(*f);
    EXPECT_EQ(f->Cmd_Go->text().toStdString(), "Stop");
    ASSERT_TRUE(wait_for_go(120000)) << text(f->Local_Status);
    expect_success();
    EXPECT_EQ(f->Cmd_Local_Encode->text().toStdString(), "Encode");
    EXPECT_EQ(f->local_load->text().toStdString(), "100");
    EXPECT_EQ(f->ProgressBar_Local->value(), 0);
    EXPECT_EQ(text(f->Label2), "0:00:12 /0:00:12");
    EXPECT_EQ(frame_times(output()).size(), static_cast<std::size_t>(frames_between(sourceFrames, 0, 12000)));

    // Mark-in 2.5 s and mark-out 9.4 s: the Server encodes 2 s to 9 s.
    f->S.Mark_In = 2500;
    f->S.Mark_Out = 9400;
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(120000)) << text(f->Local_Status);
    expect_success();
    EXPECT_EQ(f->S.Local_SegStart, 2000);
    EXPECT_EQ(f->S.Local_SegLength, 7000);
    EXPECT_EQ(frame_times(output()).size(), static_cast<std::size_t>(frames_between(sourceFrames, 2000, 9000)));
}

TEST_F(ServerRun, StopInTheMiddleLeavesAValidPartialFile) {
    choose(longClip);
    const auto sourceFrames = frame_times(longClip);
    Cmd_Go_Click(*f);
    ASSERT_EQ(f->Cmd_Go->text().toStdString(), "Stop");
    // Stop once the encoder has written some media and the panel has shown it.
    ASSERT_TRUE(wait_until(
        [&] {
            return f->S.Local_Encoder->statistics()->archiveFileDuration().raw > 3000 &&
                   f->Local_Status->text().startsWith(QStringLiteral("Status:  Encoding"));
        },
        60000));
    EXPECT_GT(f->Frame_Video->framesShown(), 0);  // the encoder's pictures in the preview frame
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(60000));
    EXPECT_EQ(text(f->Local_Status), "Status:  Stopped ");
    EXPECT_TRUE(dialogs->shown.empty()) << dialogs->shown[0].text;
    const auto written = frame_times(output());
    EXPECT_GT(written.size(), 0u);
    EXPECT_LT(written.size(), sourceFrames.size());
    const std::string probe = run("timeout 60 ffprobe -v error -show_entries format=format_name -of csv=p=0 '" +
                                  output() + "'");
    EXPECT_EQ(probe.substr(0, 3), "asf");
}

}  // namespace
}  // namespace shardex::testing

// The window's layout: it fits a 1366 x 768 screen with a task bar, every control stays shown
// and usable at the smallest size, extra room goes to the picture and the file boxes, the tab
// order follows the work, and the profile list shows whole names.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/form1.h"
#include "app/video_frame_widget.h"
#include "support/fake_dialogs.h"

using namespace shardex;

namespace {

// The client area left on a 1366 x 768 screen by a 48-pixel task bar and a title bar.
constexpr int kLaptopWidth = 1366;
constexpr int kLaptopHeight = 690;

std::unique_ptr<Form1> make_window() {
    Services s;
    s.dialogs = std::make_shared<shardex::testing::FakeDialogs>();
    s.computerName = [] { return std::string("THISPC"); };
    s.browseComputers = [] { return std::vector<std::string>{"THISPC"}; };
    auto form = std::make_unique<Form1>(std::move(s));
    form->show();
    return form;
}

void resize_and_settle(Form1& f, QSize size) {
    f.resize(size);
    f.layout()->activate();
    QApplication::processEvents();
}

// The named controls of the window (the catalogue), without Qt's own inner widgets.
std::vector<QWidget*> controls(Form1& f) {
    std::vector<QWidget*> out;
    for (QWidget* w : f.findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_"))) out.push_back(w);
    }
    return out;
}

QRect rect_in_window(Form1& f, QWidget* w) { return QRect(w->mapTo(&f, QPoint(0, 0)), w->size()); }

// Every control shown, inside the window, no smaller than it needs, and no two leaf controls
// on top of each other.
void expect_every_control_usable(Form1& f) {
    const auto all = controls(f);
    ASSERT_GE(all.size(), 88u);  // the catalogue, the lists, the picture box, the slider and the bars
    std::vector<std::pair<QWidget*, QRect>> leaves;
    for (QWidget* w : all) {
        const QString name = w->objectName();
        EXPECT_TRUE(w->isVisibleTo(&f)) << name.toStdString();
        const QRect r = rect_in_window(f, w);
        EXPECT_TRUE(f.rect().contains(r)) << name.toStdString() << " lies outside the window";
        const QSize need = w->minimumSizeHint().expandedTo(w->minimumSize()).boundedTo(w->maximumSize());
        EXPECT_GE(w->width(), need.width()) << name.toStdString() << " is squeezed";
        EXPECT_GE(w->height(), need.height()) << name.toStdString() << " is squeezed";
        if (!qobject_cast<QGroupBox*>(w)) leaves.emplace_back(w, r);
    }
    for (std::size_t i = 0; i < leaves.size(); ++i)
        for (std::size_t j = i + 1; j < leaves.size(); ++j)
            EXPECT_FALSE(leaves[i].second.intersects(leaves[j].second))
                << leaves[i].first->objectName().toStdString() << " overlaps "
                << leaves[j].first->objectName().toStdString();
}

}  // namespace

TEST(WindowFit, SmallestSizeFitsALaptopScreenWithEveryControlUsable) {
    auto f = make_window();
    const QSize least = f->minimumSizeHint();
    std::printf("minimum size hint %dx%d, default size %dx%d\n", least.width(), least.height(), f->sizeHint().width(),
                f->sizeHint().height());
    EXPECT_LE(least.width(), kLaptopWidth);
    EXPECT_LE(least.height(), kLaptopHeight);
    EXPECT_LE(f->sizeHint().width(), kLaptopWidth);
    EXPECT_LE(f->sizeHint().height(), kLaptopHeight);
    resize_and_settle(*f, least);
    EXPECT_EQ(f->size(), least);
    expect_every_control_usable(*f);
}

TEST(WindowFit, ExtraRoomGoesToThePictureAndTheFileBoxes) {
    auto f = make_window();
    resize_and_settle(*f, f->minimumSizeHint());
    const QSize picture = f->Frame_Video->size();
    const int fileBox = f->TextBox_LocalFile->width();
    const int sourceBox = f->TextBox_File->width();
    EXPECT_GE(picture.width(), 320);
    EXPECT_GE(picture.height(), 240);

    resize_and_settle(*f, QSize(1920, 1040));
    expect_every_control_usable(*f);
    EXPECT_GT(f->Frame_Video->width(), picture.width() + 200);
    EXPECT_GT(f->Frame_Video->height(), picture.height() + 200);
    EXPECT_GT(f->TextBox_LocalFile->width(), fileBox + 100);
    EXPECT_GT(f->TextBox_File->width(), sourceBox + 100);
    // The bottom row stays along the bottom edge.
    EXPECT_GT(rect_in_window(*f, f->Cmd_Go).bottom(), 1040 - 60);
}

TEST(WindowFit, TabOrderFollowsSourceProfilePreviewSlotsThenTheBottomRow) {
    auto f = make_window();
    const std::vector<QWidget*> expected = {
        f->Cmd_File,          f->TextBox_File,       f->Combo_Profile,      f->Slider,
        f->Cmd_Backward,      f->Cmd_Play,           f->Cmd_Stop,           f->Cmd_Forward,
        f->Cmd_MarkIn,        f->Cmd_MarkOut,        f->Cmd_Clear,          f->CheckBox_PostView,
        f->Cmd_Local_Encode,  f->local_load,         f->TextBox_LocalFile,  f->Combo1,
        f->Cmd_Remote_Encode, f->remote_load,        f->TextBox_RemoteFile, f->Combo2,
        f->Cmd_Remote2_Encode, f->remote2_load,      f->TextBox_Remote2File, f->ListBox_NetComputers,
        f->Cmd_File2,         f->Cmd_Profile,        f->Cmd_Go,             f->Cmd_Help,
        f->Cmd_About,         f->Cmd_Exit};
    // Walk the focus chain once round from Cmd_File, noting the listed controls as they come.
    std::vector<QWidget*> seen;
    QWidget* w = f->Cmd_File;
    do {
        if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
            std::find(seen.begin(), seen.end(), w) == seen.end())
            seen.push_back(w);
        w = w->nextInFocusChain();
    } while (w != f->Cmd_File);
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(seen[i], expected[i]) << "position " << i << ": expected " << expected[i]->objectName().toStdString()
                                        << ", got " << seen[i]->objectName().toStdString();
}

TEST(WindowFit, ProfileListShowsWholeNamesAndTheBoxItsNameAsTooltip) {
    auto f = make_window();
    resize_and_settle(*f, f->minimumSizeHint());
    // A box narrower than the name, as on a small window with a large font.
    f->Combo_Profile->setFixedWidth(200);
    const QString longName = QStringLiteral("Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)");
    f->Combo_Profile->addItem(QStringLiteral("Short"));
    f->Combo_Profile->addItem(longName);
    f->Combo_Profile->setCurrentIndex(1);
    EXPECT_EQ(f->Combo_Profile->toolTip(), longName);
    f->Combo_Profile->setCurrentIndex(0);
    EXPECT_EQ(f->Combo_Profile->toolTip(), QStringLiteral("Short"));

    f->Combo_Profile->showPopup();
    QApplication::processEvents();
    QAbstractItemView* list = f->Combo_Profile->view();
    const int textWidth = list->fontMetrics().horizontalAdvance(longName);
    EXPECT_TRUE(list->isVisible());
    EXPECT_GE(list->viewport()->width(), textWidth);
    f->Combo_Profile->hidePopup();
}

TEST(WindowFit, TheWindowCarriesTheProgramIcon) {
    auto f = make_window();
    EXPECT_FALSE(f->windowIcon().isNull());
}

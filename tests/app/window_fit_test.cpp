// The window's layout: it fits a 1366 x 768 screen with a task bar, every control stays shown
// and usable at the smallest size, extra room goes to the picture and the file boxes, and the
// profile list shows whole names.
#include <QAbstractItemView>
#include <QApplication>
#include <QGroupBox>
#include <QLayout>
#include <cstdio>

#include "app/video_frame_widget.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

// The client area left on a 1366 x 768 screen by a 48-pixel task bar and a title bar.
constexpr int kLaptopWidth = 1366;
constexpr int kLaptopHeight = 690;

class WindowFit : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        f->show();
    }
    void resize_and_settle(QSize size) {
        f->resize(size);
        f->layout()->activate();
        QApplication::processEvents();
    }
    QRect rect_in_window(QWidget* w) const { return QRect(w->mapTo(f.get(), QPoint(0, 0)), w->size()); }

    // Every named control shown, inside the window, no smaller than it needs, and no two
    // leaf controls on top of each other.
    void expect_every_control_usable() {
        std::vector<std::pair<QWidget*, QRect>> leaves;
        int controls = 0;
        for (QWidget* w : f->findChildren<QWidget*>()) {
            const std::string name = w->objectName().toStdString();
            if (name.empty() || name.rfind("qt_", 0) == 0) continue;
            ++controls;
            const QRect r = rect_in_window(w);
            EXPECT_TRUE(w->isVisibleTo(f.get())) << name;
            EXPECT_TRUE(f->rect().contains(r)) << name << " lies outside the window";
            const QSize need = w->minimumSizeHint().expandedTo(w->minimumSize()).boundedTo(w->maximumSize());
            EXPECT_TRUE(w->width() >= need.width() && w->height() >= need.height()) << name << " is squeezed";
            if (!qobject_cast<QGroupBox*>(w)) leaves.emplace_back(w, r);
        }
        EXPECT_GE(controls, 88);  // the catalogue, the lists, the picture box, the slider and the bars
        for (std::size_t i = 0; i < leaves.size(); ++i)
            for (std::size_t j = i + 1; j < leaves.size(); ++j)
                EXPECT_FALSE(leaves[i].second.intersects(leaves[j].second))
                    << leaves[i].first->objectName().toStdString() << " overlaps "
                    << leaves[j].first->objectName().toStdString();
    }
};

TEST_F(WindowFit, SmallestSizeFitsALaptopScreenWithEveryControlUsable) {
    const QSize least = f->minimumSizeHint();
    std::printf("minimum size hint %dx%d, default size %dx%d\n", least.width(), least.height(), f->sizeHint().width(),
                f->sizeHint().height());
    EXPECT_LE(least.width(), kLaptopWidth);
    EXPECT_LE(least.height(), kLaptopHeight);
    EXPECT_LE(f->sizeHint().width(), kLaptopWidth);
    EXPECT_LE(f->sizeHint().height(), kLaptopHeight);
    resize_and_settle(least);
    EXPECT_EQ(f->size(), least);
    expect_every_control_usable();
}

TEST_F(WindowFit, ExtraRoomGoesToThePictureAndTheFileBoxes) {
    resize_and_settle(f->minimumSizeHint());
    const QSize picture = f->Frame_Video->size();
    const int fileBox = f->TextBox_LocalFile->width();
    const int sourceBox = f->TextBox_File->width();
    EXPECT_GE(picture.width(), 320);
    EXPECT_GE(picture.height(), 240);
    resize_and_settle(QSize(1920, 1040));
    expect_every_control_usable();
    EXPECT_GT(f->Frame_Video->width(), picture.width() + 200);
    EXPECT_GT(f->Frame_Video->height(), picture.height() + 200);
    EXPECT_GT(f->TextBox_LocalFile->width(), fileBox + 100);
    EXPECT_GT(f->TextBox_File->width(), sourceBox + 100);
    EXPECT_GT(rect_in_window(f->Cmd_Go).bottom(), 1040 - 60);  // the bottom row stays at the bottom
}

// A box narrower than the name, as on a small window with a large font: the tooltip holds the
// chosen name, and the open list is wide enough for the longest.
TEST_F(WindowFit, ProfileListShowsWholeNamesAndTheBoxItsNameAsTooltip) {
    resize_and_settle(f->minimumSizeHint());
    f->Combo_Profile->setFixedWidth(200);
    const QString longName =
        QStringLiteral("Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)");
    f->Combo_Profile->addItem(QStringLiteral("Short"));
    f->Combo_Profile->addItem(longName);
    f->Combo_Profile->setCurrentIndex(1);
    EXPECT_EQ(f->Combo_Profile->toolTip(), longName);
    f->Combo_Profile->setCurrentIndex(0);
    EXPECT_EQ(f->Combo_Profile->toolTip(), QStringLiteral("Short"));
    f->Combo_Profile->showPopup();
    QApplication::processEvents();
    QAbstractItemView* list = f->Combo_Profile->view();
    EXPECT_TRUE(list->isVisible());
    EXPECT_GE(list->viewport()->width(), list->fontMetrics().horizontalAdvance(longName));
    f->Combo_Profile->hidePopup();
}

}  // namespace
}  // namespace shardex::testing

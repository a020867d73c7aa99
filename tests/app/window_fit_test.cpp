// The window's layout: it fits a 1920 x 1080 screen at 200 %, every control stays shown
// and usable at the smallest size, and extra room goes to the picture and the file boxes.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>

#include "app/video_frame_widget.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

// The client area left on a 1920 x 1080 screen at 200 % (960 x 540 logical pixels) by a task
// bar and a title bar; a 1366 x 768 screen leaves more.
constexpr int kLaptopWidth = 960;
constexpr int kLaptopHeight = 500;

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
    EXPECT_LE(least.width(), kLaptopWidth);
    EXPECT_LE(least.height(), kLaptopHeight);
    resize_and_settle(least);
    EXPECT_EQ(f->size(), least);
    expect_every_control_usable();
    // The first-run bar, with its two lines and its button, still leaves room.
    f->Label_Setup->setText(QStringLiteral("There is no Shardex folder yet.\nClient computers can't be used yet."));
    f->Bar_Setup->show();
    EXPECT_LE(f->minimumSizeHint().height(), kLaptopHeight);
    EXPECT_LE(f->minimumSizeHint().width(), kLaptopWidth);
}

// The figures of a run never move the layout: the picture and the panels keep their places
// while every panel fills with long texts.
TEST_F(WindowFit, FiguresDuringARunDoNotMoveTheLayout) {
    for (QSize size : {f->minimumSizeHint(), QSize(1100, 600)}) {
        resize_and_settle(size);
        const QRect picture = rect_in_window(f->Frame_Video), panel = rect_in_window(f->Frame_Remote2);
        for (QLabel* l : {f->Label1, f->Label2, f->Label3, f->Label8, f->Local_Status, f->Label17, f->Label16,
                          f->Label15, f->Label11, f->Remote2_Status})
            l->setText(QStringLiteral("Status:  Success 123.4 to 1 Size:  9,999,999 KB 10:00:00 /10:00:00"));
        resize_and_settle(size);
        EXPECT_EQ(rect_in_window(f->Frame_Video), picture);
        EXPECT_EQ(rect_in_window(f->Frame_Remote2), panel);
        EXPECT_EQ(f->size(), size);
    }
}

TEST_F(WindowFit, ExtraRoomGoesToThePictureAndTheFileBoxes) {
    resize_and_settle(f->minimumSizeHint());
    const QSize picture = f->Frame_Video->size();
    const int fileBox = f->TextBox_LocalFile->width();
    const int sourceBox = f->TextBox_File->width();
    EXPECT_GE(picture.width(), 224);
    EXPECT_GE(picture.height(), 168);
    resize_and_settle(QSize(1920, 1040));
    expect_every_control_usable();
    EXPECT_GT(f->Frame_Video->width(), picture.width() + 200);
    EXPECT_GT(f->Frame_Video->height(), picture.height() + 200);
    EXPECT_GT(f->TextBox_LocalFile->width(), fileBox + 80);
    EXPECT_GT(f->TextBox_File->width(), sourceBox + 100);
    EXPECT_GT(rect_in_window(f->Cmd_Go).bottom(), 1040 - 60);  // the bottom row stays at the bottom
}

}  // namespace
}  // namespace shardex::testing

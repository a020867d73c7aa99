// The desktop window of an encoder application. Everything that touches a widget runs on the
// GUI thread: the view's calls capture their values and are queued onto the QApplication.
// Every text it shows came from a Server: plain text (never HTML, whose links would open
// with a click), cut to a length the window can hold.
#include "agent/desktop_view.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QResizeEvent>
#include <QScreen>
#include <QTextDocument>
#include <QWidget>
#include <algorithm>

#include "platform/shown_text.h"

namespace shardex::agent {

namespace {

constexpr int kWindowWidth = 460;
constexpr int kBarSteps = 1000;

QString clock_text(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(0, ms) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

// One line of a Server's text (a path) as a label shows it.
QString plain(const std::string& text) { return QString::fromStdString(platform::printable(text)); }

QString state_caption(std::int32_t state) {
    switch (state) {
    case 1: return QStringLiteral("Starting");
    case 2: return QStringLiteral("Running");
    case 3: return QStringLiteral("Paused");
    case 4: return QStringLiteral("Stopping");
    case 5: return QStringLiteral("Stopped");
    default: return QStringLiteral("State %1").arg(state);
    }
}

// A one-line label that shortens long paths in the middle, so a long source never widens the
// window; the whole text stays in the tooltip.
class PathLabel final : public QLabel {
public:
    PathLabel() {
        setMinimumWidth(1);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    void setPath(const QString& path) {
        full_ = path;
        // A tooltip guesses whether its text is HTML: one that looks like it is given as such.
        setToolTip(Qt::mightBeRichText(path) ? Qt::convertFromPlainText(path, Qt::WhiteSpaceNoWrap) : path);
        elide();
    }
    QString path() const { return full_; }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(1, contentsRect().width()))); }

    QString full_;
};

// The window of one application. The user closing it only hides it: the application lives
// on until its Server frees it, and the Server may show it again.
class AppWindow final : public QWidget {
public:
    explicit AppWindow(const QString& title) {
        setWindowTitle(title);
        auto* form = new QFormLayout(this);
        form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
        source_ = addPath(form, "Source:", "source");
        output_ = addPath(form, "Output file:", "output");
        state_ = addText(form, "State:", "state");
        bar_ = new QProgressBar;
        bar_->setObjectName("progress");
        bar_->setRange(0, kBarSteps);
        bar_->setValue(0);
        form->addRow(bar_);
        time_ = addText(form, "Media time:", "time");
        size_ = addText(form, "Size:", "size");
        state_->setWordWrap(true);  // an error's whole text, on as many lines as it takes
        state_->setText(QStringLiteral("Waiting for a job"));
        showFigures(0, 0);
        setFixedWidth(kWindowWidth);
        adjustSize();
    }

    void setJob(const QString& source, const QString& output, std::int64_t segmentMs) {
        source_->setPath(source);
        output_->setPath(output);
        segmentMs_ = segmentMs;
        failed_ = false;
        state_->setStyleSheet({});
        // The job's first run states may come before it (they travel on another thread).
        if (runState_ != 0) state_->setText(state_caption(runState_));
        showFigures(0, 0);
        fitHeight();
    }

    void setState(std::int32_t state) {
        runState_ = state;
        // An error stays on show until the next job: the "stopped" that follows it says less.
        if (!failed_) state_->setText(state_caption(state));
        if (state == 5) showFinished();
    }

    void setError(const QString& description) {
        failed_ = true;
        state_->setStyleSheet(QStringLiteral("color: #b00000"));
        state_->setText(QStringLiteral("Error: ") + description);
        fitHeight();
    }

    void setProgress(std::int64_t bytes, std::int64_t mediaMs) {
        // Figures also come while no job runs (before the first, after the last): they would
        // wipe the final ones. Those of a stop in progress are the file's last.
        if (runState_ == 5 && segmentMs_ > 0 && mediaMs >= segmentMs_) showFigures(bytes, mediaMs);
        if (runState_ < 2 || runState_ > 4) return showFinished();
        showFigures(bytes, mediaMs);
    }

    // Puts the window's top-left corner at `wanted`, moved back onto the screen's free area
    // when the window would not fit there (it never leaves a Server's window off screen).
    void place(QPoint wanted) {
        wanted_ = wanted;
        placed_ = true;
        moveOnScreen(wanted_);
    }

    void showWindow(bool visible) {
        if (visible) {
            // The screens may have changed since the Server placed it; and once shown, the
            // window's frame is known on platforms that tell it at once.
            if (placed_) moveOnScreen(wanted_);
            show();
            if (placed_) moveOnScreen(wanted_);
        } else {
            hide();
        }
    }

protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        hide();
    }

private:
    template <class Label>
    Label* add(QFormLayout* form, const char* caption, const char* name) {
        auto* label = new Label;
        label->setObjectName(QString::fromLatin1(name));
        label->setTextFormat(Qt::PlainText);
        form->addRow(QString::fromLatin1(caption), label);
        return label;
    }
    PathLabel* addPath(QFormLayout* form, const char* caption, const char* name) {
        return add<PathLabel>(form, caption, name);
    }
    QLabel* addText(QFormLayout* form, const char* caption, const char* name) {
        return add<QLabel>(form, caption, name);
    }

    // A job that stopped with its whole segment written and no error is finished, not just
    // stopped: what its user wants to know.
    void showFinished() {
        if (runState_ == 5 && !failed_ && segmentMs_ > 0 && bar_->value() == kBarSteps)
            state_->setText(QStringLiteral("Finished"));
    }

    void showFigures(std::int64_t bytes, std::int64_t mediaMs) {
        time_->setText(clock_text(mediaMs) + QStringLiteral(" / ") + clock_text(segmentMs_));
        size_->setText(QStringLiteral("%1 KB").arg(std::max<std::int64_t>(0, bytes) / 1024));
        if (segmentMs_ <= 0) {
            bar_->setValue(0);
            return;
        }
        bar_->setValue(static_cast<int>(std::clamp<std::int64_t>(mediaMs, 0, segmentMs_) * kBarSteps / segmentMs_));
    }

    // A longer or shorter error changes the height; a window grown past the screen's bottom
    // moves up, wherever the user has put it.
    void fitHeight() {
        adjustSize();
        if (isVisible()) moveOnScreen(frameGeometry().topLeft());
    }

    void moveOnScreen(QPoint wanted) {
        QScreen* screen = QGuiApplication::screenAt(wanted);
        if (!screen) screen = QGuiApplication::primaryScreen();
        if (!screen) {
            move(wanted);
            return;
        }
        const QRect area = screen->availableGeometry();
        // The frame's size once the window manager has framed it; the bare window's before.
        const QSize size = frameGeometry().size();
        // Right and bottom edges first, then left and top: a window larger than the screen
        // keeps its title bar reachable.
        const int x = std::max(area.left(), std::min(wanted.x(), area.left() + area.width() - size.width()));
        const int y = std::max(area.top(), std::min(wanted.y(), area.top() + area.height() - size.height()));
        move(x, y);
    }

    PathLabel* source_ = nullptr;
    PathLabel* output_ = nullptr;
    QLabel* state_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* time_ = nullptr;
    QLabel* size_ = nullptr;
    std::int64_t segmentMs_ = 0;
    std::int32_t runState_ = 0;
    bool failed_ = false;
    bool placed_ = false;
    QPoint wanted_;
};

// What the GUI thread keeps of one application. Its window is made by the view's first
// queued call and deleted by its last, both on the GUI thread. Every queued call holds the
// panel rather than the view, so the view may go (on its own thread) while calls are still
// queued; its last call, queued behind them, deletes the window. Should the QApplication end
// first, that call is dropped unrun and the window is left to it: the panel never deletes a
// widget itself, as it may be freed on any thread.
struct Panel {
    QPointer<AppWindow> window;
};

class DesktopView final : public AppView {
public:
    explicit DesktopView(const QString& title) : panel_(std::make_shared<Panel>()) {
        post([title](Panel& p) { p.window = new AppWindow(title); });
    }

    ~DesktopView() override {
        // The window goes with the application, on the GUI thread.
        post([](Panel& p) { delete p.window.data(); });
    }

    void setPlacement(std::int32_t x, std::int32_t y) override {
        update([x, y](AppWindow& w) { w.place(QPoint(x, y)); });
    }
    void setVisible(bool visible) override {
        update([visible](AppWindow& w) { w.showWindow(visible); });
    }
    void job(const std::string& source, const std::string& output, std::int64_t segmentMs) override {
        update([source = plain(source), output = plain(output), segmentMs](AppWindow& w) {
            w.setJob(source, output, segmentMs);
        });
    }
    void state(std::int32_t state) override {
        update([state](AppWindow& w) { w.setState(state); });
    }
    void progress(std::int64_t bytes, std::int64_t mediaMs) override {
        update([bytes, mediaMs](AppWindow& w) { w.setProgress(bytes, mediaMs); });
    }
    void error(const std::string& description) override {
        update([text = QString::fromStdString(platform::readable(description, platform::kShownLine))](AppWindow& w) {
            w.setError(text);
        });
    }

private:
    template <class F>
    void post(F fn) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app, [panel = panel_, fn = std::move(fn)] { fn(*panel); }, Qt::QueuedConnection);
    }
    template <class F>
    void update(F fn) {
        post([fn = std::move(fn)](Panel& p) {
            if (p.window) fn(*p.window);
        });
    }

    std::shared_ptr<Panel> panel_;
};

}  // namespace

std::unique_ptr<AppView> make_desktop_view(const std::string& server, const std::string& app) {
    const auto name = [](const std::string& s) {
        return QString::fromStdString(platform::printable(s, platform::kShownName));
    };
    return std::make_unique<DesktopView>(QStringLiteral("Shardex encoder - %1 for %2").arg(name(app), name(server)));
}

}  // namespace shardex::agent

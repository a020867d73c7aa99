// The picture box that shows video: the preview player's pictures and, while the Server
// encodes with its preview on, the encoder's own. Producers reach it through the picture
// hand-over registry under the handle hWnd().
#pragma once

#include <QImage>
#include <QWidget>
#include <memory>
#include <mutex>

#include "platform/frames/frame_sink.h"

namespace shardex {

class VideoFrameWidget final : public QWidget, public frames::FrameSink {
public:
    explicit VideoFrameWidget(QWidget* parent = nullptr);
    ~VideoFrameWidget() override;

    WindowHandle hWnd() const { return reinterpret_cast<WindowHandle>(this); }

    // Thread-safe: keeps the newest picture and asks for a repaint on the window's thread.
    void present(std::shared_ptr<const frames::VideoFrame> frame) override;

    // Number of pictures shown so far (for tests and the screenshot tool).
    int framesShown() const;
    QImage currentImage() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const frames::VideoFrame> frame_;
    int shown_ = 0;
};

}  // namespace shardex

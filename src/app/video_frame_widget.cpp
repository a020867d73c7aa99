#include "app/video_frame_widget.h"

#include <QMetaObject>
#include <QPainter>

namespace shardex {

VideoFrameWidget::VideoFrameWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    frames::register_sink(hWnd(), this);
}

VideoFrameWidget::~VideoFrameWidget() { frames::unregister_sink(hWnd()); }

void VideoFrameWidget::present(std::shared_ptr<const frames::VideoFrame> frame) {
    {
        std::lock_guard lock(mutex_);
        frame_ = std::move(frame);
        ++shown_;
    }
    QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
}

int VideoFrameWidget::framesShown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

QImage VideoFrameWidget::currentImage() const {
    std::lock_guard lock(mutex_);
    if (!frame_ || frame_->width <= 0 || frame_->height <= 0) return {};
    return QImage(frame_->pixels.data(), frame_->width, frame_->height, frame_->stride, QImage::Format_RGB32).copy();
}

void VideoFrameWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    std::shared_ptr<const frames::VideoFrame> f;
    {
        std::lock_guard lock(mutex_);
        f = frame_;
    }
    if (!f || f->width <= 0 || f->height <= 0) return;
    QImage img(f->pixels.data(), f->width, f->height, f->stride, QImage::Format_RGB32);
    QSize target = img.size().scaled(size(), Qt::KeepAspectRatio);
    QRect r(QPoint((width() - target.width()) / 2, (height() - target.height()) / 2), target);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(r, img);
}

}  // namespace shardex

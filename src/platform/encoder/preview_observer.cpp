#include "platform/encoder/preview_observer.h"

#include <cstring>

namespace shardex::encoder {

PreviewObserver::PreviewObserver(std::vector<std::shared_ptr<DataViewImpl>> views) : views_(std::move(views)) {}
PreviewObserver::~PreviewObserver() = default;

void PreviewObserver::begin(const AVCodecContext* encoder) {
    dec_.reset();
    needKey_ = true;
    nextMedia_ = 0;
    nextWall_ = {};
    began_ = std::chrono::steady_clock::now();
    lastShown_ = {};
    spent_ = {};
    const AVCodec* codec = avcodec_find_decoder(encoder->codec_id);
    if (!codec) return;  // no picture then; the encode itself goes on
    ff::CodecContextPtr dec(avcodec_alloc_context3(codec));
    if (!dec) return;
    dec->width = encoder->width;
    dec->height = encoder->height;
    dec->pix_fmt = encoder->pix_fmt;
    dec->thread_count = 1;
    if (encoder->extradata_size > 0) {
        dec->extradata = static_cast<std::uint8_t*>(av_mallocz(encoder->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!dec->extradata) return;
        std::memcpy(dec->extradata, encoder->extradata, encoder->extradata_size);
        dec->extradata_size = encoder->extradata_size;
    }
    if (avcodec_open2(dec.get(), codec, nullptr) < 0) return;
    dec_ = std::move(dec);
    frame_ = ff::make_frame();
}

bool PreviewObserver::anyStarted() const {
    WindowHandle w;
    frames::ClaimToken t;
    for (const auto& v : views_)
        if (v->target(w, t)) return true;
    return false;
}

void PreviewObserver::packet(const AVPacket* packet, AVRational timeBase) {
    if (!dec_) return;
    if (!anyStarted()) {
        needKey_ = true;  // skipped packets: start again at the next key frame
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool key = packet->flags & AV_PKT_FLAG_KEY;
    const bool withinBudget = spent_ <= (start - began_) * kBudgetShare;
    const bool starved = lastShown_ == std::chrono::steady_clock::time_point{} || start - lastShown_ > std::chrono::seconds(1);
    if (key ? !(withinBudget || starved) : (needKey_ || !withinBudget)) {
        needKey_ = true;  // this packet is skipped, so the next pictures wait for a key frame
        return;
    }
    if (key && needKey_) {
        needKey_ = false;
        avcodec_flush_buffers(dec_.get());
    }
    if (avcodec_send_packet(dec_.get(), packet) < 0) {
        needKey_ = true;
        return;
    }
    while (avcodec_receive_frame(dec_.get(), frame_.get()) >= 0) {
        const std::int64_t pts = frame_->best_effort_timestamp != AV_NOPTS_VALUE ? frame_->best_effort_timestamp : packet->pts;
        const double t = static_cast<double>(pts) * av_q2d(timeBase);
        const auto now = std::chrono::steady_clock::now();
        if (t + 1e-9 >= nextMedia_ && now >= nextWall_) {
            nextMedia_ = t + 1.0 / kMaxPicturesPerSecond;
            nextWall_ = now + std::chrono::microseconds(static_cast<long>(1e6 / kMaxPicturesPerSecond));
            show(frame_.get());
            lastShown_ = now;
        }
        av_frame_unref(frame_.get());
    }
    spent_ += std::chrono::steady_clock::now() - start;
}

void PreviewObserver::show(const AVFrame* f) {
    sws_.reset(sws_getCachedContext(sws_.release(), f->width, f->height, static_cast<AVPixelFormat>(f->format),
                                    f->width, f->height, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws_) return;
    auto pic = std::make_shared<frames::VideoFrame>();
    pic->width = f->width;
    pic->height = f->height;
    pic->stride = f->width * 4;
    pic->pixels.resize(static_cast<std::size_t>(pic->stride) * static_cast<std::size_t>(f->height));
    std::uint8_t* dst[4] = {pic->pixels.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {pic->stride, 0, 0, 0};
    sws_scale(sws_.get(), f->data, f->linesize, 0, f->height, dst, dstStride);
    std::shared_ptr<const frames::VideoFrame> shared = std::move(pic);
    for (const auto& v : views_) {
        WindowHandle w;
        frames::ClaimToken t;
        if (v->target(w, t)) frames::present(w, t, shared);
    }
}

void PreviewObserver::end() {
    dec_.reset();
    sws_.reset();
}

}  // namespace shardex::encoder

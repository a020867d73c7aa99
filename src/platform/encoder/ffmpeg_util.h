// Owning handles for FFmpeg objects and the error texts built from FFmpeg's return codes.
#pragma once

#include <memory>
#include <new>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace shardex::encoder::ff {

struct InputFormatDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// An output context owns its AVIOContext too: it is closed with the context.
struct OutputFormatDeleter {
    void operator()(AVFormatContext* c) const {
        if (c == nullptr) return;
        if (c->pb != nullptr && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
// An I/O context over callbacks of ours frees its buffer (FFmpeg may have replaced the one
// it was given) and itself.
struct CustomIoDeleter {
    void operator()(AVIOContext* c) const {
        if (c == nullptr) return;
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
};
// One opened by avio_open2 closes its resource too.
struct OpenedIoDeleter {
    void operator()(AVIOContext* c) const { avio_closep(&c); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using CustomIoPtr = std::unique_ptr<AVIOContext, CustomIoDeleter>;
using OpenedIoPtr = std::unique_ptr<AVIOContext, OpenedIoDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// Options handed to an FFmpeg call, which takes the dictionary by address and leaves in it
// what it did not use.
struct Dictionary {
    AVDictionary* d = nullptr;
    Dictionary() = default;
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    ~Dictionary() { av_dict_free(&d); }
    void set(const char* key, const char* value) {
        if (av_dict_set(&d, key, value, 0) < 0) throw std::bad_alloc();
    }
};

// FFmpeg's own text for a return code ("No such file or directory", "Invalid data found...").
inline std::string error_text(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, buf, sizeof buf) < 0) return "error " + std::to_string(code);
    return buf;
}

inline FramePtr make_frame() {
    FramePtr f(av_frame_alloc());
    if (!f) throw std::bad_alloc();
    return f;
}

inline PacketPtr make_packet() {
    PacketPtr p(av_packet_alloc());
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace shardex::encoder::ff

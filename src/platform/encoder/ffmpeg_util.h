// Owning handles for FFmpeg objects and the error texts built from FFmpeg's return codes.
#pragma once

#include <cstdint>
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
struct CodecParametersDeleter {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
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
using OpenedIoPtr = std::unique_ptr<AVIOContext, OpenedIoDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// ---- The differences between the FFmpeg versions we build with (5.1 on Debian 12, 7.1 on
// Debian 13), in this one place. ----

// The buffer an AVIO write callback is handed: const from libavformat 61.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WriteBuffer = const std::uint8_t*;
#else
using WriteBuffer = std::uint8_t*;
#endif

// A decoded frame's duration in its stream's time base (0 when unknown): `duration` from
// libavutil 57.30, `pkt_duration` (removed in 59) before it.
inline std::int64_t frame_duration(const AVFrame& f) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return f.duration;
#else
    return f.pkt_duration;
#endif
}

// The encoder's preferred sample format, `fallback` when it names none.
inline AVSampleFormat preferred_sample_format(const AVCodec& codec, AVSampleFormat fallback) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
    const void* formats = nullptr;
    int count = 0;
    if (avcodec_get_supported_config(nullptr, &codec, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &formats, &count) < 0 ||
        formats == nullptr || count <= 0)
        return fallback;
    return static_cast<const AVSampleFormat*>(formats)[0];
#else
    return codec.sample_fmts ? codec.sample_fmts[0] : fallback;
#endif
}

// An I/O context frees its buffer (FFmpeg may have replaced the one it was given) and itself.
struct AvioDeleter {
    void operator()(AVIOContext* c) const {
        if (c == nullptr) return;
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
};
using AvioPtr = std::unique_ptr<AVIOContext, AvioDeleter>;

// The callbacks of an I/O context over a reader or a writer of our own, handed `opaque`.
using ReadCallback = int (*)(void* opaque, std::uint8_t* buf, int size);
using WriteCallback = int (*)(void* opaque, WriteBuffer buf, int size);
using SeekCallback = std::int64_t (*)(void* opaque, std::int64_t offset, int whence);

// An I/O context with a buffer of `size` bytes that reads (`writable` false) or writes through
// the callbacks given (null where unused). Throws std::bad_alloc.
inline AvioPtr make_avio(int size, bool writable, void* opaque, ReadCallback read, WriteCallback write,
                         SeekCallback seek) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(static_cast<std::size_t>(size)));
    if (!buffer) throw std::bad_alloc();
    AvioPtr io(avio_alloc_context(buffer, size, writable ? 1 : 0, opaque, read, write, seek));
    if (!io) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    return io;
}

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

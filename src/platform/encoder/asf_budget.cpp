#include "platform/encoder/asf_budget.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/opt.h>
}

namespace shardex::encoder {
namespace {

// An output that keeps nothing and counts: the furthest byte written. The muxer seeks back
// to complete its header, so the position is followed like a file's.
struct ByteCounter {
    std::int64_t pos = 0;
    std::int64_t end = 0;

    static int write(void* opaque, ff::WriteBuffer, int n) {
        auto* c = static_cast<ByteCounter*>(opaque);
        c->pos += n;
        c->end = std::max(c->end, c->pos);
        return n;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* c = static_cast<ByteCounter*>(opaque);
        switch (whence & ~AVSEEK_FORCE) {
            case AVSEEK_SIZE: return c->end;
            case SEEK_SET: break;
            case SEEK_CUR: offset += c->pos; break;
            case SEEK_END: offset += c->end; break;
            default: return AVERROR(EINVAL);
        }
        if (offset < 0) return AVERROR(EINVAL);
        c->pos = offset;
        return offset;
    }
};

// A muxer writing through an I/O context it does not own: the context is detached before
// the muxer is freed (the output deleter would close it as a file).
struct ScratchMuxerDeleter {
    void operator()(AVFormatContext* c) const {
        if (c == nullptr) return;
        c->pb = nullptr;
        avformat_free_context(c);
    }
};
using ScratchMuxerPtr = std::unique_ptr<AVFormatContext, ScratchMuxerDeleter>;

}  // namespace

double asf_overhead_bps(const MuxedStreams& m, double seconds, int packetSize) {
    seconds = std::clamp(seconds, 1.0, kLongestMeasuredSeconds);
    const AVOutputFormat* asf = av_guess_format("asf", nullptr, nullptr);
    if (!asf) return 0;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, asf, nullptr, nullptr) < 0 || !raw) return 0;
    ScratchMuxerPtr mux(raw);
    if (packetSize > 0 && av_opt_set_int(mux->priv_data, "packet_size", packetSize, 0) < 0) return 0;
    ByteCounter counter;
    ff::AvioPtr io = ff::make_avio(4096, true, &counter, nullptr, &ByteCounter::write, &ByteCounter::seek);
    mux->pb = io.get();
    mux->flags |= AVFMT_FLAG_CUSTOM_IO;

    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    if (m.videoCodec != AV_CODEC_ID_NONE) {
        vst = avformat_new_stream(mux.get(), nullptr);
        if (!vst) throw std::bad_alloc();
        vst->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        vst->codecpar->codec_id = m.videoCodec;
        vst->codecpar->width = m.width;
        vst->codecpar->height = m.height;
        vst->codecpar->format = AV_PIX_FMT_YUV420P;
        vst->codecpar->bit_rate = m.videoBitRate;
        vst->time_base = av_inv_q(m.fps);
    }
    if (m.audio) {
        ast = avformat_new_stream(mux.get(), nullptr);
        if (!ast) throw std::bad_alloc();
        if (avcodec_parameters_from_context(ast->codecpar, m.audio) < 0) return 0;
        ast->time_base = m.audio->time_base;
    }
    if (m.metadata) {
        auto set = [&](const char* key, const std::string& v) {
            if (!v.empty()) av_dict_set(&mux->metadata, key, v.c_str(), 0);
        };
        set("title", m.metadata->title);
        set("author", m.metadata->author);
        set("copyright", m.metadata->copyright);
        set("comment", m.metadata->description);
    }
    if (avformat_write_header(mux.get(), nullptr) < 0) return 0;

    // Video frames of the mean size at the frame rate, audio frames as the encoder makes
    // them, handed over in time order as the transcoder interleaves them.
    const int frameBytes = vst ? static_cast<int>(std::max<std::int64_t>(
                                     1, static_cast<std::int64_t>(std::llround(m.videoBitRate / av_q2d(m.fps) / 8))))
                               : 0;
    const int audioBytes = m.audio ? std::max(1, m.audio->block_align) : 0;
    const int audioFrame = m.audio && m.audio->frame_size > 0 ? m.audio->frame_size : 2048;
    const std::int64_t videoFrames = vst ? static_cast<std::int64_t>(std::ceil(seconds * av_q2d(m.fps))) : 0;
    const std::int64_t audioFrames =
        ast ? static_cast<std::int64_t>(std::ceil(seconds * m.audio->sample_rate / audioFrame)) : 0;
    const AVRational vtb = av_inv_q(m.fps);
    const AVRational atb = m.audio ? AVRational{1, m.audio->sample_rate} : AVRational{1, 1};
    ff::PacketPtr pkt = ff::make_packet();
    std::int64_t payload = 0;
    for (std::int64_t v = 0, a = 0; v < videoFrames || a < audioFrames;) {
        const bool video = v < videoFrames && (a >= audioFrames || av_compare_ts(v, vtb, a * audioFrame, atb) <= 0);
        const int size = video ? frameBytes : audioBytes;
        if (av_new_packet(pkt.get(), size) < 0) throw std::bad_alloc();
        std::memset(pkt->data, 0, static_cast<std::size_t>(size));
        AVStream* st = video ? vst : ast;
        pkt->stream_index = st->index;
        pkt->pts = pkt->dts = video ? av_rescale_q(v, vtb, st->time_base) : av_rescale_q(a * audioFrame, atb, st->time_base);
        pkt->duration = video ? av_rescale_q(1, vtb, st->time_base) : av_rescale_q(audioFrame, atb, st->time_base);
        if (!video || v % std::max(1, m.gop) == 0) pkt->flags |= AV_PKT_FLAG_KEY;
        (video ? v : a)++;
        payload += size;
        const int rc = av_write_frame(mux.get(), pkt.get());
        av_packet_unref(pkt.get());
        if (rc < 0) return 0;
    }
    if (av_write_trailer(mux.get()) < 0) return 0;
    avio_flush(io.get());
    return static_cast<double>(std::max<std::int64_t>(0, counter.end - payload)) * 8.0 / seconds;
}

int asf_default_packet_size() {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr) < 0 || !raw) return 0;
    ScratchMuxerPtr mux(raw);
    std::int64_t size = 0;
    if (!mux->priv_data || av_opt_get_int(mux->priv_data, "packet_size", 0, &size) < 0) return 0;
    return static_cast<int>(size);
}

// The last packet is padded out too, which weighs on a short file. Of the sizes up to the
// muxer's own and down by a frame and its headers (one of them holds a whole number of
// frames), and more coarsely down to half of it, the one that costs least over the sound's
// length, measured with the muxer; 0 when nothing does better than the muxer's own.
int packet_size_for_sound(const AVCodecContext& audio, const Metadata& metadata, double seconds) {
    const int standard = asf_default_packet_size();
    if (standard <= 0) return 0;
    MuxedStreams m;
    m.audio = &audio;
    m.metadata = &metadata;
    constexpr int kFrameHeadersBytes = 64;  // more than a payload's and a packet's headers
    constexpr int kCoarseStep = 8;
    const double kSeconds = std::clamp(seconds > 0 ? seconds : 30.0, 1.0, 30.0);
    int best = 0;
    double bestCost = asf_overhead_bps(m, kSeconds);
    if (bestCost <= 0) return 0;
    const int window = std::max(standard / 2, standard - std::max(1, audio.block_align) - kFrameHeadersBytes);
    for (int size = standard - 1; size >= standard / 2; size -= size > window ? 1 : kCoarseStep) {
        const double cost = asf_overhead_bps(m, kSeconds, size);
        if (cost > 0 && cost < bestCost) {
            bestCost = cost;
            best = size;
        }
    }
    return best;
}

// The container's share grows with the video's packets, so it is worked out twice.
std::int64_t video_budget(std::int64_t profileRate, MuxedStreams m, double seconds) {
    std::int64_t budget = profileRate;
    for (int i = 0; i < 2; ++i) {
        m.videoBitRate = budget;
        const double cost = asf_overhead_bps(m, seconds > 0 ? seconds : kLongestMeasuredSeconds);
        budget = std::max(profileRate / 10, profileRate - static_cast<std::int64_t>(std::llround(cost)));
    }
    return budget;
}

bool final_pass_reachable(const AVCodecContext& c, std::string_view passStats) {
    const double fpsValue = av_q2d(c.framerate.num > 0 ? c.framerate : av_inv_q(c.time_base));
    if (c.bit_rate <= 0 || fpsValue <= 0 || c.qmax <= 0) return true;
    const double coarsest = static_cast<double>(c.qmax) * FF_QP2LAMBDA;
    double floorBits = 0;
    std::int64_t frames = 0;
    for (std::size_t at = 0; at < passStats.size();) {
        std::size_t end = passStats.find(';', at);
        if (end == std::string_view::npos) end = passStats.size();
        const std::string entry(passStats.substr(at, end - at));
        at = end + 1;
        int type = 0, itex = 0, ptex = 0, mv = 0, misc = 0;
        float q = 0;
        if (std::sscanf(entry.c_str(), " in:%*d out:%*d type:%d q:%f itex:%d ptex:%d mv:%d misc:%d", &type, &q, &itex,
                        &ptex, &mv, &misc) != 6)
            continue;
        const double keyScale = type == AV_PICTURE_TYPE_I ? std::fabs(c.i_quant_factor) : 1.0;
        const double qLimit = std::max(1.0, coarsest * (keyScale > 0 ? keyScale : 1.0) + c.i_quant_offset);
        floorBits += static_cast<double>(q) * (itex + ptex + 1.0) / qLimit + mv + misc;
        ++frames;
    }
    if (frames == 0) return true;
    const double available = static_cast<double>(c.bit_rate) * static_cast<double>(frames) / fpsValue;
    return available >= floorBits * kFinalPassHeadroom;
}

}  // namespace shardex::encoder

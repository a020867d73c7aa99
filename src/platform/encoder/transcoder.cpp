#include "platform/encoder/transcoder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include "platform/encoder/errors.h"
#include "platform/encoder/source_input.h"

namespace shardex::encoder {
namespace {

[[noreturn]] void fail(const std::string& what, std::int32_t code) { throw Error(what, code); }

std::string in_quotes(const std::string& s) { return "'" + s + "'"; }

// Why writing the output failed, in words a user acts on: a full disk (or a used-up quota)
// says so first, since the user then frees room rather than looks for a broken file.
std::string write_failure(const std::string& what, const std::string& path, int rc) {
    const std::string text = what + " " + in_quotes(path) + ": " + ff::error_text(rc);
    if (rc == AVERROR(ENOSPC) || rc == AVERROR(EDQUOT)) return "the disk is full: " + text;
    return text;
}

// The profile's frame rate as an exact rational: the NTSC family (29.97 and friends) maps
// to n*1000/1001 so that timestamps stay exact.
AVRational frame_rate_of(int thousandths) {
    for (int n : {24, 30, 48, 60, 120}) {
        if (thousandths == static_cast<int>(std::lround(n * 1000.0 * 1000.0 / 1001.0))) return {n * 1000, 1001};
    }
    AVRational r{thousandths, 1000};
    av_reduce(&r.num, &r.den, r.num, r.den, 1 << 30);
    return r;
}

using AvioPtr = ff::CustomIoPtr;

// The output file, written through a descriptor of our own rather than FFmpeg's file
// protocol: the file is created only when the header is written, the encode knows whether
// it created the file (and so may remove it when no header got into it), and a link in the
// output's place can be refused at the moment the file is opened.
struct OutputSink {
    int fd = -1;

    static int write(void* opaque, std::uint8_t* buf, int size) {
        auto* o = static_cast<OutputSink*>(opaque);
        int done = 0;
        while (done < size) {
            const ssize_t n = ::write(o->fd, buf + done, static_cast<std::size_t>(size - done));
            if (n < 0) {
                if (errno == EINTR) continue;
                return AVERROR(errno);
            }
            done += static_cast<int>(n);
        }
        return size;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* o = static_cast<OutputSink*>(opaque);
        whence &= ~AVSEEK_FORCE;
        if (whence == AVSEEK_SIZE) {
            struct stat st {};
            return ::fstat(o->fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : AVERROR(errno);
        }
        const off_t at = ::lseek(o->fd, static_cast<off_t>(offset), whence);
        return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
    }
};

// One demuxer reading one stream of a source file (the other streams are discarded so the
// demuxer skips their data).
struct Input {
    std::string path;
    std::unique_ptr<Demuxer> demux;
    int stream = -1;
    ff::CodecContextPtr dec;
    AVRational tb{1, 1};
    std::int64_t startPts = 0;  // the source's time origin in `tb`: shared by all its streams
    bool done = false;
    double clock = 0;  // seconds of the last packet read; the input behind is read first

    // Containers such as AVI carry only decode times, so the decoder's guess at a reordered
    // (B-frame) picture's time is the decode time of the later packet that released it. Such
    // a stream is timed by that decode time less the decoder's reordering delay, which holds
    // even where the decoder drops pictures it cannot decode after a seek (open GOPs); a
    // picture without one follows the last by a frame.
    bool firstPacket = true;                 // the next packet read is the first after a seek
    bool decodeTimed = false;                // timed by decode times, not presentation times
    std::int64_t lastTs = AV_NOPTS_VALUE;    // the last picture's time (decode-timed)
    std::int64_t frameTicks = 0;             // one picture's duration in `tb`

    AVFormatContext* fmt() const { return demux ? demux->fmt() : nullptr; }
    AVStream* st() const { return fmt()->streams[stream]; }
};

constexpr int kAvioBufferBytes = 64 << 10;

// Thrown where a stop ended a source's read in the middle of a step: the encode ends as
// stopped.
struct ReadingStopped {};

// Opens `path` for its best stream of `type`; returns an Input without a stream (-1) when
// the file has none.
Input open_input(const std::string& path, const std::shared_ptr<ByteSource>& source, AVMediaType type,
                 const OpenBounds& bounds, int threads) {
    Input in;
    in.path = path;
    in.demux = open_demuxer(path, source, bounds);
    int idx = av_find_best_stream(in.fmt(), type, -1, -1, nullptr, 0);
    if (idx < 0) return in;
    in.stream = idx;
    for (unsigned i = 0; i < in.fmt()->nb_streams; ++i)
        in.fmt()->streams[i]->discard = static_cast<int>(i) == idx ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* st = in.st();
    in.tb = st->time_base;
    // Every stream of a file is timed from the file's start (the earliest of its streams), so
    // a sound that starts later than the picture stays behind it by the same amount.
    if (in.fmt()->start_time != AV_NOPTS_VALUE) in.startPts = av_rescale_q(in.fmt()->start_time, AV_TIME_BASE_Q, in.tb);
    else in.startPts = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    if (type == AVMEDIA_TYPE_VIDEO) {
        AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        if (rate.num > 0 && rate.den > 0) in.frameTicks = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), in.tb));
    }
    const char* kind = type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec)
        fail(std::string("cannot decode the ") + kind + " of " + in_quotes(path) + ": no decoder for " +
                 avcodec_get_name(st->codecpar->codec_id),
             errors::kSourceUnreadable);
    in.dec.reset(avcodec_alloc_context3(codec));
    if (!in.dec) throw std::bad_alloc();
    int rc = avcodec_parameters_to_context(in.dec.get(), st->codecpar);
    if (rc >= 0) {
        in.dec->thread_count = threads;
        in.dec->pkt_timebase = st->time_base;
        rc = avcodec_open2(in.dec.get(), codec, nullptr);
    }
    if (rc < 0)
        fail(std::string("cannot decode the ") + kind + " of " + in_quotes(path) + ": " + ff::error_text(rc),
             errors::kSourceUnreadable);
    if (type == AVMEDIA_TYPE_VIDEO && (in.dec->width <= 0 || in.dec->height <= 0))
        fail("cannot read source " + in_quotes(path) + ": the video has no frame size", errors::kSourceUnreadable);
    return in;
}

std::int64_t duration_ms_of(const AVFormatContext* fmt) {
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) return fmt->duration / 1000;
    std::int64_t best = 0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            best = std::max(best, av_rescale_q(st->duration, st->time_base, {1, 1000}));
    }
    return best;
}

// ---- what the ASF container adds to the encoders' bits ----

// An output that keeps nothing and counts: the furthest byte written. The muxer seeks back
// to complete its header, so the position is followed like a file's.
struct ByteCounter {
    std::int64_t pos = 0;
    std::int64_t end = 0;

#if LIBAVFORMAT_VERSION_MAJOR >= 61
    static int write(void* opaque, const std::uint8_t*, int n) {
#else
    static int write(void* opaque, std::uint8_t*, int n) {
#endif
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

// The streams of an output as the container sees them.
struct MuxedStreams {
    AVCodecID videoCodec = AV_CODEC_ID_NONE;  // none: no video stream
    int width = 0, height = 0;
    AVRational fps{30, 1};
    int gop = 1;
    std::int64_t videoBitRate = 0;
    const AVCodecContext* audio = nullptr;  // an opened audio encoder; null: no audio stream
    const Metadata* metadata = nullptr;
};

// The longest stretch muxed to measure the container's cost: a longer segment costs the same
// per second, less its (spread) fixed part.
constexpr double kLongestMeasuredSeconds = 120;

// What the ASF muxer adds, in bits per second, to the encoders' own bits over `seconds` of
// media: its header objects, each packet's header, each payload's header, the padding of a
// packet that an audio frame did not fit, the part-filled last packet and the index. It is
// measured by muxing stand-in packets of the expected sizes (video frames of the mean size,
// the audio encoder's fixed-size frames) into an output that only counts bytes, so it
// follows the muxer's own packet size and layout rather than a table of our own. Returns 0
// when the muxer cannot be run (the budget is then the bare profile rate).
// `packetSize` 0 leaves the muxer's own packet size.
double asf_overhead_bps(const MuxedStreams& m, double seconds, int packetSize = 0) {
    seconds = std::clamp(seconds, 1.0, kLongestMeasuredSeconds);
    const AVOutputFormat* asf = av_guess_format("asf", nullptr, nullptr);
    if (!asf) return 0;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, asf, nullptr, nullptr) < 0 || !raw) return 0;
    ScratchMuxerPtr mux(raw);
    if (packetSize > 0 && av_opt_set_int(mux->priv_data, "packet_size", packetSize, 0) < 0) return 0;
    ByteCounter counter;
    constexpr int kBufferBytes = 4096;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
    if (!buffer) throw std::bad_alloc();
    AvioPtr io(avio_alloc_context(buffer, kBufferBytes, 1, &counter, nullptr, &ByteCounter::write, &ByteCounter::seek));
    if (!io) {
        av_free(buffer);
        throw std::bad_alloc();
    }
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

// The ASF muxer's own packet size (0 when it cannot be read).
int asf_default_packet_size() {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr) < 0 || !raw) return 0;
    ScratchMuxerPtr mux(raw);
    std::int64_t size = 0;
    if (!mux->priv_data || av_opt_get_int(mux->priv_data, "packet_size", 0, &size) < 0) return 0;
    return static_cast<int>(size);
}

// The packet size for a file of sound alone from the audio encoder `audio`: ASF packets are
// fixed-size and a packet an audio frame does not fit is padded out, so at the muxer's own
// size a stream of large frames pays up to a frame's worth of padding a packet (128 Kbps
// stereo: 8% of the file), and the last packet is padded out too, which weighs on a short
// file. Of the sizes up to the muxer's own and down by a frame and its headers (one of them
// holds a whole number of frames), and more coarsely down to half of it, the one that costs
// least over `seconds` of sound, measured with the muxer; 0 (keep the muxer's) when nothing
// does better.
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

}  // namespace

struct Transcoder::Impl {
    TranscodeSettings s;
    Input video, audio;
    bool silentAudio = false;  // the profile wants audio but the source has none
    std::int64_t durationMs = 0;
    ff::OutputFormatPtr out;   // its pb, while the output is open, is outIo
    OutputSink sink;
    AvioPtr outIo;
    bool createdOutput = false;  // this encode created the output file (it did not exist)

    // Per run.
    ff::CodecContextPtr venc, aenc;
    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    std::string passStats;   // analysis pass output, read by the final pass
    bool analysis = false;   // running the analysis pass (nothing is written)
    bool headerWritten = false;
    std::int64_t markIn = 0, markOut = 0;  // ms; markOut 0 = to the end
    bool emptySegment = false;             // a mark-out at or before the mark-in: nothing to encode
    AVRational fps{30, 1};
    const RunControl* control = nullptr;
    LiveFigures* figures = nullptr;
    ff::PacketPtr pkt = ff::make_packet();
    ff::FramePtr decoded = ff::make_frame();

    // Video timing: slot n of the output shows source time anchor + n / fps, the anchor being
    // the first source frame of the segment, so a source at the profile's rate maps one to
    // one. The output's time zero is the mark-in: slot n is shown at
    // (anchor - mark-in) + n / fps, so a mark-in between two frames keeps picture and sound
    // together.
    std::int64_t nextSlot = 0;
    double anchor = -1;  // seconds of source time; < 0 until the first frame
    std::int64_t videoOffsetUs = 0;  // anchor - mark-in
    ff::FramePtr held;          // latest source frame not yet superseded
    ff::FramePtr heldScaled;    // `held` converted to the encoder's format, made on first use
    double lastPos = -1, lastDur = 0;  // in output frame units
    bool videoEnded = false;    // a frame at or past mark-out was seen
    ff::SwsPtr sws;
    int swsW = 0, swsH = 0, swsFmt = -1;

    // Audio.
    ff::SwrPtr swr;
    ff::AudioFifoPtr fifo;
    std::int64_t audioWritten = 0;     // samples handed to the encoder (output rate)
    // Source position (input samples from the time origin) where the segment's sound has
    // reached; the next frame's samples go there.
    std::int64_t audioNext = AV_NOPTS_VALUE;
    bool audioStarted = false;
    std::vector<std::uint8_t> convBuf;

    // ---- set-up ----

    void open(const TranscodeSettings& settings) {
        s = settings;
        const ProfileData& p = s.profile;
        if (p.audiences.empty()) fail("profile " + in_quotes(p.name) + " has no audience", errors::kBadProfile);
        // One opener answer per path: the video and audio demuxers of one file share its
        // ByteSource, and so its cache.
        std::map<std::string, std::shared_ptr<ByteSource>> sources;
        // Both sources are open within one limit, whichever of them takes its time.
        const OpenBounds bounds{s.interrupt.get(), s.openLimit, std::chrono::steady_clock::now() + s.openLimit};
        auto source_of = [&](const std::string& path) -> std::shared_ptr<ByteSource> {
            if (!s.openInput) return nullptr;
            auto it = sources.find(path);
            if (it == sources.end()) it = sources.emplace(path, open_source(path)).first;
            return it->second;
        };
        if (p.hasVideo()) {
            if (s.videoPath.empty()) fail("no input set for the video source", errors::kBadConfiguration);
            video = open_input(s.videoPath, source_of(s.videoPath), AVMEDIA_TYPE_VIDEO, bounds, s.decodeThreads);
            if (video.stream < 0) fail("source " + in_quotes(s.videoPath) + " has no video", errors::kSourceUnreadable);
            durationMs = duration_ms_of(video.fmt());
        }
        if (p.hasAudio()) {
            std::string path = s.audioPath.empty() ? s.videoPath : s.audioPath;
            if (path.empty()) fail("no input set for the audio source", errors::kBadConfiguration);
            audio = open_input(path, source_of(path), AVMEDIA_TYPE_AUDIO, bounds, s.decodeThreads);
            if (audio.stream < 0) {
                if (!p.hasVideo()) fail("source " + in_quotes(path) + " has no audio", errors::kSourceUnreadable);
                silentAudio = true;
                audio = Input{};
            }
            if (!p.hasVideo()) durationMs = duration_ms_of(audio.fmt());
        }
        // Sources interrupted as their open ended have nothing left to read.
        if (s.interrupt && s.interrupt->triggered())
            fail("cannot open source " + in_quotes(s.videoPath.empty() ? s.audioPath : s.videoPath) +
                     ": reading it was stopped",
                 errors::kSourceUnreadable);
        for (Input* in : {&video, &audio})
            if (in->demux) in->demux->endOpenLimit();
        // Try the encoders now so that a profile they refuse fails here, not mid-encode.
        if (p.hasVideo()) open_video_encoder(0);
        if (p.hasAudio()) open_audio_encoder();
        venc.reset();
        aenc.reset();

        AVFormatContext* raw = nullptr;
        int rc = avformat_alloc_output_context2(&raw, nullptr, "asf", s.outputPath.c_str());
        if (rc < 0 || !raw) fail("cannot set up the output: " + ff::error_text(rc), errors::kInternal);
        out.reset(raw);
        out->flags |= AVFMT_FLAG_CUSTOM_IO;
        check_output_can_be_created();
    }

    ~Impl() {
        // The output context must not close our I/O context as if FFmpeg had opened it.
        if (out) out->pb = nullptr;
        if (sink.fd >= 0) ::close(sink.fd);
    }

    [[noreturn]] void output_unavailable(int err) const {
        fail(write_failure("cannot create output file", s.outputPath, AVERROR(err)), errors::kOutputUnavailable);
    }

    [[noreturn]] void output_is_link() const {
        fail("cannot create output file " + in_quotes(s.outputPath) + ": it is a link, and an output is never written "
             "through a link",
             errors::kOutputUnavailable);
    }

    // Checks that the output file can be made (its folder exists and may be written, the name
    // is not a folder) without creating it or touching a file of that name: the file is
    // created when the header is written, so a prepare that is never started, or an encode
    // that fails before its header, leaves nothing behind and an existing file as it was.
    void check_output_can_be_created() const {
        const std::filesystem::path path(s.outputPath);
        const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0) output_unavailable(errno);
        if (!S_ISDIR(st.st_mode)) output_unavailable(ENOTDIR);
        if (::access(folder.c_str(), W_OK | X_OK) != 0) output_unavailable(errno);
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) output_unavailable(errno);
            return;
        }
        if (S_ISLNK(st.st_mode) && s.refuseLinkedOutput) output_is_link();
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) output_unavailable(EISDIR);
        if (::access(path.c_str(), W_OK) != 0) output_unavailable(errno);
    }

    // Opens the output for writing: created when it does not exist (and remembered as ours),
    // else truncated.
    void create_output() {
        const int flags = O_WRONLY | O_CLOEXEC | (s.refuseLinkedOutput ? O_NOFOLLOW : 0);
        int fd = ::open(s.outputPath.c_str(), flags | O_CREAT | O_EXCL, 0666);
        createdOutput = fd >= 0;
        if (fd < 0 && errno == EEXIST) fd = ::open(s.outputPath.c_str(), flags | O_TRUNC);
        if (fd < 0) {
            if (errno == ELOOP && s.refuseLinkedOutput) output_is_link();
            output_unavailable(errno);
        }
        sink.fd = fd;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kAvioBufferBytes));
        if (!buffer) throw std::bad_alloc();
        outIo.reset(avio_alloc_context(buffer, kAvioBufferBytes, 1, &sink, nullptr, &OutputSink::write, &OutputSink::seek));
        if (!outIo) {
            av_free(buffer);
            throw std::bad_alloc();
        }
        out->pb = outIo.get();
    }

    // Closes the output; returns the errno of a failed close (0 when it went well).
    int close_output() {
        if (out) out->pb = nullptr;
        outIo.reset();
        int err = 0;
        if (sink.fd >= 0 && ::close(sink.fd) != 0) err = errno;
        sink.fd = -1;
        return err;
    }

    // After a failure before the header: a file this encode created holds nothing readable
    // and goes; one that was there before is left.
    void discard_output() {
        const bool open = sink.fd >= 0;
        close_output();
        if (open && createdOutput) ::unlink(s.outputPath.c_str());
        createdOutput = false;
    }

    // The opener's ByteSource for `path` (null: a local file). Its refusals keep their own
    // text and gain the source's code.
    std::shared_ptr<ByteSource> open_source(const std::string& path) {
        try {
            return s.openInput(path);
        } catch (const Error& e) {
            if (e.code() != 0) throw;
            fail("cannot open source " + in_quotes(path) + ": " + e.what(), errors::kSourceUnreadable);
        }
    }

    // ---- rate budget ----

    // Seconds of media this run writes: the segment, or the whole source before the marks
    // are known. 0 when not known.
    double segment_seconds() const {
        const std::int64_t end = markOut > 0 ? markOut : durationMs;
        return end > markIn ? static_cast<double>(end - markIn) / 1000.0 : 0.0;
    }

    // The container's cost in bits per second for this profile's streams, with video at
    // `videoRate` and audio from the opened encoder `audio` (null: no audio stream).
    double container_bps(std::int64_t videoRate, const AVCodecContext* audio) const {
        const ProfileData& p = s.profile;
        const AudienceData& a = p.audiences.front();
        MuxedStreams m;
        if (p.hasVideo()) {
            m.videoCodec = a.videoCodec == 1 ? AV_CODEC_ID_WMV1 : AV_CODEC_ID_WMV2;
            m.width = a.width;
            m.height = a.height;
            m.fps = frame_rate_of(a.fps);
            m.gop = std::max(1, static_cast<int>(std::lround(av_q2d(m.fps) * a.keyframeMs / 1000.0)));
            m.videoBitRate = videoRate;
        }
        m.audio = audio;
        m.metadata = &s.metadata;
        const double seconds = segment_seconds();
        return asf_overhead_bps(m, seconds > 0 ? seconds : kLongestMeasuredSeconds);
    }

    // The rate the video encoder is given for the profile's video rate `profileRate`: what
    // is left once the container has taken its share, so that the file as a whole (the
    // sound, the pictures and the ASF packets around them) keeps to the profile's total. The
    // share grows with the video's packets, so it is worked out twice. Never below a tenth
    // of the profile's rate, which no real container cost comes near.
    std::int64_t video_budget(std::int64_t profileRate) {
        ff::CodecContextPtr audio;
        if (s.profile.hasAudio()) audio = make_audio_encoder(s.profile.audiences.front().audioBitrate);
        std::int64_t budget = profileRate;
        for (int i = 0; i < 2; ++i) {
            const double cost = container_bps(budget, audio.get());
            budget = std::max(profileRate / 10, profileRate - static_cast<std::int64_t>(std::llround(cost)));
        }
        return budget;
    }

    // Rate control aims this much under a ceiling it must not pass: the buffer model then
    // has room to absorb a hard scene without the encoder being asked for a mean equal to
    // its peak, which FFmpeg's rate control cannot reach ("impossible bitrate constraints").
    static std::int64_t aim_under(std::int64_t ceiling) { return ceiling - std::max<std::int64_t>(1, ceiling / 50); }

    // How far the rate must clear the analysed floor for a final pass to be worth running.
    // FFmpeg's two-pass model takes a frame's texture bits as inversely proportional to its
    // quantiser, which flatters the coarsest quantisers: a final pass given less than half as
    // much again as that floor misses its buffer ("rc buffer underflow", dozens of times in
    // ten seconds at dial-up rates), where one pass at the coarsest quantiser does not.
    static constexpr double kFinalPassHeadroom = 1.5;

    // Whether the final pass can keep `c`'s bit rate over the analysed frames: the bits the
    // analysis pass's statistics give every frame at the largest quantiser (key frames at
    // theirs) fit the rate with the headroom above. The motion and header bits do not shrink.
    bool final_pass_reachable(const AVCodecContext& c) const {
        const double fpsValue = av_q2d(c.framerate.num > 0 ? c.framerate : av_inv_q(c.time_base));
        if (c.bit_rate <= 0 || fpsValue <= 0 || c.qmax <= 0) return true;
        const double coarsest = static_cast<double>(c.qmax) * FF_QP2LAMBDA;
        double floorBits = 0;
        std::int64_t frames = 0;
        for (std::size_t at = 0; at < passStats.size();) {
            std::size_t end = passStats.find(';', at);
            if (end == std::string::npos) end = passStats.size();
            const std::string entry = passStats.substr(at, end - at);
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

    // pass: 0 one pass, 1 analysis pass, 2 final pass of two.
    void open_video_encoder(int pass) {
        const AudienceData& a = s.profile.audiences.front();
        AVCodecID id = a.videoCodec == 1 ? AV_CODEC_ID_WMV1 : AV_CODEC_ID_WMV2;
        const AVCodec* codec = avcodec_find_encoder(id);
        if (!codec) fail(std::string("no encoder for ") + video_codec_name(a.videoCodec), errors::kEncodeFailed);
        // Worked out before the encoder is allocated: it opens encoders of its own.
        const bool rated = s.profile.videoMode != kModeVbrQuality;
        const std::int64_t budget = rated ? video_budget(a.videoBitrate) : a.videoBitrate;
        const std::int64_t containerShare = a.videoBitrate - budget;
        venc.reset(avcodec_alloc_context3(codec));
        if (!venc) throw std::bad_alloc();
        AVCodecContext* c = venc.get();
        fps = frame_rate_of(a.fps);
        c->width = a.width;
        c->height = a.height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->sample_aspect_ratio = {1, 1};
        c->time_base = av_inv_q(fps);
        c->framerate = fps;
        c->gop_size = std::max(1, static_cast<int>(std::lround(av_q2d(fps) * a.keyframeMs / 1000.0)));
        c->max_b_frames = 0;
        c->thread_count = std::max(1, s.codecThreads);
        const int bufferMs = a.videoBufferMs > 0 ? a.videoBufferMs : 5000;
        auto buffer_of = [&](std::int64_t rate) {
            return static_cast<int>(std::min<std::int64_t>(INT32_MAX, rate * bufferMs / 1000));
        };
        switch (s.profile.videoMode) {
            case kModeCbr:
                // The budget is the video's share of the channel: the buffer model keeps every
                // stretch of the stream within it, the mean lands just under it.
                c->rc_max_rate = budget;
                c->bit_rate = aim_under(budget);
                c->rc_buffer_size = buffer_of(budget);
                c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
                break;
            case kModeVbrPeak: {
                // The peak pays the same container share as the mean.
                const std::int64_t peak = std::max(budget, std::max(a.peakBitrate, a.videoBitrate) - containerShare);
                c->rc_max_rate = peak;
                c->bit_rate = peak > budget ? budget : aim_under(peak);
                c->rc_buffer_size = buffer_of(peak);
                break;
            }
            case kModeVbrQuality: {
                int q = std::clamp(a.quality, 0, 100);
                c->flags |= AV_CODEC_FLAG_QSCALE;
                c->global_quality = FF_QP2LAMBDA * (2 + (100 - q) * 29 / 100);
                c->bit_rate = a.videoBitrate;
                break;
            }
            default:
                c->bit_rate = budget;
                break;
        }
        // How far the running total may drift from the mean before rate control pulls it
        // back: one second of the stream. FFmpeg's default (4,000,000 bits) is minutes of a
        // low-rate stream, so a one-pass encode would hardly correct at all.
        if (rated)
            c->bit_rate_tolerance = static_cast<int>(std::clamp<std::int64_t>(c->bit_rate, 1, INT32_MAX));
        // A final pass asked for fewer bits than the analysis says the segment needs at the
        // coarsest quantiser is refused by FFmpeg's rate control, whose failure path frees
        // its state twice (FFmpeg 5.1). Such a segment is encoded in one pass instead, which
        // gets as close to the rate as the quantiser allows.
        if (pass == 2 && !final_pass_reachable(*c)) pass = 0;
        if (pass == 1) c->flags |= AV_CODEC_FLAG_PASS1;
        if (pass == 2) {
            c->flags |= AV_CODEC_FLAG_PASS2;
            c->stats_in = passStats.data();  // stays owned by passStats; detached before freeing
        }
        if (out && (out->oformat->flags & AVFMT_GLOBALHEADER)) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int rc = avcodec_open2(c, codec, nullptr);
        c->stats_in = nullptr;  // read during open only
        if (rc < 0)
            fail("the " + video_codec_name(a.videoCodec) + " encoder refused profile " + in_quotes(s.profile.name) +
                     ": " + ff::error_text(rc),
                 errors::kEncodeFailed);
    }

    // The profile's audio encoder at `bitRate`, opened. Throws when the encoder refuses.
    ff::CodecContextPtr make_audio_encoder(std::int64_t bitRate) const {
        const AudienceData& a = s.profile.audiences.front();
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
        if (!codec) fail("no Windows Media Audio encoder", errors::kEncodeFailed);
        ff::CodecContextPtr enc(avcodec_alloc_context3(codec));
        if (!enc) throw std::bad_alloc();
        AVCodecContext* c = enc.get();
        c->sample_rate = a.audioSampleRate;
        av_channel_layout_default(&c->ch_layout, a.audioChannels);
        c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        c->bit_rate = bitRate;
        c->time_base = {1, a.audioSampleRate};
        c->thread_count = 1;
        if (out && (out->oformat->flags & AVFMT_GLOBALHEADER)) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int rc = avcodec_open2(c, codec, nullptr);
        if (rc < 0)
            fail("the Windows Media Audio encoder refused profile " + in_quotes(s.profile.name) + ": " +
                     ff::error_text(rc),
                 errors::kEncodeFailed);
        return enc;
    }

    // Sound keeps the profile's rate even alone in a file: its frames have a fixed size, so
    // the ASF packets (a whole number of frames each, the rest padding) cost much the same
    // whether the encoder is given a little less or not. Alone, it gets packets cut to its
    // frames instead.
    void open_audio_encoder() {
        aenc = make_audio_encoder(s.profile.audiences.front().audioBitrate);
        if (out && out->priv_data && !s.profile.hasVideo()) {
            const int size = packet_size_for_sound(*aenc, s.metadata, segment_seconds());
            if (size > 0) av_opt_set_int(out->priv_data, "packet_size", size, 0);
        }
    }

    // ---- running ----

    // Seeks `in` to `targetMs` (from the time origin); decoding starts afresh there.
    void seek_to(Input& in, std::int64_t targetMs) {
        std::int64_t ts = in.startPts + av_rescale_q(targetMs, {1, 1000}, in.tb);
        int rc = avformat_seek_file(in.fmt(), in.stream, INT64_MIN, ts, ts, 0);
        if (rc < 0) rc = avformat_seek_file(in.fmt(), in.stream, INT64_MIN, in.startPts, in.startPts, 0);
        if (rc < 0) rc = av_seek_frame(in.fmt(), in.stream, in.startPts, AVSEEK_FLAG_BACKWARD);
        if ((rc < 0 && targetMs > 0) || !in.demux->readError().empty())
            source_failed("cannot seek in source", in, reason(*in.demux, rc));
        avcodec_flush_buffers(in.dec.get());
        in.firstPacket = true;
        in.decodeTimed = false;
        in.lastTs = AV_NOPTS_VALUE;
    }

    // Notes the first packet after a seek: without a presentation time the stream is timed
    // by decode times.
    static void note_packet(Input& in, const AVPacket* p) {
        if (!in.firstPacket) return;
        in.firstPacket = false;
        in.decodeTimed = p->pts == AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE && in.frameTicks > 0;
    }

    // A decoded picture's time in the stream's time base, from the time origin; NOPTS when
    // it has none.
    static std::int64_t picture_ts(Input& in, const AVFrame* f) {
        std::int64_t ts;
        if (in.decodeTimed) {
            ts = f->pkt_dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : f->pkt_dts - in.dec->has_b_frames * in.frameTicks;
            if (in.lastTs != AV_NOPTS_VALUE && (ts == AV_NOPTS_VALUE || ts <= in.lastTs)) ts = in.lastTs + in.frameTicks;
            if (ts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
            in.lastTs = ts;
        } else {
            ts = f->best_effort_timestamp;
            if (ts == AV_NOPTS_VALUE) ts = f->pts;
            if (ts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
        }
        return ts - in.startPts;
    }

    // Reads `in` after a seek until its first decoded frame; returns that frame's time from
    // the time origin (NOPTS: none within a bounded number of packets).
    std::int64_t first_frame_ts(Input& in) {
        for (int i = 0; i < 4096; ++i) {
            int rc = av_read_frame(in.fmt(), pkt.get());
            if (!in.demux->readError().empty()) {
                if (rc >= 0) av_packet_unref(pkt.get());
                source_failed("cannot read source", in, in.demux->readError());
            }
            if (rc >= 0 && pkt->stream_index != in.stream) {
                av_packet_unref(pkt.get());
                continue;
            }
            if (rc >= 0) note_packet(in, pkt.get());
            avcodec_send_packet(in.dec.get(), rc >= 0 ? pkt.get() : nullptr);
            if (rc >= 0) av_packet_unref(pkt.get());
            if (avcodec_receive_frame(in.dec.get(), decoded.get()) >= 0) {
                std::int64_t ts = AV_NOPTS_VALUE;
                if (&in == &video) {
                    ts = picture_ts(in, decoded.get());
                } else {
                    ts = decoded->best_effort_timestamp != AV_NOPTS_VALUE ? decoded->best_effort_timestamp : decoded->pts;
                    if (ts != AV_NOPTS_VALUE) ts -= in.startPts;
                }
                av_frame_unref(decoded.get());
                return ts;
            }
            if (rc < 0) break;
        }
        return AV_NOPTS_VALUE;
    }

    // Seeks `in` to the mark-in. A seek lands on a key frame at or before its target in most
    // containers, but not in all (some index only roughly, some not at all): the first
    // decoded frame is checked, and the seek goes further back until decoding starts at or
    // before the mark-in, in the end at the file's first byte.
    void rewind(Input& in) {
        in.done = false;
        in.clock = 0;
        if (!in.fmt()) return;
        std::int64_t backMs = 0;
        for (;;) {
            const std::int64_t targetMs = std::max<std::int64_t>(0, markIn - backMs);
            seek_to(in, targetMs);
            const std::int64_t first = first_frame_ts(in);
            if (first != AV_NOPTS_VALUE && av_compare_ts(first, in.tb, markIn, {1, 1000}) <= 0) {
                seek_to(in, targetMs);
                return;
            }
            if (targetMs == 0) break;
            backMs = backMs ? backMs * 2 : 1000;
        }
        // Nothing earlier to seek to by time: read from the very start.
        int rc = av_seek_frame(in.fmt(), -1, 0, AVSEEK_FLAG_BYTE);
        if (rc < 0) rc = avformat_seek_file(in.fmt(), -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
        if (!in.demux->readError().empty())
            source_failed("cannot seek in source", in, reason(*in.demux, rc));
        if (rc < 0) seek_to(in, 0);
        avcodec_flush_buffers(in.dec.get());
        in.firstPacket = true;
        in.decodeTimed = false;
        in.lastTs = AV_NOPTS_VALUE;
    }

    void reset_pass_state() {
        nextSlot = 0;
        held.reset();
        heldScaled.reset();
        lastPos = -1;
        lastDur = 0;
        anchor = -1;
        videoOffsetUs = 0;
        videoEnded = false;
        swr.reset();
        fifo.reset();
        audioWritten = 0;
        audioNext = AV_NOPTS_VALUE;
        audioStarted = false;
    }

    bool stop_requested() const { return control->stopRequested && control->stopRequested(); }

    // A source that failed to read: an error, unless the job was stopped meanwhile, whose
    // interrupt is what ended the read; the encode then ends as stopped, its file finished.
    [[noreturn]] void source_failed(const std::string& what, const Input& in, const std::string& why) const {
        if (stop_requested()) throw ReadingStopped{};
        fail(what + " " + in_quotes(in.path) + ": " + why, errors::kSourceUnreadable);
    }

    void write_packet(AVPacket* p, AVCodecContext* enc, AVStream* st) {
        if (st == vst && control->observer) control->observer->packet(p, enc->time_base);
        const std::int64_t offsetUs = st == vst ? videoOffsetUs : 0;
        const std::int64_t endMs =
            av_rescale_q(p->pts + std::max<std::int64_t>(p->duration, 0), enc->time_base, {1, 1000}) + offsetUs / 1000;
        av_packet_rescale_ts(p, enc->time_base, st->time_base);
        if (offsetUs != 0) {
            const std::int64_t shift = av_rescale_q(offsetUs, {1, 1000000}, st->time_base);
            if (p->pts != AV_NOPTS_VALUE) p->pts += shift;
            if (p->dts != AV_NOPTS_VALUE) p->dts += shift;
        }
        p->stream_index = st->index;
        int rc = av_interleaved_write_frame(out.get(), p);
        if (rc < 0)
            fail(write_failure("cannot write output file", s.outputPath, rc), errors::kWriteFailed);
        figures->bytes.store(std::max<std::int64_t>(0, avio_tell(out->pb)), std::memory_order_relaxed);
        if (endMs > figures->mediaMs.load(std::memory_order_relaxed))
            figures->mediaMs.store(endMs, std::memory_order_relaxed);
    }

    // Sends one frame (null: flush) and writes or analyses what comes out.
    void encode(AVCodecContext* enc, AVStream* st, AVFrame* frame) {
        int rc = avcodec_send_frame(enc, frame);
        if (rc < 0 && rc != AVERROR_EOF)
            fail(std::string("encoding the ") + (enc == venc.get() ? "video" : "audio") + " failed: " + ff::error_text(rc),
                 errors::kEncodeFailed);
        for (;;) {
            rc = avcodec_receive_packet(enc, pkt.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0)
                fail(std::string("encoding the ") + (enc == venc.get() ? "video" : "audio") + " failed: " +
                         ff::error_text(rc),
                     errors::kEncodeFailed);
            if (analysis) {
                if (enc->stats_out) passStats += enc->stats_out;
                av_packet_unref(pkt.get());
                continue;
            }
            if (pkt->duration <= 0 && enc == venc.get()) pkt->duration = 1;
            write_packet(pkt.get(), enc, st);
            av_packet_unref(pkt.get());
        }
    }

    // ---- video ----

    AVFrame* scaled_held() {
        if (heldScaled) return heldScaled.get();
        AVFrame* src = held.get();
        if (!sws || swsW != src->width || swsH != src->height || swsFmt != src->format) {
            sws.reset(sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format), venc->width,
                                     venc->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
            if (!sws) fail("cannot convert the source's pictures (unsupported pixel format)", errors::kDecodeFailed);
            swsW = src->width;
            swsH = src->height;
            swsFmt = src->format;
        }
        // A new picture each time: the encoder may still hold references to the last one.
        heldScaled = ff::make_frame();
        heldScaled->width = venc->width;
        heldScaled->height = venc->height;
        heldScaled->format = AV_PIX_FMT_YUV420P;
        if (av_frame_get_buffer(heldScaled.get(), 0) < 0) throw std::bad_alloc();
        sws_scale(sws.get(), src->data, src->linesize, 0, src->height, heldScaled->data, heldScaled->linesize);
        return heldScaled.get();
    }

    void emit_slot() {
        AVFrame* f = scaled_held();
        f->pts = nextSlot++;
        f->pict_type = AV_PICTURE_TYPE_NONE;
        encode(venc.get(), vst, f);
        if (silentAudio && aenc && !analysis) {
            std::int64_t target = av_rescale_q(nextSlot, av_inv_q(fps), {1, aenc->sample_rate}) +
                                  av_rescale(videoOffsetUs, aenc->sample_rate, 1000000);
            add_silence(target - audioWritten - av_audio_fifo_size(fifo_ptr()));
            drain_fifo(false);
        }
    }

    // Output frames up to (not including) slot position `limit`.
    void fill_slots_before(double limit) {
        while (held && static_cast<double>(nextSlot) < limit) {
            if (stop_requested()) return;
            emit_slot();
        }
    }

    void on_video_frame(AVFrame* f) {
        const std::int64_t pts = picture_ts(video, f);
        if (pts == AV_NOPTS_VALUE) return;
        if (!emptySegment && av_compare_ts(pts, video.tb, markIn, {1, 1000}) < 0) return;  // before the segment
        if (emptySegment || (markOut > 0 && av_compare_ts(pts, video.tb, markOut, {1, 1000}) >= 0)) {
            videoEnded = true;
            video.done = true;
            return;
        }
        const double t = static_cast<double>(pts) * av_q2d(video.tb);
        if (anchor < 0) {
            anchor = t;
            videoOffsetUs = std::max<std::int64_t>(0, av_rescale_q(pts, video.tb, {1, 1000000}) - markIn * 1000);
        }
        const double pos = (t - anchor) * av_q2d(fps);
        double dur = 0;
        if (video.decodeTimed) dur = static_cast<double>(video.frameTicks) * av_q2d(video.tb);
        else if (f->pkt_duration > 0) dur = static_cast<double>(f->pkt_duration) * av_q2d(video.tb);
        else if (video.st()->avg_frame_rate.num > 0) dur = 1.0 / av_q2d(video.st()->avg_frame_rate);
        else dur = 1.0 / av_q2d(fps);
        // Slot n shows the latest frame that starts no later than half a slot after it.
        fill_slots_before(pos - 0.5);
        held = ff::make_frame();
        av_frame_move_ref(held.get(), f);
        heldScaled.reset();
        lastPos = pos;
        lastDur = dur * av_q2d(fps);
    }

    void finish_video() {
        if (!held) return;
        double end = lastPos + lastDur;
        if (markOut > 0) end = std::min(end, (static_cast<double>(markOut) / 1000.0 - anchor) * av_q2d(fps));
        // Slots that start before the end of the segment; the tolerance absorbs rounding.
        fill_slots_before(end - 1e-3);
        held.reset();
        heldScaled.reset();
    }

    // ---- audio ----

    AVAudioFifo* fifo_ptr() {
        if (!fifo) {
            fifo.reset(av_audio_fifo_alloc(aenc->sample_fmt, aenc->ch_layout.nb_channels, 4096));
            if (!fifo) throw std::bad_alloc();
        }
        return fifo.get();
    }

    void add_silence(std::int64_t samples) {
        if (samples <= 0) return;
        AVAudioFifo* ff = fifo_ptr();
        const int channels = aenc->ch_layout.nb_channels;
        ff::FramePtr zero = ff::make_frame();
        const int chunk = 4096;
        zero->nb_samples = chunk;
        zero->format = aenc->sample_fmt;
        av_channel_layout_copy(&zero->ch_layout, &aenc->ch_layout);
        if (av_frame_get_buffer(zero.get(), 0) < 0) throw std::bad_alloc();
        av_samples_set_silence(zero->extended_data, 0, chunk, channels, aenc->sample_fmt);
        while (samples > 0) {
            int n = static_cast<int>(std::min<std::int64_t>(samples, chunk));
            if (av_audio_fifo_write(ff, reinterpret_cast<void**>(zero->extended_data), n) < n) throw std::bad_alloc();
            samples -= n;
        }
    }

    // Encodes whole encoder frames from the FIFO; with `all`, pads the rest with silence.
    void drain_fifo(bool all) {
        AVAudioFifo* ff = fifo_ptr();
        const int fs = aenc->frame_size > 0 ? aenc->frame_size : 2048;
        if (all && av_audio_fifo_size(ff) % fs) add_silence(fs - av_audio_fifo_size(ff) % fs);
        while (av_audio_fifo_size(ff) >= fs) {
            ff::FramePtr fr = ff::make_frame();
            fr->nb_samples = fs;
            fr->format = aenc->sample_fmt;
            fr->sample_rate = aenc->sample_rate;
            av_channel_layout_copy(&fr->ch_layout, &aenc->ch_layout);
            if (av_frame_get_buffer(fr.get(), 0) < 0) throw std::bad_alloc();
            av_audio_fifo_read(ff, reinterpret_cast<void**>(fr->extended_data), fs);
            fr->pts = audioWritten;
            audioWritten += fs;
            encode(aenc.get(), ast, fr.get());
        }
    }

    // Sets up the conversion of the source's sound (in the format of its first frame `f`).
    void ensure_resampler(const AVFrame* f) {
        if (!swr) {
            AVChannelLayout inLayout{};
            if (f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_copy(&inLayout, &f->ch_layout);
            else av_channel_layout_default(&inLayout, f->ch_layout.nb_channels);
            SwrContext* raw = nullptr;
            int rc = swr_alloc_set_opts2(&raw, &aenc->ch_layout, aenc->sample_fmt, aenc->sample_rate, &inLayout,
                                         static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&inLayout);
            swr.reset(raw);
            if (rc >= 0) rc = swr_init(swr.get());
            if (rc < 0) fail("cannot convert the source's sound: " + ff::error_text(rc), errors::kDecodeFailed);
        }
    }

    // Converts `count` samples of `f` from `offset` on (null f: flush the resampler).
    void resample_into_fifo(const AVFrame* f, int offset, int count) {
        if (!swr) {
            if (!f) return;
            ensure_resampler(f);
        }
        const std::uint8_t* in[AV_NUM_DATA_POINTERS] = {};
        int inCount = 0;
        if (f) {
            const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(f->format));
            const int bps = av_get_bytes_per_sample(static_cast<AVSampleFormat>(f->format));
            const int chans = f->ch_layout.nb_channels;
            const int planes = planar ? chans : 1;
            for (int i = 0; i < planes && i < AV_NUM_DATA_POINTERS; ++i)
                in[i] = f->extended_data[i] + static_cast<std::ptrdiff_t>(offset) * bps * (planar ? 1 : chans);
            inCount = count;
        }
        const int maxOut = swr_get_out_samples(swr.get(), inCount);
        if (maxOut <= 0) return;
        ff::FramePtr tmp = ff::make_frame();
        tmp->nb_samples = maxOut;
        tmp->format = aenc->sample_fmt;
        av_channel_layout_copy(&tmp->ch_layout, &aenc->ch_layout);
        if (av_frame_get_buffer(tmp.get(), 0) < 0) throw std::bad_alloc();
        int got = swr_convert(swr.get(), tmp->extended_data, maxOut, f ? in : nullptr, inCount);
        if (got < 0) fail("cannot convert the source's sound: " + ff::error_text(got), errors::kDecodeFailed);
        if (got > 0 && av_audio_fifo_write(fifo_ptr(), reinterpret_cast<void**>(tmp->extended_data), got) < got)
            throw std::bad_alloc();
    }

    // The sound is placed by its timestamps: a gap in the source becomes silence and an
    // overlap is dropped, so everything after them stays in step with the picture. Within
    // kAudioSlackMs a frame is taken to follow on from the last one: containers round their
    // timestamps, and such jitter must not chop the sound.
    static constexpr int kAudioSlackMs = 2;

    void on_audio_frame(AVFrame* f) {
        const std::int64_t sr = f->sample_rate > 0 ? f->sample_rate : audio.dec->sample_rate;
        if (sr <= 0 || f->nb_samples <= 0) return;
        if (emptySegment) {
            audio.done = true;
            return;
        }
        const std::int64_t from = av_rescale(markIn, sr, 1000);
        const std::int64_t to = markOut > 0 ? av_rescale(markOut, sr, 1000) : INT64_MAX;
        if (audioNext == AV_NOPTS_VALUE) audioNext = from;
        std::int64_t first = audioNext;  // without a timestamp: right after the last frame
        std::int64_t pts = f->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = f->pts;
        if (pts != AV_NOPTS_VALUE) {
            const std::int64_t at = av_rescale_q(pts - audio.startPts, audio.tb, {1, static_cast<int>(sr)});
            if (!audioStarted || std::llabs(at - audioNext) > sr * kAudioSlackMs / 1000) first = at;
        }
        if (first >= to) {
            audio.done = true;
            return;
        }
        const std::int64_t lo = std::max(first, audioNext);
        const std::int64_t hi = std::min<std::int64_t>(first + f->nb_samples, to);
        if (hi <= lo) return;
        ensure_resampler(f);
        if (lo > audioNext) {
            // Sound that begins after the mark-in, or a hole in it: silence, in step with the picture.
            const int rc = swr_inject_silence(swr.get(), static_cast<int>(std::min<std::int64_t>(lo - audioNext, INT32_MAX)));
            if (rc < 0) fail("cannot convert the source's sound: " + ff::error_text(rc), errors::kDecodeFailed);
        }
        audioStarted = true;
        resample_into_fifo(f, static_cast<int>(lo - first), static_cast<int>(hi - lo));
        audioNext = hi;
        drain_fifo(false);
    }

    void finish_audio() {
        if (!aenc) return;
        if (swr) resample_into_fifo(nullptr, 0, 0);
        if (silentAudio && venc) {
            std::int64_t target = av_rescale_q(nextSlot, av_inv_q(fps), {1, aenc->sample_rate}) +
                                  av_rescale(videoOffsetUs, aenc->sample_rate, 1000000);
            add_silence(target - audioWritten - av_audio_fifo_size(fifo_ptr()));
        }
        if (audioWritten == 0 && av_audio_fifo_size(fifo_ptr()) == 0) return;
        // Each encoded frame overlaps the next one: a frame of silence after the last sound
        // lets the encoder complete it instead of fading it out.
        add_silence(aenc->frame_size > 0 ? aenc->frame_size : 2048);
        drain_fifo(true);
    }

    // ---- reading ----

    void decode_packet(Input& in, const AVPacket* p) {
        int rc = avcodec_send_packet(in.dec.get(), p);
        if (rc < 0 && rc != AVERROR_EOF) return;  // a damaged packet: skip it and go on with the next
        for (;;) {
            rc = avcodec_receive_frame(in.dec.get(), decoded.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) return;  // damaged data inside the decoder; later packets may still decode
            if (&in == &video) on_video_frame(decoded.get());
            else on_audio_frame(decoded.get());
            av_frame_unref(decoded.get());
            if (in.done || stop_requested()) return;
        }
    }

    // Reads and decodes one packet of `in`; at the end of the file drains the decoder.
    void step(Input& in) {
        int rc = av_read_frame(in.fmt(), pkt.get());
        // A source read through its share that fails to answer is an error, not an end:
        // encoding what was read would give a file silently cut short. (A packet the failure
        // cut short comes back as a packet; it is not decoded either.)
        // A stop ends a read in flight: the pass then ends as stopped, not failed.
        if (!in.demux->readError().empty()) {
            if (rc >= 0) av_packet_unref(pkt.get());
            if (stop_requested()) {
                in.done = true;
                return;
            }
            source_failed("cannot read source", in, in.demux->readError());
        }
        if (rc < 0) {
            // End of file, or a damaged/truncated file: what could be read is encoded.
            decode_packet(in, nullptr);
            in.done = true;
            return;
        }
        if (pkt->stream_index == in.stream) {
            note_packet(in, pkt.get());
            std::int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
            if (ts != AV_NOPTS_VALUE) in.clock = static_cast<double>(ts - in.startPts) * av_q2d(in.tb);
            ff::PacketPtr own = ff::make_packet();
            av_packet_move_ref(own.get(), pkt.get());
            decode_packet(in, own.get());
        } else {
            av_packet_unref(pkt.get());
        }
    }

    // One pass over the segment. Returns false when stopped.
    bool pass(bool withAudio) {
        reset_pass_state();
        Input* v = venc ? &video : nullptr;
        Input* a = (withAudio && aenc && !silentAudio) ? &audio : nullptr;
        if (v) rewind(*v);
        if (a) rewind(*a);
        for (;;) {
            if (control->waitWhilePaused) control->waitWhilePaused();
            if (stop_requested()) break;
            const bool vLive = v && !v->done;
            const bool aLive = a && !a->done;
            if (!vLive && !aLive) break;
            if (vLive && (!aLive || v->clock <= a->clock)) step(*v);
            else step(*a);
        }
        const bool stopped = stop_requested();
        if (v) {
            if (!stopped) finish_video();
            encode(venc.get(), vst, nullptr);
        }
        if (aenc && !analysis) {
            finish_audio();
            encode(aenc.get(), ast, nullptr);
        }
        return !stopped;
    }

    void add_streams_and_header() {
        if (venc) {
            vst = avformat_new_stream(out.get(), nullptr);
            if (!vst) throw std::bad_alloc();
            avcodec_parameters_from_context(vst->codecpar, venc.get());
            vst->time_base = venc->time_base;
            vst->avg_frame_rate = fps;
            vst->r_frame_rate = fps;
        }
        if (aenc) {
            ast = avformat_new_stream(out.get(), nullptr);
            if (!ast) throw std::bad_alloc();
            avcodec_parameters_from_context(ast->codecpar, aenc.get());
            ast->time_base = aenc->time_base;
        }
        auto set = [&](const char* key, const std::string& v) {
            if (!v.empty()) av_dict_set(&out->metadata, key, v.c_str(), 0);
        };
        set("title", s.metadata.title);
        set("author", s.metadata.author);
        set("copyright", s.metadata.copyright);
        set("comment", s.metadata.description);
        // The output's time zero is the mark-in. The sound encoder's first frame, which only
        // primes its overlapping transform, lies before it; the container holds times down
        // to minus its preroll, so nothing is shifted to make that frame start at zero.
        out->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
        create_output();
        int rc = avformat_write_header(out.get(), nullptr);
        if (rc < 0)
            fail(write_failure("cannot write output file", s.outputPath, rc), errors::kWriteFailed);
        headerWritten = true;
        figures->bytes.store(avio_tell(out->pb), std::memory_order_relaxed);
        if (control->observer && venc) control->observer->begin(venc.get());
    }

    void finish_file() {
        if (!headerWritten) {
            discard_output();
            return;
        }
        headerWritten = false;
        if (control->observer && venc) control->observer->end();
        int rc = av_write_trailer(out.get());
        avio_flush(out->pb);
        if (rc >= 0 && out->pb->error < 0) rc = out->pb->error;
        // The muxer went back to complete the header; the file's size is its end.
        figures->bytes.store(std::max<std::int64_t>(0, avio_size(out->pb)), std::memory_order_relaxed);
        const int closeError = close_output();
        if (rc >= 0 && closeError != 0) rc = AVERROR(closeError);
        if (rc < 0)
            fail(write_failure("cannot finish output file", s.outputPath, rc), errors::kWriteFailed);
    }

    void run(std::int64_t in, std::int64_t outMs, bool twoPass, const RunControl& ctl, LiveFigures& figs) {
        if (!out || out->pb || headerWritten) fail("the encoder is not prepared", errors::kBadConfiguration);
        control = &ctl;
        figures = &figs;
        markIn = std::max<std::int64_t>(0, in);
        // A mark-out that was never set (negative) or lies at or beyond the end runs to the
        // end; one at or before the mark-in is an empty segment, which still gives a valid file.
        emptySegment = outMs >= 0 && outMs <= markIn && !(durationMs > 0 && outMs >= durationMs);
        markOut = outMs > markIn && (durationMs <= 0 || outMs < durationMs) ? outMs : 0;
        const ProfileData& p = s.profile;
        const bool analyse = twoPass && p.hasVideo() && p.videoMode != kModeVbrQuality;
        try {
            bool finalTwoPass = false;
            if (analyse) {
                open_video_encoder(1);
                analysis = true;
                passStats.clear();
                const bool completed = pass(false);
                analysis = false;
                finalTwoPass = completed && !passStats.empty();
                venc.reset();
            }
            if (p.hasVideo()) open_video_encoder(finalTwoPass ? 2 : 0);
            if (p.hasAudio()) open_audio_encoder();
            add_streams_and_header();
            if (!stop_requested()) pass(true);
            finish_file();
        } catch (const ReadingStopped&) {
            analysis = false;
            finish_file();
        } catch (...) {
            analysis = false;
            try {
                finish_file();  // keep what was written readable
            } catch (...) {
            }
            throw;
        }
    }
};

Transcoder::Transcoder() : impl_(std::make_unique<Impl>()) {}
Transcoder::~Transcoder() = default;

void Transcoder::open(const TranscodeSettings& settings) { impl_->open(settings); }
std::int64_t Transcoder::durationMs() const { return impl_->durationMs; }
void Transcoder::run(std::int64_t markInMs, std::int64_t markOutMs, bool twoPass, const RunControl& control,
                     LiveFigures& figures) {
    impl_->run(markInMs, markOutMs, twoPass, control, figures);
}

}  // namespace shardex::encoder

#include "platform/encoder/source_open.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/avstring.h>
}

#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"
#include "platform/error.h"
#include "platform/shown_text.h"

namespace shardex::encoder {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIoBufferBytes = 64 << 10;

// Kinds that open what their files name through contexts of their own, past our callback:
// refused by name, so the user is told why (the empty protocol list below stops them
// anyway, with FFmpeg's plainer text). Kinds that open through the callback (HLS, DASH...)
// are caught there, naming what they tried to open.
constexpr const char* kListFormats = "concat,sdp,vobsub";

// What nested opens may use: no protocol at all. Demuxers that open their files through a
// format context of their own, bypassing our callback, inherit this list and so fail too.
constexpr const char* kNoProtocols = "none";

// An address or name read from a file, as a message quotes it.
std::string shown(const char* text) { return platform::shown(text ? text : ""); }

std::string kind_of(const AVInputFormat& f) { return f.long_name ? f.long_name : f.name; }

// Why a file of kind `f` may not be a source ("" when it may).
std::string refusal_of(const AVInputFormat& f, bool shared) {
    if (shared) {
        if (av_match_list(f.name, kSharedSourceFormats, ',') > 0) return {};
        return "it is not a single video file of a kind read from another computer (" + kind_of(f) +
               "): a shared source must be " + kSharedSourceKinds;
    }
    if ((f.flags & AVFMT_NOFILE) || av_match_list(f.name, kListFormats, ',') > 0)
        return "it is not a single video file: it names other files or addresses (" + kind_of(f) + ")";
    return {};
}

}  // namespace

// What the I/O callbacks of one source share: the reader's position over a ByteSource, the
// interrupt and open limit, and the first failure of ours, which cannot cross FFmpeg's C
// callbacks as an exception and is told to the user instead of FFmpeg's bare code.
struct InputState {
    std::shared_ptr<ByteSource> source;  // null for a local file
    std::int64_t pos = 0;
    ReadInterrupt* interrupt = nullptr;
    Clock::time_point openUntil = Clock::time_point::max();
    std::chrono::milliseconds openLimit{0};
    std::string error;

    void note(std::string why) {
        if (error.empty()) error = std::move(why);
    }

    // True (and why noted) when reading must end now.
    bool interrupted() {
        if (interrupt && interrupt->triggered()) {
            note("reading it was stopped");
            return true;
        }
        if (Clock::now() >= openUntil) {
            note("it could not be read within " + std::to_string(openLimit.count() / 1000) + " s");
            return true;
        }
        return false;
    }

    static int interrupt_callback(void* opaque) { return static_cast<InputState*>(opaque)->interrupted() ? 1 : 0; }

    // FFmpeg's hook for every file a demuxer opens besides the source itself: refused.
    // Contexts a demuxer makes of its own carry no state of ours, and are refused unnoted.
    static int refuse_nested_open(AVFormatContext* s, AVIOContext**, const char* url, int, AVDictionary**) {
        if (s != nullptr && s->opaque != nullptr)
            static_cast<InputState*>(s->opaque)->note("it is not a single video file: it names other files or "
                                                      "addresses (" + shown(url) + "), which are never opened");
        return AVERROR(EPERM);
    }

    static int read(void* opaque, std::uint8_t* buf, int size) {
        auto* r = static_cast<InputState*>(opaque);
        if (r->interrupted()) return AVERROR_EXIT;
        try {
            const std::int64_t n = r->source->read(r->pos, buf, size);
            if (n <= 0) return AVERROR_EOF;
            r->pos += n;
            return static_cast<int>(n);
        } catch (const std::exception& e) {
            // A read the interrupt cancelled failed for that reason, whatever the source says.
            if (!r->interrupted()) r->note(e.what());
        } catch (...) {
            if (!r->interrupted()) r->note("unexpected failure");
        }
        return AVERROR(EIO);
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* r = static_cast<InputState*>(opaque);
        // A sum past the largest offset is as invalid as a negative one.
        const auto from = [&](std::int64_t base) { return offset > INT64_MAX - base ? -1 : offset + base; };
        try {
            switch (whence & ~AVSEEK_FORCE) {
                case AVSEEK_SIZE: return r->source->size();
                case SEEK_SET: break;
                case SEEK_CUR: offset = from(r->pos); break;
                case SEEK_END: offset = from(r->source->size()); break;
                default: return AVERROR(EINVAL);
            }
            if (offset < 0) return AVERROR(EINVAL);
            r->pos = offset;
            return offset;
        } catch (const std::exception& e) {
            r->note(e.what());
        } catch (...) {
            r->note("unexpected failure");
        }
        return AVERROR(EIO);
    }
};

Demuxer::Demuxer() : state_(std::make_unique<InputState>()) {}
Demuxer::~Demuxer() = default;

std::string Demuxer::readError() const { return state_->error; }

void Demuxer::endOpenLimit() { state_->openUntil = Clock::time_point::max(); }

std::string reason(const Demuxer& d, int rc) {
    std::string e = d.readError();
    return e.empty() ? ff::error_text(rc) : e;
}

std::unique_ptr<Demuxer> open_demuxer(const std::string& path, const std::shared_ptr<ByteSource>& source,
                                      const OpenBounds& bounds) {
    std::unique_ptr<Demuxer> d(new Demuxer);
    InputState& st = *d->state_;
    st.source = source;
    st.interrupt = bounds.interrupt;
    st.openLimit = bounds.limit;
    st.openUntil = bounds.until;
    ReadInterrupt* interrupt = bounds.interrupt;
    const auto cannot_open = [&](const std::string& why) {
        return Error("cannot open source " + in_quotes(path) + ": " + why, errors::kSourceUnreadable);
    };

    AVIOContext* io = nullptr;
    if (source) {
        if (interrupt) interrupt->watch(source);
        d->sharedIo_ = ff::make_avio(kIoBufferBytes, false, &st, &InputState::read, nullptr, &InputState::seek);
        io = d->sharedIo_.get();
    } else {
        // The path is a file name whatever it looks like ("a:b.avi" is no protocol).
        ff::Dictionary options;
        options.set("protocol_whitelist", "file");
        const AVIOInterruptCB callback{&InputState::interrupt_callback, &st};
        const int rc = avio_open2(&io, ("file:" + path).c_str(), AVIO_FLAG_READ, &callback, &options.d);
        if (rc < 0) throw cannot_open(reason(*d, rc));
        d->fileIo_.reset(io);
    }

    // The kind is settled before a demuxer of that kind reads anything beyond the probe.
    const AVInputFormat* format = nullptr;
    int rc = av_probe_input_buffer2(io, &format, path.c_str(), nullptr, 0, 0);
    if (rc < 0 || !format) throw cannot_open(reason(*d, rc < 0 ? rc : AVERROR_INVALIDDATA));
    if (const std::string why = refusal_of(*format, source != nullptr); !why.empty()) throw cannot_open(why);

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) throw std::bad_alloc();
    raw->pb = io;
    raw->opaque = &st;
    raw->io_open = &InputState::refuse_nested_open;
    raw->interrupt_callback = {&InputState::interrupt_callback, &st};
    ff::Dictionary options;
    options.set("protocol_whitelist", kNoProtocols);
    if (source) options.set("format_whitelist", kSharedSourceFormats);
    // On failure FFmpeg frees the format context (not the I/O context, which stays ours).
    rc = avformat_open_input(&raw, path.c_str(), format, &options.d);
    if (rc < 0) throw cannot_open(reason(*d, rc));
    d->fmt_.reset(raw);
    if (!d->readError().empty()) throw cannot_open(d->readError());
    rc = avformat_find_stream_info(raw, nullptr);
    if (rc < 0 || !d->readError().empty())
        throw Error("cannot read source " + in_quotes(path) + ": " + reason(*d, rc), errors::kSourceUnreadable);
    return d;
}

}  // namespace shardex::encoder

// The join: opening and checking the segment files, then copying their packets, in the
// stretch's order and on its grids, into one ASF file written under a temporary name.
#include "platform/join/join.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/encoder/asf_budget.h"
#include "platform/encoder/asf_writer.h"
#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/rate_check.h"
#include "platform/encoder/segment_tag.h"

namespace shardex::join {
namespace {

namespace ff = encoder::ff;
namespace fs = std::filesystem;
using encoder::SegmentTag;

std::string quoted(const std::string& s) { return "'" + s + "'"; }
std::string name_of(const std::string& path) { return quoted(fs::path(path).filename().string()); }

std::string seconds(std::int64_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(ms) / 1000.0);
    return buf;
}

[[noreturn]] void refuse(const std::string& why) { throw Error("cannot join: " + why); }

// One segment file, opened and described.
struct Segment {
    std::string path;
    ff::InputFormatPtr fmt;
    SegmentTag tag;
    int video = -1, audio = -1;  // stream indexes
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t size = 0;

    const AVCodecParameters* par(int index) const { return index >= 0 ? fmt->streams[index]->codecpar : nullptr; }
};

// Opens `path` as an ASF file of the local disk only: the file may come from another
// computer, so it gets the ASF demuxer alone and no protocol but the file itself.
Segment open_segment(const std::string& path) {
    Segment s;
    s.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) refuse("cannot read " + name_of(path) + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(name_of(path) + " is not a file");
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", "asf", 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const int rc = avformat_open_input(&raw, ("file:" + path).c_str(), av_find_input_format("asf"), &options);
    av_dict_free(&options);
    if (rc < 0)
        refuse(name_of(path) + " is not a segment made by Shardex: it cannot be read as a Windows Media file (" +
               ff::error_text(rc) + ")");
    s.fmt.reset(raw);
    const AVDictionaryEntry* text = av_dict_get(s.fmt->metadata, SegmentTag::kKey, nullptr, AV_DICT_MATCH_CASE);
    auto tag = text ? SegmentTag::parse(text->value) : std::nullopt;
    if (!tag) refuse(name_of(path) + " is not a segment of a Shardex run: its header does not say where it lies");
    s.tag = *tag;
    for (unsigned i = 0; i < s.fmt->nb_streams; ++i) {
        const AVMediaType type = s.fmt->streams[i]->codecpar->codec_type;
        int& slot = type == AVMEDIA_TYPE_VIDEO ? s.video : s.audio;
        if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) || slot >= 0)
            refuse(name_of(path) + " is not a segment made by Shardex: it holds other streams");
        slot = static_cast<int>(i);
        s.fmt->streams[i]->discard = AVDISCARD_DEFAULT;
    }
    // The header holds the video's rate only in the file's total: the description has it.
    if (s.video >= 0) s.fmt->streams[s.video]->codecpar->bit_rate = s.tag.videoBitrate;
    if ((s.video >= 0) != (s.tag.fpsNum > 0) || (s.audio >= 0) != (s.tag.soundFrame > 0))
        refuse(name_of(path) + " is not a segment made by Shardex: its streams are not those its header names");
    return s;
}

// The first setting in which two streams' parameters differ, "" when none does.
std::string difference(const AVCodecParameters* a, const AVCodecParameters* b) {
    if (!a || !b) return a == b ? "" : "the streams";
    auto text = [](auto x, auto y) { return std::to_string(x) + " against " + std::to_string(y); };
    if (a->codec_id != b->codec_id)
        return std::string("the codec, ") + avcodec_get_name(a->codec_id) + " against " + avcodec_get_name(b->codec_id);
    if (a->width != b->width || a->height != b->height)
        return "the picture size, " + std::to_string(a->width) + "x" + std::to_string(a->height) + " against " +
               std::to_string(b->width) + "x" + std::to_string(b->height);
    if (a->sample_rate != b->sample_rate) return "the sample rate, " + text(a->sample_rate, b->sample_rate);
    if (a->ch_layout.nb_channels != b->ch_layout.nb_channels)
        return "the channels, " + text(a->ch_layout.nb_channels, b->ch_layout.nb_channels);
    if (a->bit_rate != b->bit_rate) return "the bit rate, " + text(a->bit_rate, b->bit_rate);
    if (a->block_align != b->block_align) return "the sound's block size, " + text(a->block_align, b->block_align);
    if (a->extradata_size != b->extradata_size ||
        (a->extradata_size > 0 && std::memcmp(a->extradata, b->extradata, static_cast<std::size_t>(a->extradata_size))))
        return "the codec's settings";
    return "";
}

// Refuses `b` unless it is a segment of the same run, made with the same settings, as `a`.
void check_same_run(const Segment& a, const Segment& b) {
    const SegmentTag &x = a.tag, &y = b.tag;
    if (x.profile != y.profile)
        refuse(name_of(b.path) + " was made with another profile than " + name_of(a.path) + " (" + quoted(y.profile) +
               " against " + quoted(x.profile) + ")");
    if (x.stretchStartMs != y.stretchStartMs || x.stretchEndMs != y.stretchEndMs)
        refuse(name_of(b.path) + " is a segment of another run than " + name_of(a.path) + " (its stretch is " +
               seconds(y.stretchStartMs) + " to " + seconds(y.stretchEndMs) + ", the other's " +
               seconds(x.stretchStartMs) + " to " + seconds(x.stretchEndMs) + ")");
    std::string diff;
    if (x.fpsNum != y.fpsNum || x.fpsDen != y.fpsDen || x.slot0Us != y.slot0Us) diff = "the picture's frame grid";
    else if (x.soundFrame != y.soundFrame || x.profileBitrate != y.profileBitrate) diff = "the sound's frame grid";
    else if (std::string v = difference(a.par(a.video), b.par(b.video)); !v.empty()) diff = "video: " + v;
    else if (std::string s = difference(a.par(a.audio), b.par(b.audio)); !s.empty()) diff = "sound: " + s;
    if (!diff.empty())
        refuse(name_of(b.path) + " was made with other settings than " + name_of(a.path) + " (" + diff + ")");
}

// Puts the segments in the stretch's order and refuses a set that does not cover it once.
void order_and_check(std::vector<Segment>& segs) {
    for (std::size_t i = 0; i < segs.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (segs[i].device == segs[j].device && segs[i].inode == segs[j].inode)
                refuse(name_of(segs[i].path) + " is given twice");
    for (std::size_t i = 1; i < segs.size(); ++i) check_same_run(segs[0], segs[i]);
    std::stable_sort(segs.begin(), segs.end(), [](const Segment& a, const Segment& b) {
        return a.tag.startMs != b.tag.startMs ? a.tag.startMs < b.tag.startMs : a.tag.endMs < b.tag.endMs;
    });
    const SegmentTag& first = segs.front().tag;
    if (first.startMs != first.stretchStartMs)
        refuse("nothing holds the run's stretch from " + seconds(first.stretchStartMs) + " to " +
               seconds(first.startMs) + ": a segment is missing");
    for (std::size_t i = 1; i < segs.size(); ++i) {
        const SegmentTag &a = segs[i - 1].tag, &b = segs[i].tag;
        if (a.endMs < b.startMs)
            refuse("nothing holds " + seconds(a.endMs) + " to " + seconds(b.startMs) + ": " + name_of(segs[i - 1].path) +
                   " ends at " + seconds(a.endMs) + " and " + name_of(segs[i].path) + " starts at " +
                   seconds(b.startMs));
        if (a.endMs > b.startMs)
            refuse(name_of(segs[i - 1].path) + " and " + name_of(segs[i].path) + " overlap from " + seconds(b.startMs) +
                   " to " + seconds(std::min(a.endMs, b.endMs)));
    }
    const SegmentTag& last = segs.back().tag;
    if (last.endMs != last.stretchEndMs)
        refuse("nothing holds the run's stretch from " + seconds(last.endMs) + " to " + seconds(last.stretchEndMs) +
               ": a segment is missing");
}

// Which of a segment's packets go into the joined file: picture slots [slotFrom, slotTo) and
// sound frames [soundFrom, soundTo) of the stretch's grids (INT64_MAX: to the end).
struct Share {
    std::int64_t slotFrom = 0, slotTo = INT64_MAX;
    std::int64_t soundFrom = 0, soundTo = INT64_MAX;
};

// A segment's packets: all its pictures, and its sound from the frame after its first (which
// only primed its encoder; the first segment's primes the whole file's, as a single encode's
// does) up to the frame the next segment takes over with.
std::vector<Share> shares_of(const std::vector<Segment>& segs) {
    std::vector<Share> shares(segs.size());
    for (std::size_t i = 0; i < segs.size(); ++i) {
        const SegmentTag& t = segs[i].tag;
        shares[i].slotFrom = t.firstSlot;
        shares[i].soundFrom = i == 0 ? t.firstSoundFrame : t.firstSoundFrame + 1;
        if (i + 1 < segs.size()) {
            shares[i].slotTo = segs[i + 1].tag.firstSlot;
            shares[i].soundTo = segs[i + 1].tag.firstSoundFrame + 1;
        }
    }
    return shares;
}

// A name beside `target` for the file being written; it replaces the target only when done.
fs::path temporary_beside(const fs::path& target) {
    std::random_device rd;
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%08x%08x", rd(), rd());
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    return folder / ("." + target.filename().string() + ".part-" + suffix);
}

// Removes the temporary file unless it was put in the target's place.
class TemporaryFile {
public:
    explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!committed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const fs::path& path() const { return path_; }

    // Flushes the file to the disk and renames it to `target`, then makes the rename durable.
    void commit(const fs::path& target) {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        const int err = errno;
        if (fd >= 0) ::close(fd);
        if (!synced) fail(target, err);
        if (::rename(path_.c_str(), target.c_str()) != 0) fail(target, errno);
        committed_ = true;
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }

private:
    [[noreturn]] static void fail(const fs::path& target, int err) {
        std::string text = "cannot write " + quoted(target.string()) + ": " + std::strerror(err);
        if (err == ENOSPC || err == EDQUOT) text = "the disk is full: " + text;
        throw Error(text);
    }

    fs::path path_;
    bool committed_ = false;
};

// The stream of the joined file for a segment's stream `par`: its settings, and the pixel
// shape the segment's header gave it.
AVStream* add_copy_stream(encoder::AsfWriter& writer, const Segment& s, int index, AVRational frameRate) {
    ff::CodecParametersPtr par(avcodec_parameters_alloc());
    if (!par || avcodec_parameters_copy(par.get(), s.par(index)) < 0) throw std::bad_alloc();
    if (par->codec_type == AVMEDIA_TYPE_VIDEO)
        par->sample_aspect_ratio = av_guess_sample_aspect_ratio(s.fmt.get(), s.fmt->streams[index], nullptr);
    return writer.add_stream(*par, {1, 1000000}, frameRate);
}

// For a file of sound alone: the packet size that suits the joined length, as an encode of
// the whole stretch picks it.
void fit_packets_to_sound(encoder::AsfWriter& writer, const Segment& s, const encoder::Metadata& metadata) {
    ff::CodecContextPtr audio(avcodec_alloc_context3(nullptr));
    if (!audio || avcodec_parameters_to_context(audio.get(), s.par(s.audio)) < 0) throw std::bad_alloc();
    audio->frame_size = static_cast<int>(s.tag.soundFrame);
    audio->time_base = {1, audio->sample_rate > 0 ? audio->sample_rate : 1};
    const double length = static_cast<double>(s.tag.stretchEndMs - s.tag.stretchStartMs) / 1000.0;
    const int size = encoder::packet_size_for_sound(*audio, metadata, length);
    if (size > 0) writer.set_packet_size(size);
}

encoder::Metadata metadata_of(const Segment& s) {
    auto get = [&](const char* key) {
        const AVDictionaryEntry* e = av_dict_get(s.fmt->metadata, key, nullptr, 0);
        return e ? std::string(e->value) : std::string();
    };
    return {get("title"), get("author"), get("copyright"), get("comment")};
}

// Copies the segments' packets into `writer`; false when cancelled.
bool copy_packets(std::vector<Segment>& segs, encoder::AsfWriter& writer, AVStream* vst, AVStream* ast,
                  const JoinRequest& request) {
    const std::vector<Share> shares = shares_of(segs);
    const SegmentTag& grid = segs.front().tag;
    std::int64_t total = 0, before = 0;
    for (const auto& s : segs) total += std::max<std::int64_t>(1, s.size);
    const int rate = ast ? ast->codecpar->sample_rate : 0;
    ff::PacketPtr pkt = ff::make_packet();
    for (std::size_t i = 0; i < segs.size(); ++i) {
        Segment& s = segs[i];
        const Share& share = shares[i];
        std::int64_t slot = share.slotFrom, frame = s.tag.firstSoundFrame;
        for (;;) {
            if (request.cancelled && request.cancelled()) return false;
            const int rc = av_read_frame(s.fmt.get(), pkt.get());
            if (rc == AVERROR_EOF) break;
            if (rc < 0) refuse("cannot read " + name_of(s.path) + ": " + ff::error_text(rc));
            if (pkt->stream_index == s.video && vst) {
                if (slot >= share.slotTo)
                    refuse(name_of(s.path) + " holds more pictures than its segment: it was not made for this run");
                // Slot n is shown at slot0 + n / fps from the stretch's start.
                pkt->pts = pkt->dts = grid.slot0Us + av_rescale(slot, 1000000 * grid.fpsDen, grid.fpsNum);
                pkt->duration = av_rescale(1, 1000000 * grid.fpsDen, grid.fpsNum);
                ++slot;
                writer.write(pkt.get(), {1, 1000000}, vst, 0);
            } else if (pkt->stream_index == s.audio && ast) {
                // Sound frame k's packet starts a frame before the frame's own samples: the
                // encoder's transform overlaps the frame before it.
                if (frame >= share.soundFrom && frame < share.soundTo) {
                    pkt->pts = pkt->dts = av_rescale((frame - 1) * grid.soundFrame, 1000000, rate);
                    pkt->duration = av_rescale(grid.soundFrame, 1000000, rate);
                    writer.write(pkt.get(), {1, 1000000}, ast, 0);
                }
                ++frame;
            }
            av_packet_unref(pkt.get());
            if (request.onProgress)
                request.onProgress(static_cast<double>(before + std::max<std::int64_t>(0, avio_tell(s.fmt->pb))) /
                                   static_cast<double>(total));
        }
        before += std::max<std::int64_t>(1, s.size);
        // A segment followed by another must hold all of its share: one stopped early or cut
        // short would leave a hole in the joined file.
        if (i + 1 < segs.size()) {
            if (vst && slot < share.slotTo)
                refuse(name_of(s.path) + " is cut short: it holds " + std::to_string(slot - share.slotFrom) + " of its " +
                       std::to_string(share.slotTo - share.slotFrom) +
                       " pictures (its encode was stopped, or the file was damaged)");
            if (ast && share.soundFrom < share.soundTo && frame < share.soundTo)
                refuse(name_of(s.path) + " is cut short: its sound ends before its segment does (its encode was "
                       "stopped, or the file was damaged)");
        }
        s.fmt.reset();  // done with it
    }
    return true;
}

}  // namespace

JoinResult join_segments(const JoinRequest& request) {
    if (request.inputs.empty()) throw Error("cannot join: no segment files given");
    if (request.output.empty()) throw Error("cannot join: no output file given");
    std::vector<Segment> segs;
    for (const auto& path : request.inputs) segs.push_back(open_segment(path));
    struct stat out {};
    if (::stat(request.output.c_str(), &out) == 0)
        for (const auto& s : segs)
            if (s.device == out.st_dev && s.inode == out.st_ino)
                refuse("the output " + name_of(request.output) + " is one of the segments");
    order_and_check(segs);

    const Segment& first = segs.front();
    const fs::path target(request.output);
    TemporaryFile part(temporary_beside(target));
    encoder::AsfWriter writer(part.path().string(), true);
    writer.check_output_can_be_created();
    const encoder::Metadata metadata = metadata_of(first);
    AVStream* vst = first.video >= 0 ? add_copy_stream(writer, first, first.video,
                                                       {static_cast<int>(first.tag.fpsNum), static_cast<int>(first.tag.fpsDen)})
                                     : nullptr;
    AVStream* ast = first.audio >= 0 ? add_copy_stream(writer, first, first.audio, {0, 1}) : nullptr;
    if (ast && !vst) fit_packets_to_sound(writer, first, metadata);
    writer.set_metadata(metadata);
    std::atomic<std::int64_t> bytes{0};
    JoinResult result;
    result.profile = first.tag.profile;
    result.profileBitrate = first.tag.profileBitrate;
    const std::int64_t lengthMs = first.tag.stretchEndMs - first.tag.stretchStartMs;
    try {
        writer.write_header(bytes);
        result.completed = copy_packets(segs, writer, vst, ast, request);
        writer.finish();
    } catch (...) {
        try {
            writer.finish();
        } catch (...) {
        }
        throw;
    }
    if (!result.completed) return result;
    part.commit(target);
    result.bytes = bytes.load();
    result.durationMs = lengthMs;
    result.rateWarning = encoder::rate_warning(
        name_of(request.output), encoder::percent_over_rate(result.bytes, lengthMs, result.profileBitrate),
        result.profile);
    if (request.onProgress) request.onProgress(1.0);
    return result;
}

}  // namespace shardex::join

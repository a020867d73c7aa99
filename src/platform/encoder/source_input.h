// Reading one stream of a source file for an encode. Owns the ByteSource reader under FFmpeg's
// I/O, the demuxer and the stream's decoder; the seek to a mark-in, checked against the first
// decoded frame and stepped further back until decoding starts at or before it; the time
// origin a file's streams share; and the times of decoded pictures, repaired for streams that
// carry only decode times. Runs on the encoder's worker.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/encoder/byte_source.h"
#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/source_open.h"

namespace shardex::encoder {

// The stretch of the source a run encodes, in ms from the time origin.
struct Segment {
    std::int64_t inMs = 0;
    std::int64_t outMs = 0;  // 0: to the end
    bool empty = false;      // a mark-out at or before the mark-in: nothing to encode
    // A segment made to be joined: its picture and sound grids start at the start of the
    // stretch its run split (the segment lies within it), not at its own mark-in.
    bool joinable = false;
    std::int64_t stretchInMs = 0;
    bool endsStretch = false;  // its end is the stretch's end
};

// The ByteSources of an encode's inputs, one opener answer per path: the video and audio
// demuxers of one file share its ByteSource, and so its cache.
class SourceOpener {
public:
    explicit SourceOpener(InputOpener opener) : opener_(std::move(opener)) {}
    // The source for `path`; null for a local file. The opener's refusals keep their own text
    // and gain the source's code.
    std::shared_ptr<ByteSource> source_for(const std::string& path);

private:
    InputOpener opener_;
    std::map<std::string, std::shared_ptr<ByteSource>> sources_;
};

// Thrown where a stop ended a source's read in the middle of a step: the encode ends as
// stopped.
struct ReadingStopped {};

class SourceInput {
public:
    // Opens `path` (a local file when `source` is null, else read through it) for its best
    // stream of `type`, within `bounds`; has_stream() is false when the file has none.
    // Throws shardex::Error.
    SourceInput(const std::string& path, const std::shared_ptr<ByteSource>& source, AVMediaType type,
                const OpenBounds& bounds, int threads);
    ~SourceInput();
    SourceInput(const SourceInput&) = delete;
    SourceInput& operator=(const SourceInput&) = delete;

    bool has_stream() const { return stream_ >= 0; }
    // Opening is over: the encode reads for as long as it takes.
    void end_open_limit();
    const std::string& path() const { return path_; }
    std::int64_t duration_ms() const;  // of the whole file; 0 when unknown
    AVRational time_base() const { return tb_; }
    const AVCodecContext& decoder() const { return *dec_; }
    // The shape of a video stream's pictures as shown, width over height ({0, 1}: unknown).
    AVRational display_aspect() const;

    // Seeks so that decoding starts at or before `markInMs` and the next frames read are the
    // segment's.
    void rewind(std::int64_t markInMs);

    // What a frame handler tells the reader: go on, this stream's part of the segment is
    // over, or stop decoding this packet (the run was asked to stop).
    enum class Next { kMore, kEnd, kStop };
    using FrameHandler = std::function<Next(AVFrame*)>;

    // Reads one packet and decodes it, handing each frame to `onFrame`; at the end of the
    // file drains the decoder and is done. A read the ByteSource failed is an error, not an
    // end: encoding what was read would give a file silently cut short.
    void step(const FrameHandler& onFrame);
    bool done() const { return done_; }
    double clock() const { return clock_; }  // seconds of the last packet read

    // A decoded picture's time in the stream's time base, from the time origin; NOPTS when
    // it has none. Call once per picture, in decoding order (it follows decode-timed streams).
    std::int64_t picture_ts(const AVFrame* f);
    // A decoded sound frame's time in the stream's time base, from the time origin; NOPTS
    // when it has none.
    std::int64_t sound_ts(const AVFrame* f) const;
    // How long a decoded picture lasts, in seconds; a frame of `fallbackFps` where the file
    // does not say.
    double picture_seconds(const AVFrame* f, AVRational fallbackFps) const;

    // The time (stream time base, from the time origin) of the first picture at or after
    // `ms`, as a pass that starts there meets it; NOPTS when there is none. Reads the stream:
    // rewind before the next pass.
    std::int64_t first_picture_from(std::int64_t ms);

private:
    AVFormatContext* fmt() const;
    AVStream* st() const;
    void seek_to(std::int64_t targetMs);
    void restart_timing();
    void note_packet(const AVPacket* p);
    std::int64_t first_frame_ts();
    void decode(const AVPacket* p, const FrameHandler& onFrame);
    [[noreturn]] void failed(const char* what, const std::string& why) const;
    bool interrupted() const;

    std::string path_;
    bool video_ = false;
    ReadInterrupt* interrupt_ = nullptr;  // the job's: a read it ended is a stop, not a failure
    std::unique_ptr<Demuxer> demux_;
    int stream_ = -1;
    ff::CodecContextPtr dec_;
    AVRational tb_{1, 1};
    std::int64_t startPts_ = 0;  // the file's time origin in `tb_`: shared by all its streams
    bool done_ = false;
    double clock_ = 0;
    ff::PacketPtr pkt_ = ff::make_packet();
    ff::FramePtr decoded_ = ff::make_frame();

    // Containers such as AVI carry only decode times, so the decoder's guess at a reordered
    // (B-frame) picture's time is the decode time of the later packet that released it. Such
    // a stream is timed by that decode time less the decoder's reordering delay, which holds
    // even where the decoder drops pictures it cannot decode after a seek (open GOPs); a
    // picture without one follows the last by a frame.
    bool firstPacket_ = true;               // the next packet read is the first after a seek
    bool decodeTimed_ = false;              // timed by decode times, not presentation times
    std::int64_t lastTs_ = AV_NOPTS_VALUE;  // the last picture's time (decode-timed)
    std::int64_t frameTicks_ = 0;           // one picture's duration in `tb_`
};

}  // namespace shardex::encoder

// How the encoder opens a source file, and what it refuses to open. A source is one video
// file read as such: a file that names other files or addresses (playlists, concatenation
// lists, image sequences, stream descriptions) is refused, never followed, since following
// it would read files or fetch addresses the user never chose; on a client, a Server could
// make the agent fetch any address or read the agent's own files and get them back encoded.
//
// Every source is read through an I/O context of ours: a local file through FFmpeg's file
// protocol and nothing else, a shared one (over a ByteSource) through its reader. Nested
// opens are refused by our own callback and by an empty protocol list for what bypasses
// it; a shared source must in addition be one of the containers below.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/encoder/byte_source.h"
#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/transcoder.h"

namespace shardex::encoder {

// The containers (FFmpeg demuxer names) a source read from another computer may be: the
// single-file video containers users bring (AVI, the design's own kind; MP4/MOV from
// cameras and phones; Matroska/WebM; MPEG program and transport streams from DVDs and
// camcorders; ASF/WMV; FLV; raw DV captures). Each reads its own bytes only. Anything else
// there is refused: every demuxer is code a peer could aim at, and the ones that name other
// resources (HLS, DASH, concat, image sequences, SDP...) must never run on a peer's file.
inline constexpr const char* kSharedSourceFormats = "avi,mov,matroska,mpeg,mpegts,asf,flv,dv";
// The same list as a user reads it.
inline constexpr const char* kSharedSourceKinds = "AVI, MP4/MOV, Matroska/WebM, MPEG-PS/TS, ASF/WMV, FLV or DV";

struct InputState;

// What bounds the opening of one job's sources: `interrupt` (may be null) ends it from
// another thread, and every source must be open by `until`, `limit` after the job's open
// began.
struct OpenBounds {
    ReadInterrupt* interrupt = nullptr;
    std::chrono::milliseconds limit = kDefaultOpenLimit;
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max();
};

// An opened source file and the I/O it reads through. Owns both; the format context is
// closed before the I/O context it reads through goes.
class Demuxer {
public:
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    AVFormatContext* fmt() const { return fmt_.get(); }
    // Why reading failed for a reason of ours (a shared read that failed, a refused nested
    // open, an interrupt or the open limit), "" when it did not: FFmpeg's own end of file
    // and damaged data are not such failures.
    std::string readError() const;
    // Lifts the open limit: the encode reads for as long as it takes.
    void endOpenLimit();

private:
    Demuxer();
    friend std::unique_ptr<Demuxer> open_demuxer(const std::string&, const std::shared_ptr<ByteSource>&,
                                                 const OpenBounds&);
    std::unique_ptr<InputState> state_;
    ff::AvioPtr sharedIo_;  // over a ByteSource
    ff::OpenedIoPtr fileIo_;    // a local file
    ff::InputFormatPtr fmt_;
};

// Opens and probes `path`: as a local file when `source` is null, else through `source`
// (a shared file), within `bounds`. Throws shardex::Error (errors::kSourceUnreadable)
// naming the file and why; "... is not a single video file ..." for a file that names
// others, or a shared one of a kind not on the list.
std::unique_ptr<Demuxer> open_demuxer(const std::string& path, const std::shared_ptr<ByteSource>& source,
                                      const OpenBounds& bounds);

// A failure of FFmpeg on `d`: its own description when it has one, else FFmpeg's text.
std::string reason(const Demuxer& d, int rc);

}  // namespace shardex::encoder

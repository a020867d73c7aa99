// One encode of a source segment into an ASF file: reading and decoding the input(s),
// cutting the segment frame-exactly, scaling and resampling to the profile, encoding with
// the Windows Media encoders and muxing. Runs on the encoder's worker; the live figures it
// keeps may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/encoder/byte_source.h"
#include "platform/encoder/profiles.h"

namespace shardex::encoder {

// How long opening and probing a job's sources may take before it is given up. A share that
// answers each read just before its call deadline would otherwise hold a prepare (and the
// agent's thread that runs it) for as long as it likes; a read in flight when the limit
// passes still ends at its own call deadline (10 s), within the minute a Server gives a
// remote prepare.
inline constexpr std::chrono::milliseconds kDefaultOpenLimit{40'000};

struct Metadata {
    std::string title, author, copyright, description;
};

struct TranscodeSettings {
    std::string videoPath;  // input of the video source
    std::string audioPath;  // input of the audio source
    std::string outputPath;
    ProfileData profile;
    Metadata metadata;
    int codecThreads = 1;   // encoder threads
    int decodeThreads = 0;  // 0 = FFmpeg's choice
    InputOpener openInput;  // empty: the paths are local files
    // Ends the job's reading from another thread (may be null): open() then fails, and
    // run() stops as if asked to, the file finished.
    std::shared_ptr<ReadInterrupt> interrupt;
    std::chrono::milliseconds openLimit = kDefaultOpenLimit;  // for opening every source
    // A link in the output's place is refused, not followed; so is a file there that has
    // other names (hard links).
    bool refuseLinkedOutput = false;
};

// The stretch of the source a run splits into consecutive segments, in ms from the source's
// time origin (see Source::setStretch). startMs negative: none, the segment stands alone.
struct Stretch {
    std::int64_t startMs = -1;
    std::int64_t endMs = -1;  // negative or beyond the end: to the end of the source
    bool set() const { return startMs >= 0; }
};

struct LiveFigures {
    std::atomic<std::int64_t> bytes{0};
    std::atomic<std::int64_t> mediaMs{0};
};

// Sees every encoded video packet (the data view decodes them for the window); declared in
// packet_observer.h, private to the encoder library since it names FFmpeg's types.
class PacketObserver;

struct RunControl {
    std::function<bool()> stopRequested;   // polled between frames
    std::function<void()> waitWhilePaused;  // blocks while paused
    PacketObserver* observer = nullptr;     // may be null
};

class Transcoder {
public:
    Transcoder();
    ~Transcoder();
    Transcoder(const Transcoder&) = delete;
    Transcoder& operator=(const Transcoder&) = delete;

    // Opens the inputs, checks that the output file can be created and that the profile's
    // encoders accept the settings. The output file is created (or an existing one
    // replaced, once the new header is on the disk) only when run() writes its header. Throws shardex::Error (with a code from
    // errors.h) describing the failure.
    void open(const TranscodeSettings& settings);
    std::int64_t durationMs() const;
    // Throws shardex::Error (kBadConfiguration) when a segment would not lie within `stretch`,
    // as run() would.
    void check_segment(std::int64_t markInMs, std::int64_t markOutMs, const Stretch& stretch) const;

    // Encodes [markInMs, markOutMs) (markOutMs negative or beyond the end: to the end; at or
    // before markInMs: nothing, into a valid empty file). Within a `stretch` that is set the
    // segment is made to be joined with the stretch's other segments (its header says where it
    // lies; a segment outside the stretch is refused). With twoPass, an analysis pass runs
    // first. Returns normally when done or stopped; throws shardex::Error with a code when the
    // encode fails (the file written so far is finished and stays readable; a failure before
    // the header leaves no file this run created).
    void run(std::int64_t markInMs, std::int64_t markOutMs, const Stretch& stretch, bool twoPass,
             const RunControl& control, LiveFigures& figures);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace shardex::encoder

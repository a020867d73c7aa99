// The encoder component's object model: what the window's jobs and profile routines call.
// One interface with two implementations: the local FFmpeg encoder (this folder) and,
// later, a remote proxy that forwards every call to an agent. No Qt here: the agent hosts
// the same component.
//
// Failures: every call that can fail throws shardex::Error whose description can be shown
// to the user as it is. Errors during an encode raise OnError (codes in errors.h) and the
// encode then ends in state 5 (stopped).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace shardex::encoder {

enum SourceType : std::int32_t { kSourceAudio = 1, kSourceVideo = 2 };

enum RunState : std::int32_t {
    kStateStarting = 1,
    kStateRunning = 2,
    kStatePaused = 3,
    kStateStopping = 4,
    kStateStopped = 5,
};

enum ContentType : std::int32_t { kContentAudio = 1, kContentVideo = 16, kContentAudioVideo = 17 };

enum BitrateMode : std::int32_t {
    kModeCbr = 1,                // constant bit rate with a buffer
    kModeVbrPeak = 2,            // two-pass, peak-constrained variable bit rate
    kModeVbrQuality = 3,         // one-pass, quality-based variable bit rate
    kModeVbrUnconstrained = 4,   // two-pass, unconstrained variable bit rate
};

// A fixed-point number with four decimal places, as the statistics report sizes and
// durations: raw is the stored 64-bit integer (bytes for a size, milliseconds for a
// duration), value() the reported number (raw / 10,000).
struct Fixed4 {
    std::int64_t raw = 0;
    double value() const { return static_cast<double>(raw) / 10000.0; }
};

// ---- profiles --------------------------------------------------------------------------

// An installed profile, as an item of a profile collection.
class Profile {
public:
    virtual ~Profile() = default;
    virtual std::string name() const = 0;
    // The whole profile as the JSON text of a profile file, so that a profile can be
    // loaded into an editing object or sent to another computer.
    virtual std::string definition() const = 0;
};

class ProfileCollection {
public:
    virtual ~ProfileCollection() = default;
    virtual void refresh() = 0;  // read the stock set and the profiles folder again
    virtual std::int32_t count() = 0;
    virtual std::shared_ptr<Profile> item(std::int32_t index) = 0;  // 0-based
};

// One audience (bit-rate variant) of a loaded profile. Stream indexes are 0-based.
class Audience {
public:
    virtual ~Audience() = default;
    virtual std::int32_t videoCodec(std::int32_t stream) = 0;       // codec index
    virtual std::int32_t videoWidth(std::int32_t stream) = 0;       // pixels
    virtual std::int32_t videoHeight(std::int32_t stream) = 0;      // pixels
    virtual std::int32_t videoFps(std::int32_t stream) = 0;         // thousandths of a frame per second
    virtual std::int32_t audioBitrate(std::int32_t stream) = 0;     // bits per second
    virtual std::int32_t videoBitrate(std::int32_t stream) = 0;     // bits per second
    virtual std::int32_t videoBufferSize(std::int32_t stream) = 0;  // milliseconds
    virtual std::int32_t videoPeakBitrate() = 0;                    // bits per second, audience-wide
    virtual std::int32_t videoQuality(std::int32_t stream) = 0;     // 0..100
};

// The profile-editing object: load a profile, then read what it describes.
class ProfileEditor {
public:
    virtual ~ProfileEditor() = default;
    virtual void load(const std::shared_ptr<Profile>& profile) = 0;
    virtual std::int32_t contentType() = 0;  // ContentType
    virtual std::int32_t audienceCount() = 0;
    virtual std::shared_ptr<Audience> audience(std::int32_t index) = 0;
    // Bit-rate mode (BitrateMode) of a stream: type kSourceVideo or kSourceAudio.
    virtual std::int32_t bitrateMode(std::int32_t streamType, std::int32_t streamIndex) = 0;
    virtual std::int32_t videoCodecCount() = 0;
    // Name of the video codec with the given index; fourcc receives its four-character code.
    virtual std::string videoCodecName(std::int32_t codecIndex, std::string* fourcc = nullptr) = 0;
};

// ---- sources --------------------------------------------------------------------------

// A data view: the encoder shows the pictures it encodes in a window. Created on its own,
// added to a video source (which returns the stream cookie), then given the cookie and the
// window, and started after prepare.
class DataView {
public:
    virtual ~DataView() = default;
    virtual void setViewProperties(std::int32_t streamCookie, WindowHandle window) = 0;
    virtual void startView(std::int32_t streamCookie) = 0;
    virtual void stopView(std::int32_t streamCookie) = 0;
};

class Source {
public:
    virtual ~Source() = default;
    virtual std::int32_t type() const = 0;  // SourceType
    virtual void setInput(const std::string& path, const std::string& scheme, const std::string& initData) = 0;
    virtual std::string input() const = 0;
    virtual void setMarkIn(std::int32_t ms) = 0;
    virtual std::int32_t markIn() const = 0;
    // End of the segment. Until it is set (markOut() -1) the segment runs to the end of the
    // source, as it does for a mark-out beyond the end; a mark-out at or before the mark-in
    // gives an empty segment and a valid file without media.
    virtual void setMarkOut(std::int32_t ms) = 0;
    virtual std::int32_t markOut() const = 0;
    // The stretch of the source that a run splits into consecutive segments, one per computer,
    // to be joined into one file afterwards: ms from the source's start, endMs -1 to the end
    // of the source. Set (startMs >= 0), this source's segment must lie within it (start
    // fails otherwise) and is made to be joined: every segment of the stretch gets the same
    // video budget, its pictures keep the stretch's frame grid and its sound the stretch's
    // sound frame grid, its sound runs up to a frame past each end of the segment, and the
    // file's header says where it lies (segment_tag.h). Not set (startMs -1, the default and
    // after setStretch(-1, -1)), the segment stands alone.
    virtual void setStretch(std::int32_t startMs, std::int32_t endMs) = 0;
    virtual std::int32_t stretchStart() const = 0;
    virtual std::int32_t stretchEnd() const = 0;
    virtual std::int32_t duration() = 0;  // ms; known after prepare
    virtual void setPreProcessPass(std::int32_t pass) = 0;  // 1 = run an analysis pass first
    virtual std::int32_t preProcessPass() const = 0;
    // Video sources only: attach a data view; returns the view's 32-bit stream cookie.
    virtual std::int32_t addDataView(const std::shared_ptr<DataView>& view) = 0;
};

class SourceGroup {
public:
    virtual ~SourceGroup() = default;
    virtual std::string name() const = 0;
    virtual std::shared_ptr<Source> addSource(std::int32_t type) = 0;  // SourceType
    virtual std::int32_t sourceCount() = 0;
    virtual std::shared_ptr<Source> source(std::int32_t index) = 0;
    virtual void setProfile(const std::shared_ptr<Profile>& profile) = 0;
    virtual std::shared_ptr<Profile> profile() const = 0;  // empty when none is set
};

class SourceGroupCollection {
public:
    virtual ~SourceGroupCollection() = default;
    virtual std::shared_ptr<SourceGroup> add(const std::string& name) = 0;
    virtual std::int32_t count() = 0;
    virtual std::shared_ptr<SourceGroup> item(std::int32_t index) = 0;
};

// ---- the rest of the encoder ------------------------------------------------------------

class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual void setLocalFileName(const std::string& path) = 0;
    virtual std::string localFileName() const = 0;
    // Removes the file the encoder's last encode wrote, once it has stopped: a measure's output
    // that nobody wants. Nothing when there is none.
    virtual void discard() = 0;
};

class DisplayInfo {
public:
    virtual ~DisplayInfo() = default;
    virtual void setAuthor(const std::string& v) = 0;
    virtual void setCopyright(const std::string& v) = 0;
    virtual void setDescription(const std::string& v) = 0;
    virtual void setTitle(const std::string& v) = 0;
    virtual std::string author() const = 0;
    virtual std::string copyright() const = 0;
    virtual std::string description() const = 0;
    virtual std::string title() const = 0;
};

// Live figures of the running (or last) encode; callable at any time from the owner's thread.
class Statistics {
public:
    virtual ~Statistics() = default;
    virtual Fixed4 archiveFileSize() = 0;      // raw = bytes written to the output file
    virtual Fixed4 archiveFileDuration() = 0;  // raw = milliseconds of media written
    virtual std::int32_t outputBitrate() = 0;  // bits per second
};

// Runs a callable on the owner's thread (the window posts it to its UI thread, the agent
// to its event stream). The encoder never calls the owner's handlers directly.
using Executor = std::function<void(std::function<void()>)>;

struct EventHandlers {
    std::function<void(std::int32_t state)> onStateChange;
    // An error during an encode: its code (errors.h) and a description a user can read.
    std::function<void(std::int32_t code, const std::string& description)> onError;
};

class Encoder {
public:
    virtual ~Encoder() = default;
    virtual std::shared_ptr<SourceGroupCollection> sourceGroups() = 0;
    virtual std::shared_ptr<OutputFile> file() = 0;
    virtual std::shared_ptr<DisplayInfo> displayInfo() = 0;
    virtual std::shared_ptr<ProfileCollection> profileCollection() = 0;
    virtual std::shared_ptr<Statistics> statistics() = 0;

    virtual void reset() = 0;                  // forget groups, output, display information
    virtual void prepare(bool prepare) = 0;    // open the sources, check the profile, open the output
    virtual void start() = 0;                  // begin encoding on the encoder's worker
    virtual void stop() = 0;                   // end the encode; the file stays valid
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual std::int32_t runState() const = 0;  // RunState, kStateStopped when idle

    // Where and how events are delivered. Handlers run only through the executor.
    virtual void setEventHandlers(Executor executor, EventHandlers handlers) = 0;
};

// The encoder application a remote agent creates on a client computer: the program the
// client's user sees while a job runs there.
class EncoderApp {
public:
    virtual ~EncoderApp() = default;
    virtual void setPlacement(std::int32_t first, std::int32_t second) = 0;
    virtual void setVisible(bool visible) = 0;
};

// The encoder agent of another computer: it creates encoder applications there and hands
// out their encoders. What it creates belongs to the connection that created it; another
// computer's connection can neither list nor drive it. Every call has a deadline and
// throws shardex::Error naming the computer and what failed.
class Agent {
public:
    virtual ~Agent() = default;
    // Creates (or, for a name this connection created before, returns) an application.
    virtual std::shared_ptr<EncoderApp> createEncoderApp(const std::string& name, const std::string& progId) = 0;
    // Names of this connection's encoders, oldest first.
    virtual std::vector<std::string> encoderNames() = 0;
    // The encoder of that name; its events come back through its event handlers.
    virtual std::shared_ptr<Encoder> encoder(const std::string& name) = 0;
};

}  // namespace shardex::encoder

// The preview player's playback graph, seen through six facets as the window's routines
// use it: control, audio, video, events, position and the video window. Times are seconds
// as doubles. Every operation throws shardex::Error when it fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

namespace shardex::media {

class MediaControl {
public:
    virtual ~MediaControl() = default;
    // Opens the file for playback and waits (with a time limit) until it is loaded, so
    // that duration and picture size can be read right after.
    virtual void renderFile(const std::string& path) = 0;
    virtual void run() = 0;
    virtual void pause() = 0;
    virtual void stop() = 0;  // stops playback and keeps the position
};

class BasicAudio {
public:
    virtual ~BasicAudio() = default;
    virtual void setVolume(std::int32_t v) = 0;   // 0 = full volume, -10000 = silence (hundredths of dB)
    virtual void setBalance(std::int32_t v) = 0;  // -10000 left .. 0 centre .. 10000 right
};

class BasicVideo {
public:
    virtual ~BasicVideo() = default;
    virtual void setDestinationHeight(std::int32_t v) = 0;
    virtual void setDestinationWidth(std::int32_t v) = 0;
    virtual std::int32_t videoWidth() = 0;   // native picture width
    virtual std::int32_t videoHeight() = 0;  // native picture height
};

// Held by the window and never called; present so the graph exposes its event facet.
class MediaEvent {
public:
    virtual ~MediaEvent() = default;
};

class MediaPosition {
public:
    virtual ~MediaPosition() = default;
    virtual void setRate(double rate) = 0;
    virtual double duration() = 0;
    virtual double currentPosition() = 0;
    virtual void setCurrentPosition(double seconds) = 0;  // exact seek; playback state unchanged
};

class VideoWindow {
public:
    virtual ~VideoWindow() = default;
    virtual void setWindowStyle(std::int32_t style) = 0;
    // The window the picture is drawn in. Setting it again takes the picture back into
    // that window after another producer (an encoder's data view) used it.
    virtual void setOwner(WindowHandle owner) = 0;
    virtual void setTop(std::int32_t v) = 0;
    virtual void setLeft(std::int32_t v) = 0;
    virtual void setWidth(std::int32_t v) = 0;
    virtual void setHeight(std::int32_t v) = 0;
};

// One graph per chosen source; the facets are the same object.
class FilterGraph : public MediaControl,
                    public BasicAudio,
                    public BasicVideo,
                    public MediaEvent,
                    public MediaPosition,
                    public VideoWindow {};

}  // namespace shardex::media

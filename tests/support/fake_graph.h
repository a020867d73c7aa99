// A preview graph without a player: positions and lengths are plain numbers the test sets,
// seeks are recorded, and any call can fail like a graph that did not open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/media/graph.h"

namespace shardex::testing {

class FakeGraph : public media::FilterGraph {
public:
    // What the "file" is, and what fails.
    double length = 400.0;
    std::int32_t width = 640, height = 480;
    bool hasPicture = true;
    std::string renderError;  // non-empty: renderFile throws "cannot open '<path>': <renderError>"
    bool positionFails = false, controlFails = false;

    // State and record.
    double position = 0.0;
    bool playing = false;
    std::string renderedPath;
    std::vector<double> seeks;
    WindowHandle owner = 0;

    void renderFile(const std::string& path) override {
        if (!renderError.empty()) throw Error("cannot open '" + path + "': " + renderError);
        renderedPath = path;
    }
    void run() override { control(), playing = true; }
    void pause() override { stop(); }
    void stop() override { control(), playing = false; }
    void setVolume(std::int32_t v) override { set("volume", v); }
    void setBalance(std::int32_t v) override { set("balance", v); }
    void setDestinationHeight(std::int32_t v) override { set("destinationHeight", v); }
    void setDestinationWidth(std::int32_t v) override { set("destinationWidth", v); }
    std::int32_t videoWidth() override { return picture(), width; }
    std::int32_t videoHeight() override { return picture(), height; }
    void setRate(double r) override { set("rate", r); }
    double duration() override { return positioned("cannot read the duration"), length; }
    double currentPosition() override { return positioned("cannot read the playback position"), position; }
    void setCurrentPosition(double s) override { positioned("cannot seek"), seeks.push_back(s), position = s; }
    void setWindowStyle(std::int32_t v) override { set("style", v); }
    void setOwner(WindowHandle h) override { set("owner", h), owner = h; }
    void setTop(std::int32_t v) override { set("top", v); }
    void setLeft(std::int32_t v) override { set("left", v); }
    void setWidth(std::int32_t v) override { set("width", v); }
    void setHeight(std::int32_t v) override { set("height", v); }

private:
    template <typename T>
    void set(const char*, T) {}
    void control() const { if (controlFails) throw Error("the graph refused"); }
    void picture() const { if (!hasPicture) throw Error("the source has no picture"); }
    void positioned(const char* failure) const { if (positionFails) throw Error(failure); }
};

}  // namespace shardex::testing

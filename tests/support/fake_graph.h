// A preview graph without a player: positions and lengths are plain numbers the test sets,
// and every call is recorded. Any call can be made to fail like a graph that did not open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/media/graph.h"

namespace shardex::testing {

class FakeGraph : public media::FilterGraph {
public:
    // What the "file" is.
    double length = 400.0;
    std::int32_t width = 640, height = 480;
    bool hasPicture = true;
    // Failures: the open, or every position and length call afterwards.
    std::string renderError;  // non-empty: renderFile throws "cannot open '<path>': <renderError>"
    bool positionFails = false;
    bool controlFails = false;

    // State and record.
    double position = 0.0;
    bool playing = false;
    std::string renderedPath;
    std::vector<double> seeks;
    int runs = 0, stops = 0;
    double rate = 0;
    std::int32_t volume = 1, balance = 1, destWidth = 0, destHeight = 0;
    std::int32_t style = -1, top = -1, left = -1, winWidth = 0, winHeight = 0;
    WindowHandle owner = 0;
    int ownerSets = 0;

    void renderFile(const std::string& path) override {
        if (!renderError.empty()) throw Error("cannot open '" + path + "': " + renderError);
        renderedPath = path;
    }
    void run() override {
        if (controlFails) throw Error("run failed");
        playing = true;
        ++runs;
    }
    void pause() override { stop(); }
    void stop() override {
        if (controlFails) throw Error("stop failed");
        playing = false;
        ++stops;
    }
    void setVolume(std::int32_t v) override { volume = v; }
    void setBalance(std::int32_t v) override { balance = v; }
    void setDestinationHeight(std::int32_t v) override { destHeight = v; }
    void setDestinationWidth(std::int32_t v) override { destWidth = v; }
    std::int32_t videoWidth() override {
        if (!hasPicture) throw Error("the source has no picture");
        return width;
    }
    std::int32_t videoHeight() override {
        if (!hasPicture) throw Error("the source has no picture");
        return height;
    }
    void setRate(double r) override { rate = r; }
    double duration() override {
        if (positionFails) throw Error("cannot read the duration");
        return length;
    }
    double currentPosition() override {
        if (positionFails) throw Error("cannot read the playback position");
        return position;
    }
    void setCurrentPosition(double s) override {
        if (positionFails) throw Error("cannot seek");
        seeks.push_back(s);
        position = s;
    }
    void setWindowStyle(std::int32_t v) override { style = v; }
    void setOwner(WindowHandle h) override {
        owner = h;
        ++ownerSets;
    }
    void setTop(std::int32_t v) override { top = v; }
    void setLeft(std::int32_t v) override { left = v; }
    void setWidth(std::int32_t v) override { winWidth = v; }
    void setHeight(std::int32_t v) override { winHeight = v; }
};

}  // namespace shardex::testing

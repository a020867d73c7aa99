// The preview graph on libmpv.
//
// One mpv player per graph. Two threads of our own serve it:
//  - the event thread drains mpv's event queue and counts the events that the blocking
//    operations wait for (file loaded, file ended with an error, playback restarted after
//    a load or a seek);
//  - the render thread, present only when pictures are drawn, renders each new video frame
//    in software into a buffer of the video window's size and hands it to the window's
//    picture sink. mpv's update callback only wakes this thread: no mpv call may be made
//    from inside the callback.
#include "platform/media/mpv_graph.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/frames/frame_sink.h"
#include "platform/media/factory.h"
#include "platform/media/graph.h"

namespace shardex::media {
namespace {

using namespace detail;
using Clock = std::chrono::steady_clock;

std::string mpv_text(int rc) { return mpv_error_string(rc); }

// Seconds written without the locale's decimal separator, as mpv's command parser reads them.
std::string seconds_text(double s) {
    std::array<char, 64> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), s, std::chars_format::fixed, 6);
    if (ec != std::errc()) throw Error("cannot write the position " + std::to_string(s) + " as text");
    return std::string(buf.data(), end);
}

class MpvGraph final : public FilterGraph {
public:
    explicit MpvGraph(const GraphOptions& options);
    ~MpvGraph() override;
    MpvGraph(const MpvGraph&) = delete;
    MpvGraph& operator=(const MpvGraph&) = delete;

    // MediaControl
    void renderFile(const std::string& path) override;
    void run() override { setPause(false, "run"); }
    void pause() override { setPause(true, "pause"); }
    void stop() override { setPause(true, "stop"); }

    // BasicAudio
    void setVolume(std::int32_t v) override;
    void setBalance(std::int32_t v) override;

    // BasicVideo
    void setDestinationHeight(std::int32_t v) override { setWindowValue(destHeight_, v, "destination height"); }
    void setDestinationWidth(std::int32_t v) override { setWindowValue(destWidth_, v, "destination width"); }
    std::int32_t videoWidth() override { return videoSize("width"); }
    std::int32_t videoHeight() override { return videoSize("height"); }

    // MediaPosition
    void setRate(double rate) override;
    double duration() override { return readDouble("duration", "the duration"); }
    double currentPosition() override { return readDouble("time-pos", "the playback position"); }
    void setCurrentPosition(double seconds) override;

    // VideoWindow
    void setWindowStyle(std::int32_t style) override {
        std::lock_guard lock(windowMutex_);
        style_ = style;  // the picture is always drawn as a borderless child of its owner
    }
    void setOwner(WindowHandle owner) override;
    void setTop(std::int32_t v) override { setWindowValue(top_, v, "top", true); }
    void setLeft(std::int32_t v) override { setWindowValue(left_, v, "left", true); }
    void setWidth(std::int32_t v) override { setWindowValue(width_, v, "width"); }
    void setHeight(std::int32_t v) override { setWindowValue(height_, v, "height"); }

private:
    void check(int rc, const std::string& what) const {
        if (rc < 0) throw Error(what + ": " + mpv_text(rc), rc);
    }
    void setOption(const char* name, const std::string& value);
    void setPause(bool paused, const char* operation);
    double readDouble(const char* property, const std::string& what);
    std::int32_t videoSize(const char* property);
    void setWindowValue(std::int32_t& field, std::int32_t v, const char* what, bool allowNegative = false);
    // Waits until `done` holds (called with the event lock held) or the deadline passes.
    template <typename Pred>
    bool waitEvent(Clock::time_point deadline, Pred done);

    void eventLoop();
    void renderLoop();
    void renderFrame();

    GraphOptions options_;
    MpvHandle mpv_;
    MpvRenderContext render_;

    // Event bookkeeping, written by the event thread.
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    std::uint64_t fileLoads_ = 0;
    std::uint64_t fileErrors_ = 0;
    std::uint64_t restarts_ = 0;
    // The seek setCurrentPosition waits for, told apart from the events of earlier seeks
    // (which may still be on their way on a busy computer): mpv answers the command, then
    // starts that seek (its seek event comes after the answer), then restarts playback.
    enum class SeekStage { Idle, Asked, Answered, Started, Done };
    std::uint64_t seekId_ = 0;
    SeekStage seekStage_ = SeekStage::Idle;
    int seekError_ = 0;
    int lastEndError_ = 0;
    bool shutdown_ = false;
    bool stopEvents_ = false;
    std::thread eventThread_;

    // Render wake-ups from mpv's update callback.
    std::mutex renderMutex_;
    std::condition_variable renderCv_;
    bool renderPending_ = false;
    bool stopRender_ = false;
    std::thread renderThread_;

    // The video window: where pictures go and at which size.
    std::mutex windowMutex_;
    WindowHandle owner_ = 0;
    frames::ClaimToken token_ = 0;
    std::int32_t style_ = 0, top_ = 0, left_ = 0, width_ = 320, height_ = 240;
    std::int32_t destWidth_ = 0, destHeight_ = 0;
    std::shared_ptr<const frames::VideoFrame> lastFrame_;
};

MpvGraph::MpvGraph(const GraphOptions& options) : options_(options) {
    mpv_.reset(mpv_create());
    if (!mpv_) throw Error("cannot create the media player: mpv_create failed");

    const bool drawPictures = options_.videoOutput == "libmpv";
    // A player of its own: no user configuration, scripts, key bindings or on-screen controls.
    setOption("config", "no");
    setOption("terminal", "no");
    setOption("load-scripts", "no");
    setOption("input-default-bindings", "no");
    setOption("osc", "no");
    setOption("ytdl", "no");
    setOption("idle", "yes");
    setOption("vo", options_.videoOutput.empty() ? "libmpv" : options_.videoOutput);
    if (!options_.audioOutput.empty()) setOption("ao", options_.audioOutput);
    // Without a sound card the picture still plays.
    setOption("audio-fallback-to-null", "yes");
    // Open paused, seek to the exact frame, and stay on the last frame at the end.
    setOption("pause", "yes");
    setOption("hr-seek", "yes");
    setOption("keep-open", "yes");
    check(mpv_initialize(mpv_.get()), "cannot start the media player (mpv_initialize)");

    if (drawPictures) {
        std::array<mpv_render_param, 2> params{{
            {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_SW)},
            {MPV_RENDER_PARAM_INVALID, nullptr},
        }};
        mpv_render_context* ctx = nullptr;
        check(mpv_render_context_create(&ctx, mpv_.get(), params.data()),
              "cannot set up software rendering (mpv_render_context_create)");
        render_.reset(ctx);
    }

    eventThread_ = std::thread([this] { eventLoop(); });
    if (render_) {
        renderThread_ = std::thread([this] { renderLoop(); });
        mpv_render_context_set_update_callback(
            render_.get(),
            [](void* self) {
                auto* g = static_cast<MpvGraph*>(self);
                std::lock_guard lock(g->renderMutex_);
                g->renderPending_ = true;
                g->renderCv_.notify_one();
            },
            this);
    }
}

MpvGraph::~MpvGraph() {
    if (render_) {
        mpv_render_context_set_update_callback(render_.get(), nullptr, nullptr);
        {
            std::lock_guard lock(renderMutex_);
            stopRender_ = true;
        }
        renderCv_.notify_one();
        if (renderThread_.joinable()) renderThread_.join();
        render_.reset();  // must go before the player itself
    }
    {
        std::lock_guard lock(eventMutex_);
        stopEvents_ = true;
    }
    mpv_wakeup(mpv_.get());
    if (eventThread_.joinable()) eventThread_.join();
    mpv_.reset();
}

void MpvGraph::setOption(const char* name, const std::string& value) {
    check(mpv_set_option_string(mpv_.get(), name, value.c_str()),
          std::string("cannot set the player option ") + name + "=" + value);
}

template <typename Pred>
bool MpvGraph::waitEvent(Clock::time_point deadline, Pred done) {
    std::unique_lock lock(eventMutex_);
    return eventCv_.wait_until(lock, deadline, [&] { return done() || shutdown_; }) && !shutdown_;
}

void MpvGraph::eventLoop() {
    for (;;) {
        mpv_event* e = mpv_wait_event(mpv_.get(), -1);
        std::lock_guard lock(eventMutex_);
        if (stopEvents_) return;
        switch (e->event_id) {
            case MPV_EVENT_FILE_LOADED:
                ++fileLoads_;
                break;
            case MPV_EVENT_COMMAND_REPLY:
                if (seekStage_ != SeekStage::Asked || e->reply_userdata != seekId_) continue;
                seekError_ = e->error;
                seekStage_ = e->error < 0 ? SeekStage::Done : SeekStage::Answered;
                break;
            case MPV_EVENT_SEEK:
                if (seekStage_ == SeekStage::Answered) seekStage_ = SeekStage::Started;
                continue;
            case MPV_EVENT_PLAYBACK_RESTART:
                ++restarts_;
                if (seekStage_ == SeekStage::Started) seekStage_ = SeekStage::Done;
                break;
            case MPV_EVENT_END_FILE: {
                auto* end = static_cast<mpv_event_end_file*>(e->data);
                if (end->reason == MPV_END_FILE_REASON_ERROR) {
                    lastEndError_ = end->error;
                    ++fileErrors_;
                }
                break;
            }
            case MPV_EVENT_SHUTDOWN:
                shutdown_ = true;
                eventCv_.notify_all();
                return;
            default:
                continue;
        }
        eventCv_.notify_all();
    }
}

void MpvGraph::renderFile(const std::string& path) {
    const std::string what = "cannot open '" + path + "'";
    std::uint64_t loads0, errors0, restarts0;
    {
        std::lock_guard lock(eventMutex_);
        loads0 = fileLoads_;
        errors0 = fileErrors_;
        restarts0 = restarts_;
    }
    std::array<const char*, 3> cmd{"loadfile", path.c_str(), nullptr};
    check(mpv_command(mpv_.get(), cmd.data()), what + " (loadfile)");

    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options_.loadTimeoutSeconds));
    bool answered = waitEvent(deadline, [&] { return fileLoads_ > loads0 || fileErrors_ > errors0; });
    int error = 0;
    bool loaded = false;
    {
        std::lock_guard lock(eventMutex_);
        error = lastEndError_;
        loaded = fileLoads_ > loads0;
    }
    if (!answered) {
        std::array<const char*, 2> stopCmd{"stop", nullptr};
        mpv_command(mpv_.get(), stopCmd.data());
        throw Error(what + ": not loaded within " + seconds_text(options_.loadTimeoutSeconds) + " s");
    }
    if (!loaded) throw Error(what + ": " + mpv_text(error), error);
    // The first picture is decoded before the open counts as done, so that the picture
    // size is the decoded one and the position reads 0 right away.
    waitEvent(deadline, [&] { return restarts_ > restarts0 || fileErrors_ > errors0; });
}

void MpvGraph::setPause(bool paused, const char* operation) {
    int flag = paused ? 1 : 0;
    check(mpv_set_property(mpv_.get(), "pause", MPV_FORMAT_FLAG, &flag), std::string("cannot ") + operation + " playback");
}

void MpvGraph::setVolume(std::int32_t v) {
    if (v > 0 || v < -10000) throw Error("volume " + std::to_string(v) + " is outside -10000..0");
    // Hundredths of a decibel of attenuation to mpv's linear percentage.
    double percent = v <= -10000 ? 0.0 : 100.0 * std::pow(10.0, v / 2000.0);
    check(mpv_set_property(mpv_.get(), "volume", MPV_FORMAT_DOUBLE, &percent), "cannot set the volume");
}

void MpvGraph::setBalance(std::int32_t v) {
    if (v > 10000 || v < -10000) throw Error("balance " + std::to_string(v) + " is outside -10000..10000");
    std::string chain;
    if (v != 0) {
        chain = "@balance:lavfi=[stereotools=balance_out=" + seconds_text(v / 10000.0) + "]";
    }
    check(mpv_set_property_string(mpv_.get(), "af", chain.c_str()), "cannot set the balance");
}

void MpvGraph::setRate(double rate) {
    if (!(rate > 0) || !std::isfinite(rate)) throw Error("playback rate " + std::to_string(rate) + " is not above 0");
    check(mpv_set_property(mpv_.get(), "speed", MPV_FORMAT_DOUBLE, &rate), "cannot set the playback rate");
}

double MpvGraph::readDouble(const char* property, const std::string& what) {
    double v = 0;
    check(mpv_get_property(mpv_.get(), property, MPV_FORMAT_DOUBLE, &v), "cannot read " + what);
    if (!std::isfinite(v)) throw Error("cannot read " + what + ": not a number");
    return v;
}

std::int32_t MpvGraph::videoSize(const char* property) {
    std::int64_t v = 0;
    int rc = mpv_get_property(mpv_.get(), property, MPV_FORMAT_INT64, &v);
    if (rc < 0) throw Error(std::string("cannot read the picture ") + property + ", the source shows no picture: " + mpv_text(rc), rc);
    if (v <= 0 || v > INT32_MAX) throw Error(std::string("the picture ") + property + " " + std::to_string(v) + " is not usable");
    return static_cast<std::int32_t>(v);
}

void MpvGraph::setCurrentPosition(double seconds) {
    if (!std::isfinite(seconds)) throw Error("cannot seek to a position that is not a number");
    const std::string target = seconds_text(std::max(0.0, seconds));
    std::uint64_t errors0, id;
    {
        std::lock_guard lock(eventMutex_);
        errors0 = fileErrors_;
        id = ++seekId_;
        seekStage_ = SeekStage::Asked;
        seekError_ = 0;
    }
    std::array<const char*, 4> cmd{"seek", target.c_str(), "absolute+exact", nullptr};
    check(mpv_command_async(mpv_.get(), id, cmd.data()), "cannot seek to " + target + " s");
    // The seek runs in mpv's play loop; wait until the picture at the new place is ready so
    // that the next position read reports it. A playback restart left over from an earlier
    // seek does not count: only the one that follows this seek's own start.
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options_.loadTimeoutSeconds));
    const bool done = waitEvent(deadline, [&] { return seekStage_ == SeekStage::Done || fileErrors_ > errors0; });
    int error = 0;
    {
        std::lock_guard lock(eventMutex_);
        error = seekError_;
        seekStage_ = SeekStage::Idle;
    }
    if (!done)
        throw Error("seek to " + target + " s did not complete within " + seconds_text(options_.loadTimeoutSeconds) + " s");
    if (error < 0) throw Error("cannot seek to " + target + " s: " + mpv_text(error), error);
}

void MpvGraph::setWindowValue(std::int32_t& field, std::int32_t v, const char* what, bool allowNegative) {
    if (v < 0 && !allowNegative) throw Error(std::string("video window ") + what + " " + std::to_string(v) + " is negative");
    std::lock_guard lock(windowMutex_);
    field = v;
}

void MpvGraph::setOwner(WindowHandle owner) {
    std::shared_ptr<const frames::VideoFrame> frame;
    WindowHandle target;
    frames::ClaimToken token = 0;
    {
        std::lock_guard lock(windowMutex_);
        owner_ = owner;
        token_ = owner ? frames::claim(owner) : 0;
        target = owner_;
        token = token_;
        frame = lastFrame_;
    }
    // Bring the current picture back at once; playback may be stopped and draw nothing new.
    if (target && frame) frames::present(target, token, frame);
}

void MpvGraph::renderLoop() {
    for (;;) {
        {
            std::unique_lock lock(renderMutex_);
            renderCv_.wait(lock, [this] { return renderPending_ || stopRender_; });
            if (stopRender_) return;
            renderPending_ = false;
        }
        if (mpv_render_context_update(render_.get()) & MPV_RENDER_UPDATE_FRAME) renderFrame();
    }
}

void MpvGraph::renderFrame() {
    int w, h;
    {
        std::lock_guard lock(windowMutex_);
        w = destWidth_ > 0 ? destWidth_ : width_;
        h = destHeight_ > 0 ? destHeight_ : height_;
    }
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return;
    auto frame = std::make_shared<frames::VideoFrame>();
    frame->width = w;
    frame->height = h;
    frame->stride = (w * 4 + 63) / 64 * 64;
    frame->pixels.assign(static_cast<std::size_t>(frame->stride) * h, 0);
    std::array<int, 2> size{w, h};
    std::size_t stride = static_cast<std::size_t>(frame->stride);
    std::array<mpv_render_param, 5> params{{
        {MPV_RENDER_PARAM_SW_SIZE, size.data()},
        {MPV_RENDER_PARAM_SW_FORMAT, const_cast<char*>("bgr0")},
        {MPV_RENDER_PARAM_SW_STRIDE, &stride},
        {MPV_RENDER_PARAM_SW_POINTER, frame->pixels.data()},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    }};
    if (mpv_render_context_render(render_.get(), params.data()) < 0) return;
    // The fourth byte is left undefined by the renderer; pictures are opaque.
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = frame->pixels.data() + static_cast<std::size_t>(y) * frame->stride;
        for (int x = 0; x < w; ++x) row[x * 4 + 3] = 0xFF;
    }
    std::lock_guard lock(windowMutex_);
    lastFrame_ = frame;
    if (owner_) frames::present(owner_, token_, std::move(frame));
}

}  // namespace

std::shared_ptr<FilterGraph> create_filter_graph(const GraphOptions& options) {
    return std::make_shared<MpvGraph>(options);
}

}  // namespace shardex::media

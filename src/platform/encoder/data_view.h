// The data view: shows what the encoder encoded in a window, by decoding the encoded video
// packets again and handing a few pictures a second to the window's frame sink.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/encoder/encoder.h"
#include "platform/encoder/transcoder.h"
#include "platform/frames/frame_sink.h"

namespace shardex::encoder {

class DataViewImpl final : public DataView {
public:
    void setViewProperties(std::int32_t streamCookie, WindowHandle window) override;
    void startView(std::int32_t streamCookie) override;
    void stopView(std::int32_t streamCookie) override;

    // Where pictures go now: false when the view is not started.
    bool target(WindowHandle& window, frames::ClaimToken& token) const;
    void setCookie(std::int32_t cookie);

private:
    mutable std::mutex mutex_;
    std::int32_t cookie_ = 0;      // given by the source the view was added to
    std::int32_t viewCookie_ = 0;  // given with the view properties
    WindowHandle window_ = 0;
    bool hasWindow_ = false;
    bool started_ = false;
    frames::ClaimToken token_ = 0;
};

// Decodes the encoder's video packets for the started views. At most 15 pictures a second
// are converted and shown, by media time and by wall-clock time. Decoding every packet would
// cost about a quarter of the encode, so the decoder works on a time budget: it follows the
// stream from a key frame while its share of the elapsed time stays small, and otherwise
// skips to the next key frame (a key frame is always taken when nothing was shown for a while).
class PreviewObserver final : public PacketObserver {
public:
    explicit PreviewObserver(std::vector<std::shared_ptr<DataViewImpl>> views);
    ~PreviewObserver() override;
    void begin(const AVCodecContext* encoder) override;
    void packet(const AVPacket* packet, AVRational timeBase) override;
    void end() override;

    static constexpr double kMaxPicturesPerSecond = 15.0;
    static constexpr double kBudgetShare = 0.05;  // of the wall time since the encode began

private:
    bool anyStarted() const;
    void show(const AVFrame* frame);

    std::vector<std::shared_ptr<DataViewImpl>> views_;
    ff::CodecContextPtr dec_;
    ff::FramePtr frame_;
    ff::SwsPtr sws_;
    bool needKey_ = true;
    std::chrono::steady_clock::time_point began_{};
    std::chrono::steady_clock::time_point lastShown_{};
    std::chrono::steady_clock::duration spent_{};
    double nextMedia_ = 0;
    std::chrono::steady_clock::time_point nextWall_{};
};

}  // namespace shardex::encoder

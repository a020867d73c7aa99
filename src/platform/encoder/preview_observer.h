// The decoder behind the data views: follows the encoder's video packets during a run and
// hands a few pictures a second to the started views' windows. Private to the encoder
// library: it names FFmpeg's types.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "platform/encoder/data_view.h"
#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/packet_observer.h"

namespace shardex::encoder {

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

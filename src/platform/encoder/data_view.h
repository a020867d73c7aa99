// The data view: shows what the encoder encoded in a window. The view itself holds where
// pictures go; preview_observer.h decodes the encoded video packets again and hands a few
// pictures a second to the window's frame sink.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/encoder/encoder.h"
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

}  // namespace shardex::encoder

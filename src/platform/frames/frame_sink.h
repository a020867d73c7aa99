// Pictures for a window: producers (the preview player, an encoder's data view) hand
// finished RGB pictures to whatever sink the window registered for its handle. Only the
// producer that claimed the handle last is shown, so the encoder's preview can take the
// picture box over and the preview player can take it back by claiming it again.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/error.h"

namespace shardex::frames {

// 32 bits per pixel, bytes B, G, R, X in memory (Qt's Format_RGB32 on little-endian).
struct VideoFrame {
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    std::vector<std::uint8_t> pixels;
};

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // May be called from any thread; the sink must copy or queue, never block long.
    virtual void present(std::shared_ptr<const VideoFrame> frame) = 0;
};

using ClaimToken = std::uint64_t;

// Registers `sink` for `window` (replacing any earlier one). The sink must stay alive
// until unregister_sink is called for the same window.
void register_sink(WindowHandle window, FrameSink* sink);
void unregister_sink(WindowHandle window);

// Makes the caller the producer whose frames `window` shows. Returns the token to pass
// with each frame; earlier tokens for the window stop being shown.
ClaimToken claim(WindowHandle window);

// Shows `frame` if `token` is still the window's current claim and a sink is registered.
// Returns whether the frame went to a sink.
bool present(WindowHandle window, ClaimToken token, std::shared_ptr<const VideoFrame> frame);

// Whether `token` is still the current claim of `window`.
bool is_current(WindowHandle window, ClaimToken token);

}  // namespace shardex::frames

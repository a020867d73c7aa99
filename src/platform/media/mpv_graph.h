// The preview graph on libmpv. Internal to the media library; the rest of the program
// creates graphs through factory.h.
#pragma once

#include <mpv/client.h>
#include <mpv/render.h>

#include <memory>

namespace shardex::media::detail {

// Owning handles of libmpv objects, each released by its own library call.
struct MpvHandleDeleter {
    void operator()(mpv_handle* h) const noexcept { mpv_terminate_destroy(h); }
};
struct MpvRenderContextDeleter {
    void operator()(mpv_render_context* c) const noexcept { mpv_render_context_free(c); }
};
// Memory that libmpv allocated (strings returned by property reads).
struct MpvFreeDeleter {
    void operator()(char* p) const noexcept { mpv_free(p); }
};

using MpvHandle = std::unique_ptr<mpv_handle, MpvHandleDeleter>;
using MpvRenderContext = std::unique_ptr<mpv_render_context, MpvRenderContextDeleter>;
using MpvString = std::unique_ptr<char, MpvFreeDeleter>;

}  // namespace shardex::media::detail

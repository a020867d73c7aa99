#include "platform/frames/frame_sink.h"

#include <map>
#include <mutex>

namespace shardex::frames {
namespace {

struct Entry {
    FrameSink* sink = nullptr;
    ClaimToken current = 0;
};

std::mutex& registry_mutex() {
    static std::mutex m;
    return m;
}

std::map<WindowHandle, Entry>& registry() {
    static std::map<WindowHandle, Entry> r;
    return r;
}

ClaimToken next_token() {
    static ClaimToken last = 0;
    return ++last;  // called with the registry mutex held
}

}  // namespace

void register_sink(WindowHandle window, FrameSink* sink) {
    std::lock_guard lock(registry_mutex());
    registry()[window].sink = sink;
}

void unregister_sink(WindowHandle window) {
    std::lock_guard lock(registry_mutex());
    auto it = registry().find(window);
    if (it != registry().end()) it->second.sink = nullptr;
}

ClaimToken claim(WindowHandle window) {
    std::lock_guard lock(registry_mutex());
    auto token = next_token();
    registry()[window].current = token;
    return token;
}

bool present(WindowHandle window, ClaimToken token, std::shared_ptr<const VideoFrame> frame) {
    std::lock_guard lock(registry_mutex());
    auto it = registry().find(window);
    if (it == registry().end() || it->second.current != token || it->second.sink == nullptr) return false;
    it->second.sink->present(std::move(frame));
    return true;
}

bool is_current(WindowHandle window, ClaimToken token) {
    std::lock_guard lock(registry_mutex());
    auto it = registry().find(window);
    return it != registry().end() && it->second.current == token;
}

}  // namespace shardex::frames

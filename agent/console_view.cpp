// The encoder application as a terminal shows it: a headless agent prints what its
// applications do, so whoever runs it sees each job. Names, paths and error texts come from
// a Server: each line is printable text of a bounded length, so that none can forge a line
// or move the terminal's cursor.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "agent/app_view.h"
#include "platform/shown_text.h"

namespace shardex::agent {

std::string state_text(std::int32_t state) {
    switch (state) {
    case 1: return "starting";
    case 2: return "running";
    case 3: return "paused";
    case 4: return "stopping";
    case 5: return "stopped";
    default: return "state " + std::to_string(state);
    }
}

namespace {

std::string clock_text(std::int64_t ms) {
    const std::int64_t s = ms / 1000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    return buf;
}

class ConsoleView final : public AppView {
public:
    ConsoleView(const std::string& agent, const std::string& server, const std::string& app)
        : prefix_(agent + " " + platform::printable(app, platform::kShownName) + " (for " +
                  platform::printable(server, platform::kShownName) + "): ") {}

    void setPlacement(std::int32_t, std::int32_t) override {}
    void setVisible(bool) override {}
    void job(const std::string& source, const std::string& output, std::int64_t segmentMs) override {
        segmentMs_ = segmentMs;
        line("encoding " + source + " into " + output + " (" + clock_text(segmentMs) + ")");
    }
    void state(std::int32_t s) override {
        line(state_text(s));
        encoding_ = s == 2;
        if (s == 5) lastProgress_ = {};
    }
    void progress(std::int64_t bytes, std::int64_t mediaMs) override {
        if (!encoding_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastProgress_ < std::chrono::seconds(1)) return;
        lastProgress_ = now;
        std::string text = clock_text(mediaMs) + " / " + clock_text(segmentMs_.load());
        if (const std::int64_t seg = segmentMs_.load(); seg > 0)
            text += ", " + std::to_string(std::min<std::int64_t>(100, mediaMs * 100 / seg)) + " %";
        line(text + ", " + std::to_string(bytes / 1024) + " KB");
    }
    void error(const std::string& description) override { line("error: " + description); }

private:
    void line(const std::string& text) {
        static std::mutex out;
        std::lock_guard lock(out);
        std::fprintf(stdout, "%s%s\n", prefix_.c_str(), platform::printable(text).c_str());
        std::fflush(stdout);
    }

    std::string prefix_;
    std::atomic<std::int64_t> segmentMs_{0};  // set by a call, read by the session's thread
    // Both touched by the session's thread only (events and figures).
    bool encoding_ = false;
    std::chrono::steady_clock::time_point lastProgress_{};
};

}  // namespace

std::unique_ptr<AppView> make_console_view(const std::string& agentName, const std::string& server,
                                           const std::string& app) {
    return std::make_unique<ConsoleView>(agentName, server, app);
}

}  // namespace shardex::agent

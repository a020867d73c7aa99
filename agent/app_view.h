// What the client's user sees of an encoder application while a Server uses it: a small
// window on a desktop, one line per change on a terminal. The agent calls a view from the
// thread that serves the application's session; a view hands the work to its own thread
// where it needs one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace shardex::agent {

class AppView {
public:
    virtual ~AppView() = default;
    virtual void setPlacement(std::int32_t first, std::int32_t second) = 0;
    virtual void setVisible(bool visible) = 0;
    // A job starts: its source, its output file and the length of its segment.
    virtual void job(const std::string& source, const std::string& output, std::int64_t segmentMs) = 0;
    virtual void state(std::int32_t state) = 0;  // the encoder's run state (1..5)
    // Live figures, a few times a second while encoding.
    virtual void progress(std::int64_t bytes, std::int64_t mediaMs) = 0;
    virtual void error(const std::string& description) = 0;
};

// Makes the view of the application `app` that the Server `server` created.
using ViewFactory = std::function<std::unique_ptr<AppView>(const std::string& server, const std::string& app)>;

// One line per state change, a progress line at most once a second, on standard output.
std::unique_ptr<AppView> make_console_view(const std::string& agentName, const std::string& server,
                                           const std::string& app);

// Text of a run state: "starting", "running", "paused", "stopping", "stopped".
std::string state_text(std::int32_t state);

}  // namespace shardex::agent

// A job on an encoder, set up as the window sets one up, local or through an agent; the events
// it delivers; and a source whose reads can be slowed or stalled as a share that stopped
// answering.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/encoder/byte_source.h"
#include "platform/encoder/encoder.h"
#include "platform/encoder/local_encoder.h"

namespace shardex::testing {

using namespace std::chrono_literals;

inline constexpr const char* kLan768 = "Windows Media Video 8 for Local Area Network (768 Kbps)";

// The text of the shardex::Error `fn` throws; "" when it throws none.
std::string error_of(const std::function<void()>& fn);

// Group SG_1 with a video and an audio source reading `input`, the output, and the profile of
// that name from the encoder's own collection (a remote encoder's is the agent's).
struct JobSources {
    std::shared_ptr<encoder::Source> video, audio;
};
JobSources set_up_job(encoder::Encoder& e, const std::string& input, const std::string& output,
                      const std::string& profile = kLan768);

// Events an encoder delivered through an executor that queues them for the waiting thread.
class EventLog {
public:
    encoder::Executor executor();
    encoder::EventHandlers handlers();
    // Runs queued events until the stopped state arrives or `limit` passes; `tick` between.
    bool waitStopped(std::chrono::seconds limit = std::chrono::seconds(60), const std::function<void()>& tick = {});
    std::vector<int> states, errors;
    std::vector<std::string> errorTexts;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
};

// The event log comes first, so that it outlives the encoder whose worker posts to it.
struct Job {
    EventLog events;
    std::shared_ptr<encoder::Encoder> encoder;
    std::shared_ptr<encoder::Source> video, audio;
};
std::unique_ptr<Job> make_job(const std::filesystem::path& input, const std::filesystem::path& output,
                              const std::string& profile = kLan768, const encoder::LocalEncoderOptions& options = {});
// prepare, marks (-1: mark-out unset), start, and the wait for the end; the states seen.
std::vector<int> encode(Job& job, int markIn = 0, int markOut = -1);

// A local file read through the encoder's ByteSource path, as a share serves it. Each read
// can take `delay`; reads reaching `stallFrom` block until cancel(), a minute at most.
class FileSource final : public encoder::ByteSource {
public:
    explicit FileSource(const std::filesystem::path& path);
    ~FileSource() override;
    std::int64_t size() override;
    std::int64_t read(std::int64_t offset, std::uint8_t* buffer, std::int64_t length) override;
    void cancel() override;
    bool waitStalled(std::chrono::seconds limit = std::chrono::seconds(30));  // a read blocks at stallFrom

    std::atomic<std::int64_t> stallFrom{-1};
    std::atomic<std::int64_t> failFrom{-1};  // reads reaching this offset fail at once, as a share gone
    std::chrono::milliseconds delay{0};

private:
    int fd_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool cancelled_ = false, stalled_ = false;
};

}  // namespace shardex::testing

// Helpers of the encoder tests: temporary folders, generated clips, ffprobe, and running an
// encode through the component's interface to its end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/encoder/byte_source.h"
#include "platform/encoder/encoder.h"
#include "platform/encoder/local_encoder.h"

namespace enc_test {

namespace fs = std::filesystem;

// A fresh folder removed at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs a shell command; returns its standard output. exitCode receives the exit status.
std::string run(const std::string& command, int* exitCode = nullptr);

// Makes a clip with FFmpeg's test sources: `args` are ffmpeg arguments between the tool and
// the output name. Fails the test when ffmpeg does.
void make_clip(const fs::path& out, const std::string& args);

// ffprobe -show_entries `entries` in "default=nw=1" form (one key=value a line).
std::string probe(const fs::path& file, const std::string& entries, const std::string& extra = "");
// The value of `key` in ffprobe output ("" when missing); the first occurrence.
std::string value_of(const std::string& probeOutput, const std::string& key);
int frame_count(const fs::path& file);  // decoded video frames

// Clips that number their pictures: frame n's corner box (the top left eighth of the picture)
// has luma 16 + 8 * (n mod kCycle).
inline constexpr int kCycle = 25;
struct Pictures {
    std::vector<double> time;
    std::vector<int> number;  // source frame number mod kCycle
};
Pictures pictures_of(const fs::path& file);

struct Sound {
    double start = 0;  // time of the first decoded sample
    int rate = 0;
    std::vector<float> samples;  // mono
};
Sound sound_of(const fs::path& file);
// The middle of a beep between `from` and `to` seconds (the whole file by default): halfway
// between the first and last samples at half its peak; -1 when there is none.
double beep_middle(const Sound& s, double from = -1e9, double to = 1e9);

// A local file read as a share would serve it, through the encoder's ByteSource path. Each
// read can be made to take `delay`, and reads reaching `stallFrom` or beyond to block as a
// share that stopped answering does: until cancel(), or a minute at most.
class FileSource final : public shardex::encoder::ByteSource {
public:
    explicit FileSource(const fs::path& path);
    ~FileSource() override;
    std::int64_t size() override;
    std::int64_t read(std::int64_t offset, std::uint8_t* buffer, std::int64_t length) override;
    void cancel() override;
    // Waits (at most `limit`) until a read blocks at `stallFrom`.
    bool waitStalled(std::chrono::seconds limit = std::chrono::seconds(30));

    std::atomic<std::int64_t> stallFrom{-1};
    std::chrono::milliseconds delay{0};

private:
    int fd_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool cancelled_ = false, stalled_ = false;
};

// Events the encoder delivered, through an executor that queues them for this thread.
class EventLog {
public:
    shardex::encoder::Executor executor();
    shardex::encoder::EventHandlers handlers();
    // Runs queued events until state 5 arrives or `limit` passes; each wait step also calls `tick`.
    bool waitStopped(std::chrono::seconds limit = std::chrono::seconds(60),
                     const std::function<void()>& tick = {});
    std::vector<int> states, errors;
    std::vector<std::string> errorTexts;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
};

// An encoder with group SG_1 (video then audio source, both reading `source`), the output
// file and the stock profile `profile` set, as a job sets it up.
// The event log comes first so that it outlives the encoder, whose worker posts to it
// until the encoder's destruction has joined it.
struct Job {
    EventLog events;
    std::shared_ptr<shardex::encoder::Encoder> encoder;
    std::shared_ptr<shardex::encoder::Source> video, audio;
};
std::unique_ptr<Job> make_job(const fs::path& source, const fs::path& output,
                              const std::string& profile = "Windows Media Video 8 for Local Area Network (768 Kbps)",
                              const shardex::encoder::LocalEncoderOptions& options = {});
// Gives a (reset) encoder the job's set-up again: group SG_1, sources, output and profile.
void set_up(Job& job, const fs::path& source, const fs::path& output, const std::string& profile);

// prepare, marks, start, and wait for the end. Returns the states seen.
// markOut -1 leaves the mark-out unset: to the end.
std::vector<int> encode(Job& job, int markIn = 0, int markOut = -1);

}  // namespace enc_test

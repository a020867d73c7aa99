#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <random>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/encoder/factory.h"
#include "platform/encoder/local_encoder.h"
#include "platform/encoder/profiles.h"

namespace enc_test {

TempDir::TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("shardex-enc-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string run(const std::string& command, int* exitCode) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        if (exitCode) *exitCode = -1;
        return out;
    }
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int status = pclose(p);
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

void make_clip(const fs::path& out, const std::string& args) {
    int rc = 0;
    run("ffmpeg -v error -y " + args + " '" + out.string() + "' 2>&1", &rc);
    ASSERT_EQ(rc, 0) << "ffmpeg could not make " << out;
}

std::string probe(const fs::path& file, const std::string& entries, const std::string& extra) {
    return run("ffprobe -v error " + extra + " -show_entries " + entries + " -of default=nw=1 '" + file.string() +
               "' 2>/dev/null");
}

std::string value_of(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "";
}

int frame_count(const fs::path& file) {
    auto v = value_of(probe(file, "stream=nb_read_frames", "-count_frames -select_streams v:0"), "nb_read_frames");
    return v.empty() ? -1 : std::stoi(v);
}

FileSource::FileSource(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

std::int64_t FileSource::size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw shardex::Error("the test file cannot be read");
    return st.st_size;
}

std::int64_t FileSource::read(std::int64_t offset, std::uint8_t* buffer, std::int64_t length) {
    {
        std::unique_lock lock(mutex_);
        const auto stop = [&] { return cancelled_; };
        if (delay.count() > 0) cv_.wait_for(lock, delay, stop);
        const std::int64_t from = stallFrom;
        if (!cancelled_ && from >= 0 && offset + length > from) {
            stalled_ = true;
            cv_.notify_all();
            cv_.wait_for(lock, std::chrono::minutes(1), stop);
        }
        if (cancelled_) throw shardex::Error("the read was cancelled");
    }
    const ssize_t n = ::pread(fd_, buffer, static_cast<std::size_t>(length), static_cast<off_t>(offset));
    if (n < 0) throw shardex::Error("the test file cannot be read");
    return n;
}

void FileSource::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    cv_.notify_all();
}

bool FileSource::waitStalled(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return stalled_; });
}

shardex::encoder::Executor EventLog::executor() {
    return [this](std::function<void()> fn) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(fn));
        }
        cv_.notify_one();
    };
}

shardex::encoder::EventHandlers EventLog::handlers() {
    return {[this](std::int32_t s) { states.push_back(s); },
            [this](std::int32_t c, const std::string& text) {
                errors.push_back(c);
                errorTexts.push_back(text);
            }};
}

bool EventLog::waitStopped(std::chrono::seconds limit, const std::function<void()>& tick) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return !queue_.empty(); });
        while (!queue_.empty()) {
            auto fn = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
        lock.unlock();
        if (!states.empty() && states.back() == shardex::encoder::kStateStopped) return true;
        if (tick) tick();
    }
    return false;
}

void set_up(Job& job, const fs::path& source, const fs::path& output, const std::string& profile) {
    using namespace shardex::encoder;
    auto group = job.encoder->sourceGroups()->add("SG_1");
    job.video = group->addSource(kSourceVideo);
    job.audio = group->addSource(kSourceAudio);
    job.video->setInput(source.string(), "", "");
    job.audio->setInput(source.string(), "", "");
    job.encoder->file()->setLocalFileName(output.string());
    auto p = find_stock_profile(profile);
    EXPECT_TRUE(p) << profile;
    group->setProfile(p);
}

std::unique_ptr<Job> make_job(const fs::path& source, const fs::path& output, const std::string& profile,
                              const shardex::encoder::LocalEncoderOptions& options) {
    using namespace shardex::encoder;
    auto job = std::make_unique<Job>();
    job->encoder = create_local_encoder(options);
    set_up(*job, source, output, profile);
    job->encoder->setEventHandlers(job->events.executor(), job->events.handlers());
    return job;
}

std::vector<int> encode(Job& job, int markIn, int markOut) {
    job.encoder->prepare(true);
    for (auto& s : {job.video, job.audio}) {
        s->setMarkIn(markIn);
        if (markOut >= 0) s->setMarkOut(markOut);
    }
    job.encoder->start();
    EXPECT_TRUE(job.events.waitStopped());
    return job.events.states;
}

}  // namespace enc_test

namespace enc_test {

Pictures pictures_of(const fs::path& file) {
    Pictures p;
    std::istringstream in(run("ffprobe -v error -f lavfi \"movie=" + file.string() +
                              ",crop=iw/8:ih/8:0:0,signalstats\" -show_entries "
                              "frame=pts_time:frame_tags=lavfi.signalstats.YAVG -of csv=p=0 2>/dev/null"));
    std::string line;
    while (std::getline(in, line)) {
        double t = 0, y = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &t, &y) != 2) continue;
        p.time.push_back(t);
        p.number.push_back(static_cast<int>(std::lround((y - 16) / 8)) % kCycle);
    }
    return p;
}

Sound sound_of(const fs::path& file) {
    Sound s;
    const std::string f = "'" + file.string() + "'";
    s.start = std::atof(
        run("ffprobe -v error -select_streams a:0 -show_entries frame=pts_time -of csv=p=0 " + f + " 2>/dev/null | head -1")
            .c_str());
    s.rate = std::atoi(run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate -of csv=p=0 " + f).c_str());
    const std::string raw = run("ffmpeg -v error -i " + f + " -map 0:a:0 -ac 1 -f f32le - 2>/dev/null");
    s.samples.resize(raw.size() / sizeof(float));
    std::memcpy(s.samples.data(), raw.data(), s.samples.size() * sizeof(float));
    return s;
}

double beep_middle(const Sound& s, double from, double to) {
    if (s.rate <= 0) return -1;
    const auto lo = static_cast<std::size_t>(std::clamp((from - s.start) * s.rate, 0.0, double(s.samples.size())));
    const auto hi = static_cast<std::size_t>(std::clamp((to - s.start) * s.rate, 0.0, double(s.samples.size())));
    float peak = 0;
    for (std::size_t i = lo; i < hi; ++i) peak = std::max(peak, std::fabs(s.samples[i]));
    if (peak < 0.05f) return -1;
    std::size_t first = hi, last = lo;
    for (std::size_t i = lo; i < hi; ++i) {
        if (std::fabs(s.samples[i]) < peak / 2) continue;
        first = std::min(first, i);
        last = i;
    }
    return s.start + static_cast<double>(first + last) / 2.0 / s.rate;
}

}  // namespace enc_test

#include "support/job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/encoder/factory.h"
#include "platform/error.h"

namespace shardex::testing {

std::string error_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

JobSources set_up_job(encoder::Encoder& e, const std::string& input, const std::string& output,
                      const std::string& profile) {
    auto group = e.sourceGroups()->add("SG_1");
    JobSources s{group->addSource(encoder::kSourceVideo), group->addSource(encoder::kSourceAudio)};
    s.video->setInput(input, "", "");
    s.audio->setInput(input, "", "");
    e.file()->setLocalFileName(output);
    auto profiles = e.profileCollection();
    for (std::int32_t i = 0, n = profiles->count(); i < n; ++i)
        if (auto p = profiles->item(i); p->name() == profile) group->setProfile(p);
    return s;
}

encoder::Executor EventLog::executor() {
    return [this](std::function<void()> fn) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
        cv_.notify_one();
    };
}

encoder::EventHandlers EventLog::handlers() {
    return {[this](std::int32_t s) { states.push_back(s); },
            [this](std::int32_t c, const std::string& text) {
                errors.push_back(c);
                errorTexts.push_back(text);
            }};
}

bool EventLog::waitStopped(std::chrono::seconds limit, const std::function<void()>& tick) {
    const auto until = std::chrono::steady_clock::now() + limit;
    do {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::min<std::chrono::nanoseconds>(20ms, until - std::chrono::steady_clock::now()),
                     [&] { return !queue_.empty(); });
        while (!queue_.empty()) {
            auto fn = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
        lock.unlock();
        if (!states.empty() && states.back() == encoder::kStateStopped) return true;
        if (tick) tick();
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

std::unique_ptr<Job> make_job(const std::filesystem::path& input, const std::filesystem::path& output,
                              const std::string& profile, const encoder::LocalEncoderOptions& options) {
    auto job = std::make_unique<Job>();
    job->encoder = encoder::create_local_encoder(options);
    auto s = set_up_job(*job->encoder, input, output, profile);
    job->video = s.video;
    job->audio = s.audio;
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
    job.events.waitStopped();
    return job.events.states;
}

FileSource::FileSource(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

std::int64_t FileSource::size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw Error("the test file cannot be read");
    return st.st_size;
}

std::int64_t FileSource::read(std::int64_t offset, std::uint8_t* buffer, std::int64_t length) {
    {
        std::unique_lock lock(mutex_);
        const auto stop = [&] { return cancelled_; };
        if (delay.count() > 0) cv_.wait_for(lock, delay, stop);
        if (const std::int64_t from = stallFrom; !cancelled_ && from >= 0 && offset + length > from) {
            stalled_ = true;
            cv_.notify_all();
            cv_.wait_for(lock, std::chrono::minutes(1), stop);
        }
        if (cancelled_) throw Error("the read was cancelled");
    }
    if (const std::int64_t from = failFrom; from >= 0 && offset + length > from) throw Error("the share went away");
    const ssize_t n = ::pread(fd_, buffer, static_cast<std::size_t>(length), static_cast<off_t>(offset));
    if (n < 0) throw Error("the test file cannot be read");
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

}  // namespace shardex::testing

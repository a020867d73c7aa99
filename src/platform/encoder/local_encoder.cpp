#include "platform/encoder/local_encoder.h"

#include <atomic>
#include <string>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/encoder/preview_observer.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/factory.h"
#include "platform/encoder/profiles.h"
#include "platform/encoder/transcoder.h"

namespace shardex::encoder {
namespace {

std::atomic<std::int32_t> g_nextCookie{1};

class SourceImpl final : public Source {
public:
    explicit SourceImpl(std::int32_t type) : type_(type) {}
    std::int32_t type() const override { return type_; }
    void setInput(const std::string& path, const std::string&, const std::string&) override { input_ = path; }
    std::string input() const override { return input_; }
    void setMarkIn(std::int32_t ms) override {
        if (ms < 0) throw Error("mark-in cannot be negative", errors::kBadConfiguration);
        markIn_ = ms;
    }
    std::int32_t markIn() const override { return markIn_; }
    void setMarkOut(std::int32_t ms) override {
        if (ms < 0) throw Error("mark-out cannot be negative", errors::kBadConfiguration);
        markOut_ = ms;
    }
    std::int32_t markOut() const override { return markOut_; }
    void setStretch(std::int32_t startMs, std::int32_t endMs) override {
        if (startMs < -1 || endMs < -1 || (startMs >= 0 && endMs >= 0 && endMs < startMs))
            throw Error("the stretch from " + std::to_string(startMs) + " to " + std::to_string(endMs) +
                            " ms is not one (-1 -1 for none; an end of -1 runs to the source's end)",
                        errors::kBadConfiguration);
        stretchStart_ = startMs;
        stretchEnd_ = startMs < 0 ? -1 : endMs;
    }
    std::int32_t stretchStart() const override { return stretchStart_; }
    std::int32_t stretchEnd() const override { return stretchEnd_; }
    std::int32_t duration() override {
        if (durationMs_ < 0) throw Error("the source's duration is known after prepare", errors::kBadConfiguration);
        return durationMs_;
    }
    void setPreProcessPass(std::int32_t pass) override { pass_ = pass; }
    std::int32_t preProcessPass() const override { return pass_; }
    std::int32_t addDataView(const std::shared_ptr<DataView>& view) override {
        if (type_ != kSourceVideo) throw Error("data views can only be added to a video source", errors::kBadConfiguration);
        auto impl = std::dynamic_pointer_cast<DataViewImpl>(view);
        if (!impl) throw Error("not a data view of this encoder", errors::kBadConfiguration);
        std::int32_t cookie = g_nextCookie++;
        impl->setCookie(cookie);
        views_.push_back(impl);
        return cookie;
    }

    void setDuration(std::int32_t ms) { durationMs_ = ms; }
    const std::vector<std::shared_ptr<DataViewImpl>>& views() const { return views_; }

private:
    std::int32_t type_;
    std::string input_;
    std::int32_t markIn_ = 0, markOut_ = -1, pass_ = 0;  // mark-out -1: not set, to the end
    std::int32_t stretchStart_ = -1, stretchEnd_ = -1;   // none
    std::int32_t durationMs_ = -1;
    std::vector<std::shared_ptr<DataViewImpl>> views_;
};

class SourceGroupImpl final : public SourceGroup {
public:
    explicit SourceGroupImpl(std::string name) : name_(std::move(name)) {}
    std::string name() const override { return name_; }
    std::shared_ptr<Source> addSource(std::int32_t type) override {
        if (type != kSourceAudio && type != kSourceVideo)
            throw Error("unknown source type " + std::to_string(type) + " (1 audio, 2 video)", errors::kBadConfiguration);
        auto s = std::make_shared<SourceImpl>(type);
        sources_.push_back(s);
        return s;
    }
    std::int32_t sourceCount() override { return static_cast<std::int32_t>(sources_.size()); }
    std::shared_ptr<Source> source(std::int32_t index) override {
        if (index < 0 || index >= sourceCount())
            throw Error("source index " + std::to_string(index) + " out of range", errors::kBadConfiguration);
        return sources_[static_cast<std::size_t>(index)];
    }
    void setProfile(const std::shared_ptr<Profile>& profile) override { profile_ = profile; }
    std::shared_ptr<Profile> profile() const override { return profile_; }

    std::shared_ptr<SourceImpl> first(std::int32_t type) const {
        for (const auto& s : sources_)
            if (s->type() == type) return s;
        return nullptr;
    }
    const std::vector<std::shared_ptr<SourceImpl>>& sources() const { return sources_; }

private:
    std::string name_;
    std::vector<std::shared_ptr<SourceImpl>> sources_;
    std::shared_ptr<Profile> profile_;
};

class GroupsImpl final : public SourceGroupCollection {
public:
    std::shared_ptr<SourceGroup> add(const std::string& name) override {
        for (const auto& g : groups_)
            if (g->name() == name) throw Error("a source group named '" + name + "' exists already", errors::kBadConfiguration);
        auto g = std::make_shared<SourceGroupImpl>(name);
        groups_.push_back(g);
        return g;
    }
    std::int32_t count() override { return static_cast<std::int32_t>(groups_.size()); }
    std::shared_ptr<SourceGroup> item(std::int32_t index) override {
        if (index < 0 || index >= count())
            throw Error("source group index " + std::to_string(index) + " out of range", errors::kBadConfiguration);
        return groups_[static_cast<std::size_t>(index)];
    }
    std::shared_ptr<SourceGroupImpl> firstGroup() const { return groups_.empty() ? nullptr : groups_.front(); }

private:
    std::vector<std::shared_ptr<SourceGroupImpl>> groups_;
};

class OutputFileImpl final : public OutputFile {
public:
    void setLocalFileName(const std::string& path) override { path_ = path; }
    std::string localFileName() const override { return path_; }
    void discard() override {
        std::error_code ec;
        if (!path_.empty() && std::filesystem::is_regular_file(std::filesystem::symlink_status(path_, ec)))
            std::filesystem::remove(path_, ec);
    }

private:
    std::string path_;
};

class DisplayInfoImpl final : public DisplayInfo {
public:
    void setAuthor(const std::string& v) override { m_.author = v; }
    void setCopyright(const std::string& v) override { m_.copyright = v; }
    void setDescription(const std::string& v) override { m_.description = v; }
    void setTitle(const std::string& v) override { m_.title = v; }
    std::string author() const override { return m_.author; }
    std::string copyright() const override { return m_.copyright; }
    std::string description() const override { return m_.description; }
    std::string title() const override { return m_.title; }
    const Metadata& metadata() const { return m_; }

private:
    Metadata m_;
};

// What the worker shares with the encoder object. The worker holds it by shared_ptr, so it
// stays valid even if the encoder object goes away first.
//
// Every change of the run state, by the owner's calls and by the worker alike, is made under
// `mutex` and decided there from the state it finds, so no call can act on a state the worker
// has left meanwhile (a stop that lands after the worker's final "stopped" would otherwise
// leave the encoder "stopping" for ever). `state` and `stop` are atomics only so that
// runState() and the worker's polling between frames need no lock; they are written under
// `mutex`.
//
// `interrupt` belongs to the job last prepared: a stop triggers it, which cancels that job's
// source reads wherever they wait (the worker, or a prepare on another thread).
struct Core {
    std::atomic<std::int32_t> state{kStateStopped};
    std::atomic<bool> stop{false};
    std::atomic<bool> alive{true};  // false once the encoder's destruction begins
    std::mutex mutex;
    std::condition_variable cv;
    bool paused = false;  // guarded by mutex
    bool preparing = false;                    // guarded by mutex
    std::shared_ptr<ReadInterrupt> interrupt;  // guarded by mutex
    Executor executor;    // guarded by mutex
    EventHandlers handlers;
    LiveFigures figures;
    std::atomic<std::int64_t> targetBitrate{0};
    std::shared_ptr<std::atomic<bool>> deliver = std::make_shared<std::atomic<bool>>(true);

    void postState(std::int32_t s) {
        Executor exec;
        std::function<void(std::int32_t)> fn;
        {
            std::lock_guard lock(mutex);
            exec = executor;
            fn = handlers.onStateChange;
        }
        if (!exec || !fn || !alive) return;
        exec([deliver = deliver, fn = std::move(fn), s] {
            if (*deliver) fn(s);
        });
    }
    void postError(std::int32_t code, std::string description) {
        Executor exec;
        std::function<void(std::int32_t, const std::string&)> fn;
        {
            std::lock_guard lock(mutex);
            exec = executor;
            fn = handlers.onError;
        }
        if (!exec || !fn || !alive) return;
        exec([deliver = deliver, fn = std::move(fn), code, description = std::move(description)] {
            if (*deliver) fn(code, description);
        });
    }
};

class StatisticsImpl final : public Statistics {
public:
    explicit StatisticsImpl(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    Fixed4 archiveFileSize() override { return {core_->figures.bytes.load()}; }
    Fixed4 archiveFileDuration() override { return {core_->figures.mediaMs.load()}; }
    std::int32_t outputBitrate() override {
        const std::int64_t ms = core_->figures.mediaMs.load();
        const std::int64_t bytes = core_->figures.bytes.load();
        // Early in an encode the header dominates the file: report the profile's rate until a
        // second of media is written, then the measured average.
        if (ms < 1000) return ms > 0 ? static_cast<std::int32_t>(core_->targetBitrate.load()) : 0;
        return static_cast<std::int32_t>(std::min<std::int64_t>(INT32_MAX, bytes * 8 * 1000 / ms));
    }

private:
    std::shared_ptr<Core> core_;
};

class LocalEncoder final : public Encoder {
public:
    explicit LocalEncoder(const LocalEncoderOptions& options)
        : options_(options),
          profiles_(options.profiles ? options.profiles : make_installed_profile_collection()),
          core_(std::make_shared<Core>()),
          statistics_(std::make_shared<StatisticsImpl>(core_)) {}

    ~LocalEncoder() override {
        *core_->deliver = false;
        core_->alive = false;
        halt();
    }

    std::shared_ptr<SourceGroupCollection> sourceGroups() override { return groups_; }
    std::shared_ptr<OutputFile> file() override { return file_; }
    std::shared_ptr<DisplayInfo> displayInfo() override { return info_; }
    std::shared_ptr<ProfileCollection> profileCollection() override { return profiles_; }
    std::shared_ptr<Statistics> statistics() override { return statistics_; }

    void reset() override {
        halt();
        groups_ = std::make_shared<GroupsImpl>();
        file_ = std::make_shared<OutputFileImpl>();
        info_ = std::make_shared<DisplayInfoImpl>();
        transcoder_.reset();
    }

    void prepare(bool prepare) override {
        if (busy()) throw Error("the encoder is busy: stop it first", errors::kBadConfiguration);
        join();
        transcoder_.reset();
        if (!prepare) return;
        auto group = groups_->firstGroup();
        if (!group) throw Error("no source group", errors::kBadConfiguration);
        auto profile = group->profile();
        if (!profile) throw Error("no profile set", errors::kBadConfiguration);
        if (file_->localFileName().empty()) throw Error("no output file set", errors::kBadConfiguration);
        TranscodeSettings s;
        s.profile = parse_profile(profile->definition());
        auto video = group->first(kSourceVideo);
        auto audio = group->first(kSourceAudio);
        if (s.profile.hasVideo() && (!video || video->input().empty()))
            throw Error(video ? "no input set for the video source" : "no video source in group '" + group->name() + "'",
                        errors::kBadConfiguration);
        if (s.profile.hasAudio() && !s.profile.hasVideo() && (!audio || audio->input().empty()))
            throw Error(audio ? "no input set for the audio source" : "no audio source in group '" + group->name() + "'",
                        errors::kBadConfiguration);
        s.videoPath = video ? video->input() : "";
        s.audioPath = audio ? audio->input() : "";
        s.outputPath = file_->localFileName();
        s.metadata = info_->metadata();
        s.codecThreads = options_.codecThreads;
        s.decodeThreads = options_.decodeThreads;
        s.openInput = options_.openInput;
        s.refuseLinkedOutput = options_.refuseLinkedOutput;
        s.openLimit = options_.openLimit;
        s.interrupt = std::make_shared<ReadInterrupt>();
        auto t = std::make_unique<Transcoder>();
        {
            std::lock_guard lock(core_->mutex);
            core_->interrupt = s.interrupt;
            core_->preparing = true;
        }
        struct PrepareEnds {
            Core& core;
            ~PrepareEnds() {
                std::lock_guard lock(core.mutex);
                core.preparing = false;
            }
        } prepareEnds{*core_};
        t->open(s);
        const auto duration = static_cast<std::int32_t>(std::min<std::int64_t>(t->durationMs(), INT32_MAX));
        for (const auto& src : group->sources()) src->setDuration(duration);
        const auto& a = s.profile.audiences.front();
        core_->targetBitrate = (s.profile.hasVideo() ? a.videoBitrate : 0) + (s.profile.hasAudio() ? a.audioBitrate : 0);
        profile_ = s.profile;
        transcoder_ = std::move(t);
    }

    void start() override {
        if (busy()) throw Error("the encoder is already running", errors::kBadConfiguration);
        if (!transcoder_) prepare(true);
        join();
        auto group = groups_->firstGroup();
        auto video = group->first(kSourceVideo);
        auto audio = group->first(kSourceAudio);
        auto marks = profile_.hasVideo() && video ? video : audio;
        std::int64_t markIn = marks ? marks->markIn() : 0;
        std::int64_t markOut = marks ? marks->markOut() : -1;
        Stretch stretch;
        if (marks) stretch = {marks->stretchStart(), marks->stretchEnd()};
        transcoder_->check_segment(markIn, markOut, stretch);
        bool twoPass = video && video->preProcessPass() == 1;
        std::vector<std::shared_ptr<DataViewImpl>> views;
        if (video) views = video->views();

        core_->figures.bytes = 0;
        core_->figures.mediaMs = 0;
        {
            std::lock_guard lock(core_->mutex);
            core_->stop = false;
            core_->paused = false;
            core_->state = kStateStarting;
        }
        std::shared_ptr<Transcoder> job(std::move(transcoder_));
        std::shared_ptr<Core> core = core_;
        worker_ = std::thread([core, job, markIn, markOut, stretch, twoPass, views = std::move(views)]() mutable {
            work(core, std::move(job), markIn, markOut, stretch, twoPass, std::move(views));
        });
    }

    // A stop of an encoder that has (just) stopped does nothing, unless a prepare runs on
    // another thread: that one then fails.
    void stop() override {
        std::shared_ptr<ReadInterrupt> interrupt;
        {
            std::lock_guard lock(core_->mutex);
            if (core_->state == kStateStopped && !core_->preparing) return;
            if (core_->state != kStateStopped) {
                core_->stop = true;
                core_->state = kStateStopping;
            }
            interrupt = core_->interrupt;
        }
        core_->cv.notify_all();
        if (interrupt) interrupt->trigger();
    }

    // Pause and resume only flip the flag; the worker reports 3 when it has actually halted
    // and 2 when it goes on, so the events keep the order of what happened.
    void pause() override {
        std::lock_guard lock(core_->mutex);
        const auto s = core_->state.load();
        if (s != kStateRunning && s != kStateStarting) throw Error("the encoder is not running", errors::kBadConfiguration);
        core_->paused = true;
        core_->state = kStatePaused;
    }

    void resume() override {
        {
            std::lock_guard lock(core_->mutex);
            if (core_->state != kStatePaused) throw Error("the encoder is not paused", errors::kBadConfiguration);
            core_->paused = false;
            core_->state = kStateRunning;
        }
        core_->cv.notify_all();
    }

    std::int32_t runState() const override { return core_->state; }

    void setEventHandlers(Executor executor, EventHandlers handlers) override {
        std::lock_guard lock(core_->mutex);
        core_->executor = std::move(executor);
        core_->handlers = std::move(handlers);
    }

private:
    static void work(const std::shared_ptr<Core>& core, std::shared_ptr<Transcoder> job, std::int64_t markIn,
                     std::int64_t markOut, Stretch stretch, bool twoPass,
                     std::vector<std::shared_ptr<DataViewImpl>> views) {
        core->postState(kStateStarting);
        {
            std::lock_guard lock(core->mutex);
            if (core->state == kStateStarting) core->state = kStateRunning;  // unless paused or stopped meanwhile
        }
        core->postState(kStateRunning);
        std::unique_ptr<PreviewObserver> preview;
        if (!views.empty()) preview = std::make_unique<PreviewObserver>(views);
        RunControl control;
        control.stopRequested = [&core] { return core->stop.load(); };
        control.waitWhilePaused = [&core] {
            {
                std::lock_guard lock(core->mutex);
                if (!core->paused || core->stop) return;
            }
            core->postState(kStatePaused);
            {
                std::unique_lock lock(core->mutex);
                core->cv.wait(lock, [&] { return !core->paused || core->stop.load(); });
            }
            if (!core->stop) core->postState(kStateRunning);
        };
        control.observer = preview.get();
        try {
            job->run(markIn, markOut, stretch, twoPass, control, core->figures);
        } catch (const Error& e) {
            core->postError(e.code() ? e.code() : errors::kInternal, e.what());
        } catch (const std::exception& e) {
            core->postError(errors::kInternal, e.what());
        }
        // Files are closed before anyone hears that the encode has stopped.
        job.reset();
        preview.reset();
        bool stopped = false;
        {
            std::lock_guard lock(core->mutex);
            stopped = core->stop;
            core->state = kStateStopped;
            core->paused = false;
        }
        if (stopped) core->postState(kStateStopping);
        core->postState(kStateStopped);
    }

    bool busy() const {
        auto s = core_->state.load();
        return s != kStateStopped;
    }

    void join() {
        if (!worker_.joinable()) return;
        if (worker_.get_id() == std::this_thread::get_id()) worker_.detach();  // called from an event run on the worker
        else worker_.join();
    }

    void halt() {
        std::shared_ptr<ReadInterrupt> interrupt;
        {
            std::lock_guard lock(core_->mutex);
            core_->stop = true;
            interrupt = core_->interrupt;
        }
        core_->cv.notify_all();
        if (interrupt) interrupt->trigger();
        join();
        std::lock_guard lock(core_->mutex);
        core_->stop = false;
    }

    LocalEncoderOptions options_;
    std::shared_ptr<GroupsImpl> groups_ = std::make_shared<GroupsImpl>();
    std::shared_ptr<OutputFileImpl> file_ = std::make_shared<OutputFileImpl>();
    std::shared_ptr<DisplayInfoImpl> info_ = std::make_shared<DisplayInfoImpl>();
    std::shared_ptr<ProfileCollection> profiles_;
    std::shared_ptr<Core> core_;
    std::shared_ptr<StatisticsImpl> statistics_;
    std::unique_ptr<Transcoder> transcoder_;
    ProfileData profile_;
    std::thread worker_;
};

}  // namespace

std::shared_ptr<Encoder> create_local_encoder(const LocalEncoderOptions& options) {
    return std::make_shared<LocalEncoder>(options);
}

std::shared_ptr<Encoder> create_local_encoder() {
    LocalEncoderOptions options;
    options.refuseLinkedOutput = true;
    return create_local_encoder(options);
}

std::shared_ptr<ProfileEditor> create_profile_editor() { return make_profile_editor(); }

std::shared_ptr<DataView> create_data_view() { return std::make_shared<DataViewImpl>(); }

}  // namespace shardex::encoder

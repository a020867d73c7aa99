// A scripted stand-in for the encoder component: profiles, statistics and failures come
// from a script the test fills in, every call is written to the script's call list, and
// run-state events go through the owner's executor like the real encoder's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/encoder/encoder.h"

namespace shardex::testing {

struct FakeProfileData {
    std::string name;
    std::int32_t contentType = encoder::kContentAudioVideo;
    std::int32_t mode = encoder::kModeCbr;
    std::int32_t codec = 0;
    std::int32_t width = 320, height = 240, fps = 29970;
    std::int32_t audioBitrate = 64000, videoBitrate = 700000, bufferMs = 5000, peak = 0, quality = 0;
};

struct FakeScript {
    std::vector<FakeProfileData> profiles;
    std::vector<std::string> codecNames{"Windows Media Video 8", "Windows Media Video 7"};
    // Names of calls that fail (see the call list for the names), and their description.
    std::set<std::string> failAt;
    std::string failText = "The scripted call failed";
    std::int32_t failCode = 0;  // the code the failure carries
    bool failOnce = false;      // a call fails once, then works again
    std::int32_t durationMs = 123456;
    // Statistics: raw fixed-point figures (bytes, milliseconds) and the bit rate.
    std::int64_t bytes = 0, mediaMs = 0;
    std::int32_t bitrate = 0;
    bool start_emits = true;  // start() reports 1 (starting) and 2 (running)
    bool stop_emits = true;   // stop() reports 4 (stopping) and 5 (stopped)
    std::vector<std::string> calls;

    void check(const std::string& call) {
        calls.push_back(call);
        if (failAt.count(call)) {
            if (failOnce) failAt.erase(call);
            throw Error(failText, failCode);
        }
    }
    bool called(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }
    std::size_t count(const std::string& call) const {
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
    }
};
using Script = std::shared_ptr<FakeScript>;

class FakeProfile : public encoder::Profile {
public:
    explicit FakeProfile(FakeProfileData s) : data(std::move(s)) {}
    std::string name() const override { return data.name; }
    std::string definition() const override { return data.name; }
    FakeProfileData data;
};

class FakeAudience : public encoder::Audience {
public:
    FakeAudience(Script s, FakeProfileData p) : script_(std::move(s)), p_(std::move(p)) {}
    std::int32_t videoCodec(std::int32_t) override { return read("videoCodec", p_.codec); }
    std::int32_t videoWidth(std::int32_t) override { return read("videoWidth", p_.width); }
    std::int32_t videoHeight(std::int32_t) override { return read("videoHeight", p_.height); }
    std::int32_t videoFps(std::int32_t) override { return read("videoFps", p_.fps); }
    std::int32_t audioBitrate(std::int32_t) override { return read("audioBitrate", p_.audioBitrate); }
    std::int32_t videoBitrate(std::int32_t) override { return read("videoBitrate", p_.videoBitrate); }
    std::int32_t videoBufferSize(std::int32_t) override { return read("videoBufferSize", p_.bufferMs); }
    std::int32_t videoPeakBitrate() override { return read("videoPeakBitrate", p_.peak); }
    std::int32_t videoQuality(std::int32_t) override { return read("videoQuality", p_.quality); }

private:
    std::int32_t read(const char* what, std::int32_t v) {
        script_->check(what);
        return v;
    }
    Script script_;
    FakeProfileData p_;
};

class FakeProfileEditor : public encoder::ProfileEditor {
public:
    explicit FakeProfileEditor(Script s) : script_(std::move(s)) {}
    void load(const std::shared_ptr<encoder::Profile>& p) override {
        script_->check("load " + p->name());
        loaded_ = std::dynamic_pointer_cast<FakeProfile>(p);
    }
    std::int32_t contentType() override { return data().contentType; }
    std::int32_t audienceCount() override { return loaded_ ? 1 : 0; }
    std::shared_ptr<encoder::Audience> audience(std::int32_t index) override {
        if (index != 0) throw Error("no such audience");
        return std::make_shared<FakeAudience>(script_, data());
    }
    std::int32_t bitrateMode(std::int32_t, std::int32_t) override { return data().mode; }
    std::int32_t videoCodecCount() override { return static_cast<std::int32_t>(script_->codecNames.size()); }
    std::string videoCodecName(std::int32_t i, std::string*) override {
        if (i < 0 || i >= videoCodecCount()) throw Error("unknown codec");
        return script_->codecNames[static_cast<std::size_t>(i)];
    }

private:
    const FakeProfileData& data() const {
        if (!loaded_) throw Error("no profile is loaded");
        return loaded_->data;
    }
    Script script_;
    std::shared_ptr<FakeProfile> loaded_;
};

class FakeDataView : public encoder::DataView {
public:
    explicit FakeDataView(Script s) : script_(std::move(s)) {}
    void setViewProperties(std::int32_t cookie, WindowHandle w) override {
        script_->check("setViewProperties");
        this->cookie = cookie;
        window = w;
    }
    void startView(std::int32_t) override { script_->check("startView"); }
    void stopView(std::int32_t) override { script_->check("stopView"); }
    std::int32_t cookie = -1;
    WindowHandle window = 0;

private:
    Script script_;
};

class FakeSource : public encoder::Source {
public:
    FakeSource(Script s, std::int32_t type) : script_(std::move(s)), type_(type) {}
    std::int32_t type() const override { return type_; }
    void setInput(const std::string& path, const std::string&, const std::string&) override {
        script_->check("setInput " + std::to_string(type_));
        input_ = path;
    }
    std::string input() const override { return input_; }
    void setMarkIn(std::int32_t ms) override {
        script_->check("setMarkIn " + std::to_string(type_));
        markIn_ = ms;
    }
    std::int32_t markIn() const override { return markIn_; }
    void setMarkOut(std::int32_t ms) override {
        script_->check("setMarkOut " + std::to_string(type_));
        markOut_ = ms;
    }
    std::int32_t markOut() const override { return markOut_; }
    void setStretch(std::int32_t startMs, std::int32_t endMs) override {
        script_->check("setStretch " + std::to_string(type_));
        stretchStart_ = startMs;
        stretchEnd_ = endMs;
    }
    std::int32_t stretchStart() const override { return stretchStart_; }
    std::int32_t stretchEnd() const override { return stretchEnd_; }
    std::int32_t duration() override {
        script_->check("duration");
        return script_->durationMs;
    }
    void setPreProcessPass(std::int32_t pass) override {
        script_->check("setPreProcessPass " + std::to_string(type_));
        pass_ = pass;
    }
    std::int32_t preProcessPass() const override { return pass_; }
    std::int32_t addDataView(const std::shared_ptr<encoder::DataView>& v) override {
        script_->check("addDataView");
        views.push_back(v);
        return 7;
    }
    std::vector<std::shared_ptr<encoder::DataView>> views;

private:
    Script script_;
    std::int32_t type_;
    std::string input_;
    std::int32_t markIn_ = 0, markOut_ = 0, pass_ = 0, stretchStart_ = -1, stretchEnd_ = -1;
};

class FakeSourceGroup : public encoder::SourceGroup {
public:
    FakeSourceGroup(Script s, std::string name) : script_(std::move(s)), name_(std::move(name)) {}
    std::string name() const override { return name_; }
    std::shared_ptr<encoder::Source> addSource(std::int32_t type) override {
        script_->check("addSource " + std::to_string(type));
        sources.push_back(std::make_shared<FakeSource>(script_, type));
        return sources.back();
    }
    std::int32_t sourceCount() override { return static_cast<std::int32_t>(sources.size()); }
    std::shared_ptr<encoder::Source> source(std::int32_t i) override { return sources.at(static_cast<std::size_t>(i)); }
    void setProfile(const std::shared_ptr<encoder::Profile>& p) override {
        script_->check("setProfile " + p->name());
        profile_ = p;
    }
    std::shared_ptr<encoder::Profile> profile() const override { return profile_; }
    std::vector<std::shared_ptr<FakeSource>> sources;

private:
    Script script_;
    std::string name_;
    std::shared_ptr<encoder::Profile> profile_;
};

class FakeGroups : public encoder::SourceGroupCollection {
public:
    explicit FakeGroups(Script s) : script_(std::move(s)) {}
    std::shared_ptr<encoder::SourceGroup> add(const std::string& name) override {
        script_->check("add " + name);
        groups.push_back(std::make_shared<FakeSourceGroup>(script_, name));
        return groups.back();
    }
    std::int32_t count() override { return static_cast<std::int32_t>(groups.size()); }
    std::shared_ptr<encoder::SourceGroup> item(std::int32_t i) override { return groups.at(static_cast<std::size_t>(i)); }
    std::vector<std::shared_ptr<FakeSourceGroup>> groups;

private:
    Script script_;
};

class FakeProfileCollection : public encoder::ProfileCollection {
public:
    explicit FakeProfileCollection(Script s) : script_(std::move(s)) {}
    void refresh() override { script_->check("refresh"); }
    std::int32_t count() override {
        script_->check("count");
        return static_cast<std::int32_t>(script_->profiles.size());
    }
    std::shared_ptr<encoder::Profile> item(std::int32_t i) override {
        script_->check("item");
        return std::make_shared<FakeProfile>(script_->profiles.at(static_cast<std::size_t>(i)));
    }

private:
    Script script_;
};

class FakeEncoder : public encoder::Encoder,
                    public encoder::OutputFile,
                    public encoder::DisplayInfo,
                    public encoder::Statistics,
                    public std::enable_shared_from_this<FakeEncoder> {
public:
    explicit FakeEncoder(Script s)
        : script_(s), groups_(std::make_shared<FakeGroups>(s)), profiles_(std::make_shared<FakeProfileCollection>(s)) {}

    // Encoder
    std::shared_ptr<encoder::SourceGroupCollection> sourceGroups() override {
        script_->check("sourceGroups");
        return groups_;
    }
    std::shared_ptr<encoder::OutputFile> file() override { return self<encoder::OutputFile>("file"); }
    std::shared_ptr<encoder::DisplayInfo> displayInfo() override { return self<encoder::DisplayInfo>("displayInfo"); }
    std::shared_ptr<encoder::ProfileCollection> profileCollection() override {
        script_->check("profileCollection");
        return profiles_;
    }
    std::shared_ptr<encoder::Statistics> statistics() override { return self<encoder::Statistics>("statistics"); }
    void reset() override { script_->check("reset"); }
    void prepare(bool) override { script_->check("prepare"); }
    void start() override {
        script_->check("start");
        state_ = encoder::kStateRunning;
        if (script_->start_emits) {
            report(encoder::kStateStarting);
            report(encoder::kStateRunning);
        }
    }
    void stop() override {
        script_->check("stop");
        if (script_->stop_emits) finish();
    }
    void pause() override { script_->check("pause"); }
    void resume() override { script_->check("resume"); }
    std::int32_t runState() const override { return state_; }
    void setEventHandlers(encoder::Executor executor, encoder::EventHandlers handlers) override {
        executor_ = std::move(executor);
        handlers_ = std::move(handlers);
    }

    // Output file, display information
    void setLocalFileName(const std::string& p) override {
        script_->check("setLocalFileName");
        outputPath = p;
    }
    std::string localFileName() const override { return outputPath; }
    void setAuthor(const std::string& v) override { script_->check("setAuthor"); author_ = v; }
    void setCopyright(const std::string& v) override { script_->check("setCopyright"); copyright_ = v; }
    void setDescription(const std::string& v) override { script_->check("setDescription"); description_ = v; }
    void setTitle(const std::string& v) override { script_->check("setTitle"); title_ = v; }
    std::string author() const override { return author_; }
    std::string copyright() const override { return copyright_; }
    std::string description() const override { return description_; }
    std::string title() const override { return title_; }

    // Statistics
    encoder::Fixed4 archiveFileSize() override {
        script_->check("archiveFileSize");
        return {script_->bytes};
    }
    encoder::Fixed4 archiveFileDuration() override {
        script_->check("archiveFileDuration");
        return {script_->mediaMs};
    }
    std::int32_t outputBitrate() override {
        script_->check("outputBitrate");
        return script_->bitrate;
    }

    // Test side: report a run state or an error through the owner's executor.
    void report(std::int32_t state) {
        if (!executor_ || !handlers_.onStateChange) return;
        auto h = handlers_.onStateChange;
        executor_([h, state] { h(state); });
    }
    void reportError(std::int32_t code, std::string description = {}) {
        if (!executor_ || !handlers_.onError) return;
        auto h = handlers_.onError;
        if (description.empty()) description = "encoding failed (error " + std::to_string(code) + ")";
        executor_([h, code, description] { h(code, description); });
    }
    // The encode reaches its end (or a stop): 4 then 5.
    void finish() {
        state_ = encoder::kStateStopped;
        report(encoder::kStateStopping);
        report(encoder::kStateStopped);
    }

    FakeSourceGroup& group() { return *groups_->groups.at(0); }
    FakeSource& video() { return *group().sources.at(0); }
    FakeSource& audio() { return *group().sources.at(1); }
    std::string outputPath;

private:
    template <typename T>
    std::shared_ptr<T> self(const std::string& call) {
        script_->check(call);
        return std::static_pointer_cast<T>(shared_from_this());
    }

    Script script_;
    std::shared_ptr<FakeGroups> groups_;
    std::shared_ptr<FakeProfileCollection> profiles_;
    std::int32_t state_ = encoder::kStateStopped;
    encoder::Executor executor_;
    encoder::EventHandlers handlers_;
    std::string author_, copyright_, description_, title_;
};

// Services' factories over one script; every encoder made is kept for the test.
struct FakeEncoderFactory {
    Script script = std::make_shared<FakeScript>();
    std::vector<std::shared_ptr<FakeEncoder>> made;
    std::vector<std::shared_ptr<FakeDataView>> views;

    std::function<std::shared_ptr<encoder::Encoder>()> encoders() {
        return [this] {
            script->check("createEncoder");
            made.push_back(std::make_shared<FakeEncoder>(script));
            return made.back();
        };
    }
    std::function<std::shared_ptr<encoder::ProfileEditor>()> editors() {
        return [this] {
            script->check("createProfileEditor");
            return std::make_shared<FakeProfileEditor>(script);
        };
    }
    std::function<std::shared_ptr<encoder::DataView>()> dataViews() {
        return [this] {
            script->check("createDataView");
            views.push_back(std::make_shared<FakeDataView>(script));
            return views.back();
        };
    }
    FakeEncoder& last() { return *made.back(); }
};

}  // namespace shardex::testing

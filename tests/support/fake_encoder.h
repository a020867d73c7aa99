// A scripted stand-in for the encoder component and a client's agent: profiles, statistics
// and failures come from a script the test fills in, every call is written to the script's
// call list, and run-state events go through the owner's executor like the real encoder's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/encoder/encoder.h"

namespace shardex::testing {

struct FakeProfileData {
    std::string name;
    std::int32_t contentType = encoder::kContentAudioVideo, mode = encoder::kModeCbr, codec = 0;
    std::int32_t width = 320, height = 240, fps = 29970;
    std::int32_t audioBitrate = 64000, videoBitrate = 700000, bufferMs = 5000, peak = 0, quality = 0;
};

struct FakeScript {
    std::vector<FakeProfileData> profiles;
    std::vector<std::string> codecNames{"Windows Media Video 8", "Windows Media Video 7"};
    std::set<std::string> failAt;  // names of calls that fail (as the call list writes them)
    std::string failText = "The scripted call failed";
    std::int32_t failCode = 0;
    bool failOnce = false;  // a failing call works again after its first failure
    std::int32_t durationMs = 123456;
    std::int64_t bytes = 0, mediaMs = 0;  // statistics
    std::int32_t bitrate = 0;
    std::vector<std::string> calls;
    std::vector<std::string> copies;  // "computer|name|target" of each copy from a client

    // Calls may come from the window's thread and from a client copy's thread.
    void check(const std::string& call) {
        std::lock_guard lock(*mutex);
        calls.push_back(call);
        if (!failAt.count(call)) return;
        if (failOnce) failAt.erase(call);
        throw Error(failText, failCode);
    }
    std::size_t count(const std::string& call) const {
        std::lock_guard lock(*mutex);
        return std::count(calls.begin(), calls.end(), call);
    }
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
    bool called(const std::string& call) const { return count(call) > 0; }
    // Position of a call's first occurrence, for checks of their order.
    std::ptrdiff_t at(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    }
};
using Script = std::shared_ptr<FakeScript>;

struct FakeProfile : encoder::Profile {
    explicit FakeProfile(FakeProfileData d) : data(std::move(d)) {}
    std::string name() const override { return data.name; }
    std::string definition() const override { return data.name; }
    FakeProfileData data;
};

// The editor is its own audience: the figures of the profile last loaded.
struct FakeProfileEditor : encoder::ProfileEditor, encoder::Audience, std::enable_shared_from_this<FakeProfileEditor> {
    explicit FakeProfileEditor(Script s) : script(std::move(s)) {}
    void load(const std::shared_ptr<encoder::Profile>& p) override {
        script->check("load " + p->name());
        loaded = std::dynamic_pointer_cast<FakeProfile>(p);
    }
    std::int32_t contentType() override { return data().contentType; }
    std::int32_t audienceCount() override { return loaded ? 1 : 0; }
    std::shared_ptr<encoder::Audience> audience(std::int32_t) override {
        data();  // fails without a loaded profile
        return shared_from_this();
    }
    std::int32_t bitrateMode(std::int32_t, std::int32_t) override { return data().mode; }
    std::int32_t videoCodecCount() override { return static_cast<std::int32_t>(script->codecNames.size()); }
    std::string videoCodecName(std::int32_t i, std::string*) override { return script->codecNames.at(i); }
    std::int32_t videoCodec(std::int32_t) override { return read("videoCodec", data().codec); }
    std::int32_t videoWidth(std::int32_t) override { return read("videoWidth", data().width); }
    std::int32_t videoHeight(std::int32_t) override { return read("videoHeight", data().height); }
    std::int32_t videoFps(std::int32_t) override { return read("videoFps", data().fps); }
    std::int32_t audioBitrate(std::int32_t) override { return read("audioBitrate", data().audioBitrate); }
    std::int32_t videoBitrate(std::int32_t) override { return read("videoBitrate", data().videoBitrate); }
    std::int32_t videoBufferSize(std::int32_t) override { return read("videoBufferSize", data().bufferMs); }
    std::int32_t videoPeakBitrate() override { return read("videoPeakBitrate", data().peak); }
    std::int32_t videoQuality(std::int32_t) override { return read("videoQuality", data().quality); }

    const FakeProfileData& data() const { return loaded ? loaded->data : throw Error("no profile is loaded"); }
    std::int32_t read(const char* what, std::int32_t v) { return script->check(what), v; }
    Script script;
    std::shared_ptr<FakeProfile> loaded;
};

struct FakeDataView : encoder::DataView {
    explicit FakeDataView(Script s) : script(std::move(s)) {}
    void setViewProperties(std::int32_t c, WindowHandle w) override {
        script->check("setViewProperties"), cookie = c, window = w;
    }
    void startView(std::int32_t) override { script->check("startView"); }
    void stopView(std::int32_t) override { script->check("stopView"); }
    Script script;
    std::int32_t cookie = -1;
    WindowHandle window = 0;
};

struct FakeSource : encoder::Source {
    FakeSource(Script s, std::int32_t t) : script(std::move(s)), kind(t) {}
    std::int32_t type() const override { return kind; }
    void setInput(const std::string& p, const std::string&, const std::string&) override { call("setInput"), path = p; }
    std::string input() const override { return path; }
    void setMarkIn(std::int32_t ms) override { call("setMarkIn"), in = ms; }
    std::int32_t markIn() const override { return in; }
    void setMarkOut(std::int32_t ms) override { call("setMarkOut"), out = ms; }
    std::int32_t markOut() const override { return out; }
    void setStretch(std::int32_t from, std::int32_t to) override { call("setStretch"), stretchFrom = from, stretchTo = to; }
    std::int32_t stretchStart() const override { return stretchFrom; }
    std::int32_t stretchEnd() const override { return stretchTo; }
    std::int32_t duration() override { return script->check("duration"), script->durationMs; }
    void setPreProcessPass(std::int32_t p) override { call("setPreProcessPass"), pass = p; }
    std::int32_t preProcessPass() const override { return pass; }
    std::int32_t addDataView(const std::shared_ptr<encoder::DataView>&) override {
        return script->check("addDataView"), 7;
    }
    void call(const std::string& what) { script->check(what + " " + std::to_string(kind)); }
    Script script;
    std::int32_t kind, in = 0, out = 0, pass = 0;
    std::int32_t stretchFrom = -1, stretchTo = -1;
    std::string path;
};

struct FakeSourceGroup : encoder::SourceGroup, encoder::SourceGroupCollection,
                         std::enable_shared_from_this<FakeSourceGroup> {
    explicit FakeSourceGroup(Script s) : script(std::move(s)) {}
    // The encoder's one collection of groups: a job adds one group, this one.
    std::shared_ptr<encoder::SourceGroup> add(const std::string& n) override {
        script->check("add " + n);
        groupName = n;
        return shared_from_this();
    }
    std::int32_t count() override { return groupName.empty() ? 0 : 1; }
    std::shared_ptr<encoder::SourceGroup> item(std::int32_t) override { return add(groupName); }
    std::string name() const override { return groupName; }
    std::shared_ptr<encoder::Source> addSource(std::int32_t type) override {
        script->check("addSource " + std::to_string(type));
        return sources.emplace_back(std::make_shared<FakeSource>(script, type));
    }
    std::int32_t sourceCount() override { return static_cast<std::int32_t>(sources.size()); }
    std::shared_ptr<encoder::Source> source(std::int32_t i) override { return sources.at(i); }
    void setProfile(const std::shared_ptr<encoder::Profile>& p) override {
        script->check("setProfile " + p->name()), chosen = p;
    }
    std::shared_ptr<encoder::Profile> profile() const override { return chosen; }
    Script script;
    std::string groupName;
    std::vector<std::shared_ptr<FakeSource>> sources;
    std::shared_ptr<encoder::Profile> chosen;
};

struct FakeEncoder : encoder::Encoder, encoder::OutputFile, encoder::DisplayInfo, encoder::Statistics,
                     encoder::ProfileCollection, std::enable_shared_from_this<FakeEncoder> {
    explicit FakeEncoder(Script s) : script(s), group(std::make_shared<FakeSourceGroup>(s)) {}

    std::shared_ptr<encoder::SourceGroupCollection> sourceGroups() override {
        return script->check("sourceGroups"), group;
    }
    std::shared_ptr<encoder::OutputFile> file() override { return self<encoder::OutputFile>("file"); }
    std::shared_ptr<encoder::DisplayInfo> displayInfo() override { return self<encoder::DisplayInfo>("displayInfo"); }
    std::shared_ptr<encoder::ProfileCollection> profileCollection() override {
        return self<encoder::ProfileCollection>("profileCollection");
    }
    std::shared_ptr<encoder::Statistics> statistics() override { return self<encoder::Statistics>("statistics"); }
    void reset() override { script->check("reset"); }
    void prepare(bool) override { script->check("prepare"); }
    void start() override { script->check("start"), report(encoder::kStateStarting), report(encoder::kStateRunning); }
    void stop() override { script->check("stop"), finish(); }
    void pause() override { script->check("pause"); }
    void resume() override { script->check("resume"); }
    std::int32_t runState() const override { return encoder::kStateStopped; }
    void setEventHandlers(encoder::Executor e, encoder::EventHandlers h) override { executor = e, handlers = h; }

    void setLocalFileName(const std::string& p) override { script->check("setLocalFileName"), outputPath = p; }
    std::string localFileName() const override { return outputPath; }
    void discard() override { script->check("discard"); }
    void setAuthor(const std::string& v) override { author_ = v; }
    void setCopyright(const std::string& v) override { copyright_ = v; }
    void setDescription(const std::string& v) override { description_ = v; }
    void setTitle(const std::string& v) override { title_ = v; }
    std::string author() const override { return author_; }
    std::string copyright() const override { return copyright_; }
    std::string description() const override { return description_; }
    std::string title() const override { return title_; }

    encoder::Fixed4 archiveFileSize() override {
        return script->check("archiveFileSize"), encoder::Fixed4{script->bytes};
    }
    encoder::Fixed4 archiveFileDuration() override { return encoder::Fixed4{script->mediaMs}; }
    std::int32_t outputBitrate() override { return script->check("outputBitrate"), script->bitrate; }

    void refresh() override { script->check("refresh"); }
    std::int32_t count() override { return static_cast<std::int32_t>(script->profiles.size()); }
    std::shared_ptr<encoder::Profile> item(std::int32_t i) override {
        return std::make_shared<FakeProfile>(script->profiles.at(i));
    }

    // Test side: a run state or an error reported through the owner's executor.
    void report(std::int32_t state) {
        if (executor) executor([h = handlers.onStateChange, state] { h(state); });
    }
    void reportError(std::int32_t code, std::string description) {
        if (executor) executor([h = handlers.onError, code, description] { h(code, description); });
    }
    void finish() { report(encoder::kStateStopping), report(encoder::kStateStopped); }  // the encode ends
    FakeSource& video() { return *group->sources.at(0); }
    FakeSource& audio() { return *group->sources.at(1); }

    template <typename T>
    std::shared_ptr<T> self(const std::string& call) {
        script->check(call);
        return std::static_pointer_cast<T>(shared_from_this());
    }
    Script script;
    std::shared_ptr<FakeSourceGroup> group;
    std::string outputPath, author_, copyright_, description_, title_;
    encoder::Executor executor;
    encoder::EventHandlers handlers;
};

struct FakeApp : encoder::EncoderApp {
    explicit FakeApp(Script s) : script(std::move(s)) {}
    void setPlacement(std::int32_t a, std::int32_t b) override { script->check("setPlacement"), placement = {a, b}; }
    void setVisible(bool v) override { script->check("setVisible"), visible = v; }
    Script script;
    std::pair<std::int32_t, std::int32_t> placement;
    bool visible = false;
};

// The services' encoder factories and the clients' agents over one script; every encoder,
// data view, agent and application made is kept for the test.
struct FakeEncoderFactory {
    Script script = std::make_shared<FakeScript>();
    std::vector<std::shared_ptr<FakeEncoder>> made;
    std::vector<std::shared_ptr<FakeDataView>> views;
    std::vector<std::shared_ptr<FakeApp>> apps;
    std::vector<std::string> agents;       // the computer of each agent made
    std::vector<std::string> encoderNames{"WMEnc_1"};  // what an agent lists

    std::function<std::shared_ptr<encoder::Encoder>()> encoders() {
        return [this] {
            script->check("createEncoder");
            return made.emplace_back(std::make_shared<FakeEncoder>(script));
        };
    }
    std::function<std::shared_ptr<encoder::ProfileEditor>()> editors() {
        return [this] { return script->check("createProfileEditor"), std::make_shared<FakeProfileEditor>(script); };
    }
    std::function<std::shared_ptr<encoder::DataView>()> dataViews() {
        return [this] {
            script->check("createDataView");
            return views.emplace_back(std::make_shared<FakeDataView>(script));
        };
    }
    std::function<std::shared_ptr<encoder::Agent>(const std::string&)> agentsOn() {
        return [this](const std::string& computer) {
            script->check("createAgent");
            agents.push_back(computer);
            return std::make_shared<Agent>(*this);
        };
    }
    // Copies nothing: records the copy and reports it complete.
    std::function<void(const std::string&, const std::string&, const std::string&,
                       const std::function<bool(std::int64_t, std::int64_t)>&)>
    copier() {
        return [this](const std::string& computer, const std::string& name, const std::string& target,
                      const std::function<bool(std::int64_t, std::int64_t)>& progress) {
            script->check("copyFromClient");
            {
                std::lock_guard lock(*script->mutex);
                script->copies.push_back(computer + "|" + name + "|" + target);
            }
            progress(1, 1);
        };
    }
    FakeEncoder& last() { return *made.back(); }

    struct Agent : encoder::Agent {
        explicit Agent(FakeEncoderFactory& o) : owner(o) {}
        std::shared_ptr<encoder::EncoderApp> createEncoderApp(const std::string& n, const std::string& id) override {
            owner.script->check("createEncoderApp " + n + "|" + id);
            return owner.apps.emplace_back(std::make_shared<FakeApp>(owner.script));
        }
        std::vector<std::string> encoderNames() override {
            return owner.script->check("encoderNames"), owner.encoderNames;
        }
        std::shared_ptr<encoder::Encoder> encoder(const std::string& n) override {
            owner.script->check("encoder " + n);
            return owner.made.emplace_back(std::make_shared<FakeEncoder>(owner.script));
        }
        FakeEncoderFactory& owner;
    };
};

}  // namespace shardex::testing

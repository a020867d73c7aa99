// The proxies of the encoder object model: each call becomes a unary call of the session
// under its deadline; statistics and the run state are read from what the session's stream
// last delivered.
#include "platform/remote/remote_encoder.h"

#include <utility>
#include <vector>

#include "platform/network_paths.h"
#include "platform/remote/agent_session.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {
namespace {

namespace pb = proto;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using SessionPtr = std::shared_ptr<Session>;

// Every proxy object knows its session and the encoder it belongs to.
struct Target {
    SessionPtr session;
    std::string encoder;
    pb::CallReply call(const std::string& what, pb::EncoderCall request) const {
        return session->call(encoder, what, std::move(request), session->deadlines().call);
    }
    // Prepare and start open the source over the share: the longer deadline.
    pb::CallReply set_up(const std::string& what, pb::EncoderCall request) const {
        return session->call(encoder, what, std::move(request), session->deadlines().setUp);
    }
};

pb::SourceRef source_ref(std::int32_t group, std::int32_t source) {
    pb::SourceRef r;
    r.set_group(group);
    r.set_source(source);
    return r;
}

std::int32_t as_int32(std::int64_t v) { return static_cast<std::int32_t>(v); }

class RemoteProfile final : public encoder::Profile {
public:
    RemoteProfile(std::int32_t index, std::string name, std::string definition)
        : index_(index), name_(std::move(name)), definition_(std::move(definition)) {}
    std::string name() const override { return name_; }
    std::string definition() const override { return definition_; }
    std::int32_t index() const { return index_; }

private:
    std::int32_t index_;
    std::string name_, definition_;
};

class RemoteProfiles final : public encoder::ProfileCollection {
public:
    explicit RemoteProfiles(Target t) : t_(std::move(t)) {}
    void refresh() override {
        pb::EncoderCall c;
        c.mutable_profiles_refresh();
        t_.call("refresh its profile collection", c);
    }
    std::int32_t count() override {
        pb::EncoderCall c;
        c.mutable_profiles_count();
        return as_int32(t_.call("count its profiles", c).number());
    }
    std::shared_ptr<encoder::Profile> item(std::int32_t index) override {
        pb::EncoderCall c;
        c.set_profile_item(index);
        auto r = t_.call("read its profile " + std::to_string(index), c);
        return std::make_shared<RemoteProfile>(index, r.text(), r.definition());
    }

private:
    Target t_;
};

class RemoteSource final : public encoder::Source {
public:
    RemoteSource(Target t, std::int32_t group, std::int32_t index, std::int32_t type)
        : t_(std::move(t)), group_(group), index_(index), type_(type) {}
    std::int32_t type() const override { return type_; }
    void setInput(const std::string& path, const std::string& scheme, const std::string& initData) override {
        pb::EncoderCall c;
        auto* in = c.mutable_set_input();
        *in->mutable_source() = ref();
        in->set_path(path);
        in->set_scheme(scheme);
        in->set_init_data(initData);
        t_.call("set the source's input", c);
    }
    std::string input() const override {
        pb::EncoderCall c;
        *c.mutable_get_input() = ref();
        return t_.call("read the source's input", c).text();
    }
    void setMarkIn(std::int32_t ms) override { setNumber(&pb::EncoderCall::mutable_set_mark_in, ms, "set the mark-in"); }
    std::int32_t markIn() const override { return getNumber(&pb::EncoderCall::mutable_get_mark_in, "read the mark-in"); }
    void setMarkOut(std::int32_t ms) override {
        setNumber(&pb::EncoderCall::mutable_set_mark_out, ms, "set the mark-out");
    }
    std::int32_t markOut() const override {
        return getNumber(&pb::EncoderCall::mutable_get_mark_out, "read the mark-out");
    }
    void setStretch(std::int32_t startMs, std::int32_t endMs) override {
        pb::EncoderCall c;
        auto* s = c.mutable_set_stretch();
        *s->mutable_source() = ref();
        s->set_start(startMs);
        s->set_end(endMs);
        t_.call("set the stretch", c);
    }
    std::int32_t stretchStart() const override {
        return getNumber(&pb::EncoderCall::mutable_get_stretch_start, "read the stretch");
    }
    std::int32_t stretchEnd() const override {
        return getNumber(&pb::EncoderCall::mutable_get_stretch_end, "read the stretch");
    }
    std::int32_t duration() override {
        return getNumber(&pb::EncoderCall::mutable_get_duration, "read the source's duration");
    }
    void setPreProcessPass(std::int32_t pass) override {
        setNumber(&pb::EncoderCall::mutable_set_pre_process, pass, "set the pre-processing pass");
    }
    std::int32_t preProcessPass() const override {
        return getNumber(&pb::EncoderCall::mutable_get_pre_process, "read the pre-processing pass");
    }
    std::int32_t addDataView(const std::shared_ptr<encoder::DataView>&) override {
        throw Error(t_.session->computer() + ": a client computer shows no data view on this computer",
                    encoder::errors::kBadConfiguration);
    }

private:
    pb::SourceRef ref() const { return source_ref(group_, index_); }
    void setNumber(pb::SetNumber* (pb::EncoderCall::*field)(), std::int32_t v, const std::string& what) {
        pb::EncoderCall c;
        auto* n = (c.*field)();
        *n->mutable_source() = ref();
        n->set_value(v);
        t_.call(what, c);
    }
    std::int32_t getNumber(pb::SourceRef* (pb::EncoderCall::*field)(), const std::string& what) const {
        pb::EncoderCall c;
        *(c.*field)() = ref();
        return as_int32(t_.call(what, c).number());
    }

    Target t_;
    std::int32_t group_, index_, type_;
};

class RemoteGroup final : public encoder::SourceGroup {
public:
    RemoteGroup(Target t, std::int32_t index, std::string name) : t_(std::move(t)), index_(index), name_(std::move(name)) {}
    std::string name() const override { return name_; }
    std::shared_ptr<encoder::Source> addSource(std::int32_t type) override {
        pb::EncoderCall c;
        *c.mutable_add_source() = source_ref(index_, type);
        auto index = as_int32(t_.call("add a source", c).number());
        return std::make_shared<RemoteSource>(t_, index_, index, type);
    }
    std::int32_t sourceCount() override {
        pb::EncoderCall c;
        c.set_source_count(index_);
        return as_int32(t_.call("count the sources", c).number());
    }
    std::shared_ptr<encoder::Source> source(std::int32_t index) override {
        pb::EncoderCall c;
        *c.mutable_source_type() = source_ref(index_, index);
        auto type = as_int32(t_.call("read a source", c).number());
        return std::make_shared<RemoteSource>(t_, index_, index, type);
    }
    void setProfile(const std::shared_ptr<encoder::Profile>& profile) override {
        pb::EncoderCall c;
        auto* p = c.mutable_set_group_profile();
        p->set_group(index_);
        p->set_index(-1);
        if (profile) {
            auto remote = std::dynamic_pointer_cast<RemoteProfile>(profile);
            if (!remote)
                throw Error(t_.session->computer() + ": the profile must come from " + t_.session->computer() +
                                "'s own profile collection",
                            encoder::errors::kBadConfiguration);
            p->set_index(remote->index());
            p->set_name(remote->name());
        }
        t_.call("set the profile", c);
    }
    std::shared_ptr<encoder::Profile> profile() const override {
        pb::EncoderCall c;
        c.set_get_group_profile(index_);
        auto r = t_.call("read the profile", c);
        if (r.number() < 0) return nullptr;
        return std::make_shared<RemoteProfile>(as_int32(r.number()), r.text(), r.definition());
    }

private:
    Target t_;
    std::int32_t index_;
    std::string name_;
};

class RemoteGroups final : public encoder::SourceGroupCollection {
public:
    explicit RemoteGroups(Target t) : t_(std::move(t)) {}
    std::shared_ptr<encoder::SourceGroup> add(const std::string& name) override {
        pb::EncoderCall c;
        c.set_add_group(name);
        auto index = as_int32(t_.call("add the source group", c).number());
        return std::make_shared<RemoteGroup>(t_, index, name);
    }
    std::int32_t count() override {
        pb::EncoderCall c;
        c.mutable_group_count();
        return as_int32(t_.call("count the source groups", c).number());
    }
    std::shared_ptr<encoder::SourceGroup> item(std::int32_t index) override {
        pb::EncoderCall c;
        c.set_group_name(index);
        auto name = t_.call("read a source group", c).text();
        return std::make_shared<RemoteGroup>(t_, index, name);
    }

private:
    Target t_;
};

class RemoteOutput final : public encoder::OutputFile {
public:
    explicit RemoteOutput(Target t) : t_(std::move(t)) {}
    // The output travels as a plain name that the agent places in its own Shardex folder.
    void setLocalFileName(const std::string& path) override {
        pb::EncoderCall c;
        c.set_set_output(platform::output_name_of(path));
        t_.call("set the output file", c);
    }
    std::string localFileName() const override {
        pb::EncoderCall c;
        c.mutable_get_output();
        return t_.call("read the output file", c).text();
    }
    void discard() override {
        pb::EncoderCall c;
        c.mutable_discard_output();
        t_.call("remove the output file", c);
    }

private:
    Target t_;
};

class RemoteDisplay final : public encoder::DisplayInfo {
public:
    explicit RemoteDisplay(Target t) : t_(std::move(t)) {}
    void setAuthor(const std::string& v) override { set(pb::DISPLAY_AUTHOR, v); }
    void setCopyright(const std::string& v) override { set(pb::DISPLAY_COPYRIGHT, v); }
    void setDescription(const std::string& v) override { set(pb::DISPLAY_DESCRIPTION, v); }
    void setTitle(const std::string& v) override { set(pb::DISPLAY_TITLE, v); }
    std::string author() const override { return get(pb::DISPLAY_AUTHOR); }
    std::string copyright() const override { return get(pb::DISPLAY_COPYRIGHT); }
    std::string description() const override { return get(pb::DISPLAY_DESCRIPTION); }
    std::string title() const override { return get(pb::DISPLAY_TITLE); }

private:
    void set(pb::DisplayField field, const std::string& v) {
        pb::EncoderCall c;
        c.mutable_set_display_info()->set_field(field);
        c.mutable_set_display_info()->set_value(v);
        t_.call("set the display information", c);
    }
    std::string get(pb::DisplayField field) const {
        pb::EncoderCall c;
        c.set_get_display_info(field);
        return t_.call("read the display information", c).text();
    }
    Target t_;
};

class RemoteStatistics final : public encoder::Statistics {
public:
    explicit RemoteStatistics(std::shared_ptr<Link> link) : link_(std::move(link)) {}
    encoder::Fixed4 archiveFileSize() override { return {link_->size.load()}; }
    encoder::Fixed4 archiveFileDuration() override { return {link_->duration.load()}; }
    std::int32_t outputBitrate() override { return link_->bitrate.load(); }

private:
    std::shared_ptr<Link> link_;
};

class RemoteEncoder final : public encoder::Encoder {
public:
    RemoteEncoder(SessionPtr session, std::string name)
        : t_{std::move(session), std::move(name)}, link_(t_.session->link(t_.encoder)) {}

    ~RemoteEncoder() override {
        // Nothing is delivered for this encoder once it is gone.
        std::lock_guard lock(link_->mutex);
        link_->executor = nullptr;
        link_->handlers = {};
    }

    std::shared_ptr<encoder::SourceGroupCollection> sourceGroups() override { return std::make_shared<RemoteGroups>(t_); }
    std::shared_ptr<encoder::OutputFile> file() override { return std::make_shared<RemoteOutput>(t_); }
    std::shared_ptr<encoder::DisplayInfo> displayInfo() override { return std::make_shared<RemoteDisplay>(t_); }
    std::shared_ptr<encoder::ProfileCollection> profileCollection() override {
        return std::make_shared<RemoteProfiles>(t_);
    }
    std::shared_ptr<encoder::Statistics> statistics() override { return std::make_shared<RemoteStatistics>(link_); }

    void reset() override { control("reset the encoder", [](pb::EncoderCall& c) { c.mutable_reset(); }); }
    void prepare(bool prepare) override {
        control("prepare the encoder", [prepare](pb::EncoderCall& c) { c.set_prepare(prepare); }, true);
    }
    void start() override {
        link_->size = 0;
        link_->duration = 0;
        link_->bitrate = 0;
        control("start the encoder", [](pb::EncoderCall& c) { c.mutable_start(); }, true);
    }
    void stop() override { control("stop the encoder", [](pb::EncoderCall& c) { c.mutable_stop(); }); }
    void pause() override { control("pause the encoder", [](pb::EncoderCall& c) { c.mutable_pause(); }); }
    void resume() override { control("resume the encoder", [](pb::EncoderCall& c) { c.mutable_resume(); }); }
    std::int32_t runState() const override { return link_->state.load(); }

    void setEventHandlers(encoder::Executor executor, encoder::EventHandlers handlers) override {
        std::lock_guard lock(link_->mutex);
        link_->executor = std::move(executor);
        link_->handlers = std::move(handlers);
    }

private:
    // A call that changes the run state; the agent answers with the state after it. A set-up
    // call (prepare, start) opens the source over the share and has the longer deadline.
    template <class Fill>
    void control(const std::string& what, Fill fill, bool setUp = false) {
        pb::EncoderCall c;
        fill(c);
        auto r = setUp ? t_.set_up(what, c) : t_.call(what, c);
        link_->state = as_int32(r.number());
    }

    Target t_;
    std::shared_ptr<Link> link_;
};

class RemoteApp final : public encoder::EncoderApp {
public:
    RemoteApp(SessionPtr session, std::string name) : session_(std::move(session)), name_(std::move(name)) {}
    void setPlacement(std::int32_t first, std::int32_t second) override {
        auto r = request();
        r.mutable_placement()->set_first(first);
        r.mutable_placement()->set_second(second);
        session_->unary("place the encoder application's window", &pb::Agent::Stub::SetAppWindow, r, session_->deadlines().call);
    }
    void setVisible(bool visible) override {
        auto r = request();
        r.set_visible(visible);
        session_->unary("show the encoder application", &pb::Agent::Stub::SetAppWindow, r, session_->deadlines().call);
    }

private:
    pb::AppWindowRequest request() const {
        pb::AppWindowRequest r;
        r.set_session(session_->id());
        r.set_app(name_);
        return r;
    }
    SessionPtr session_;
    std::string name_;
};

class RemoteAgent final : public encoder::Agent {
public:
    explicit RemoteAgent(SessionPtr session) : session_(std::move(session)) {}
    const SessionPtr& session() const { return session_; }

    std::shared_ptr<encoder::EncoderApp> createEncoderApp(const std::string& name, const std::string& progId) override {
        pb::CreateAppRequest r;
        r.set_session(session_->id());
        r.set_name(name);
        r.set_prog_id(progId);
        session_->unary("create the encoder application", &pb::Agent::Stub::CreateApp, r, session_->deadlines().call);
        return std::make_shared<RemoteApp>(session_, name);
    }
    std::vector<std::string> encoderNames() override {
        pb::SessionRef r;
        r.set_session(session_->id());
        auto reply = session_->unary("list its encoders", &pb::Agent::Stub::ListEncoders, r, session_->deadlines().call);
        return {reply.names().begin(), reply.names().end()};
    }
    std::shared_ptr<encoder::Encoder> encoder(const std::string& name) override {
        pb::EncoderRef r;
        r.set_session(session_->id());
        r.set_encoder(name);
        session_->unary("get the encoder " + name, &pb::Agent::Stub::GetEncoder, r, session_->deadlines().call);
        return std::make_shared<RemoteEncoder>(session_, name);
    }

private:
    SessionPtr session_;
};

}  // namespace

std::shared_ptr<encoder::Agent> connect_agent(const AgentAddress& address, const NetworkCredentials& creds,
                                              const ServerIdentity& server, const CallDeadlines& deadlines) {
    auto session = std::make_shared<Session>(address, make_channel(address.endpoint, creds), server, deadlines);
    session->open();
    return std::make_shared<RemoteAgent>(std::move(session));
}

SessionTicket session_ticket(const encoder::Agent& agent) {
    const auto* remote = dynamic_cast<const RemoteAgent*>(&agent);
    if (!remote) return {};
    return {remote->session()->id(), std::weak_ptr<const void>(remote->session())};
}

std::size_t tracked_encoders(const encoder::Agent& agent) {
    const auto* remote = dynamic_cast<const RemoteAgent*>(&agent);
    return remote ? remote->session()->linkCount() : 0;
}

}  // namespace shardex::remote

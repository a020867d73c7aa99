#include "agent/agent_service.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <random>
#include <vector>

#include "agent/request_limits.h"
#include "platform/encoder/errors.h"
#include "platform/encoder/local_encoder.h"
#include "platform/network_paths.h"
#include "platform/remote/channel.h"
#include "platform/remote/limits.h"
#include "platform/remote/remote_encoder.h"
#include "platform/remote/share_client.h"
#include "platform/shown_text.h"

namespace shardex::agent {

namespace pb = remote::proto;
using Clock = std::chrono::steady_clock;

// The only kind of application an agent makes.
inline constexpr const char* kAppProgId = remote::kEncoderAppProgId;

struct AgentService::App {
    std::string name;
    std::mutex mutex;  // one call on the encoder at a time
    std::shared_ptr<encoder::Encoder> encoder;
    std::unique_ptr<AppView> view;
};

struct AgentService::Session {
    std::string id;
    std::string server;     // the Server's name, as its source paths write it
    remote::Endpoint share;  // the Server's share of its source

    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;  // encoder events, run by the session's thread
    std::vector<std::shared_ptr<App>> apps;    // in the order they were created
    std::map<std::string, std::shared_ptr<remote::ShareClient>> shares;  // by Server name
    grpc::ServerWriter<pb::SessionEvent>* writer = nullptr;  // used by the session's thread only
    bool ended = false;  // no source opens any more, and the stream's thread ends the session

    std::shared_ptr<App> app(const std::string& name) {
        std::lock_guard lock(mutex);
        for (auto& a : apps)
            if (a->name == name) return a;
        return nullptr;
    }
    std::vector<std::shared_ptr<App>> allApps() {
        std::lock_guard lock(mutex);
        return apps;
    }
    // Frees what the session's jobs wait for, from any thread and without waiting itself:
    // the session is marked ended, its stream's thread woken to end it, and its encoders
    // told to stop, which cancels a source read in flight, so a prepare blocked in one fails
    // and an encode ends with its file finished. An application still in `apps` has its
    // encoder set, and only the session's end (after taking it out) drops it.
    void interrupt() {
        std::vector<std::shared_ptr<encoder::Encoder>> encoders;
        {
            std::lock_guard lock(mutex);
            ended = true;
            for (auto& a : apps)
                if (a->encoder) encoders.push_back(a->encoder);
        }
        cv.notify_all();
        for (auto& e : encoders) e->stop();
    }
    void post(std::function<void()> fn) {
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(fn));
        }
        cv.notify_all();
    }
};

namespace {

std::string new_session_id() {
    std::random_device rd;
    std::string id;
    static const char* hex = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) id += hex[rd() % 16];
    return id;
}

// A name a refusal quotes, so that a hostile request of a megabyte gets a one-line answer.
using platform::shown;

// A status message travels in the call's trailers, which gRPC keeps small: a description
// that quotes more of a request than it should is cut, never sent whole.
grpc::Status refused(grpc::StatusCode code, const std::string& text) {
    constexpr std::size_t kMaxText = 1000;
    if (text.size() <= kMaxText) return {code, text};
    return {code, text.substr(0, kMaxText) + "..."};
}

pb::Figures figures_of(const std::string& name, encoder::Encoder& enc) {
    pb::Figures f;
    f.set_encoder(name);
    auto stats = enc.statistics();
    f.set_size_raw(stats->archiveFileSize().raw);
    f.set_duration_raw(stats->archiveFileDuration().raw);
    f.set_bitrate(stats->outputBitrate());
    f.set_run_state(enc.runState());
    return f;
}

// The application's encoder and view are set when it is made and dropped only by the
// session's own thread, which is the one calling this.
bool write_figures(AgentService::Session& s, AgentService::App& app) {
    if (!app.encoder || !s.writer) return true;
    pb::SessionEvent ev;
    *ev.mutable_figures() = figures_of(app.name, *app.encoder);
    if (app.view) app.view->progress(ev.figures().size_raw(), ev.figures().duration_raw());
    return s.writer->Write(ev);
}

std::shared_ptr<encoder::Source> source_at(encoder::Encoder& enc, const pb::SourceRef& ref) {
    return enc.sourceGroups()->item(ref.group())->source(ref.source());
}

// The index of `profile` in the encoder's collection, found by name; -1 when absent.
std::int32_t index_of(encoder::Encoder& enc, const std::shared_ptr<encoder::Profile>& profile) {
    auto col = enc.profileCollection();
    const auto n = col->count();
    for (std::int32_t i = 0; i < n; ++i)
        if (col->item(i)->name() == profile->name()) return i;
    return -1;
}

// Outputs are written only into the Shardex folder itself, never through a link in it.
void refuse_link(const std::filesystem::path& output) {
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(output, ec)))
        throw Error("'" + output.filename().string() + "' is a link in the Shardex folder: an output is never written "
                    "through a link",
                    encoder::errors::kOutputUnavailable);
}

// A source is read through the share of the Server that opened the session, at the address
// it called from: a path naming any other computer is refused, never resolved and connected to.
void check_source_server(const platform::NetworkPath& where, const AgentService::Session& s, const std::string& agent) {
    if (where.server != s.server)
        throw Error(shown("//" + where.server + where.path) + " is on " + shown(where.server) + ": " + agent +
                        " reads a source only from the Server that gives it the job (" +
                        platform::printable(s.server, platform::kShownName) + ")",
                    encoder::errors::kSourceUnreadable);
}

}  // namespace

std::string peer_host(const std::string& peer) {
    std::string p = peer;
    auto colon = p.find(':');
    if (colon == std::string::npos) return {};
    const std::string kind = p.substr(0, colon);
    p = p.substr(colon + 1);
    if (kind != "ipv4" && kind != "ipv6") return {};
    // gRPC writes IPv6 addresses in brackets, sometimes percent-encoded.
    for (auto [from, to] : {std::pair{"%5B", "["}, std::pair{"%5D", "]"}})
        for (auto at = p.find(from); at != std::string::npos; at = p.find(from)) p.replace(at, 3, to);
    auto last = p.rfind(':');
    if (last == std::string::npos) return {};
    std::string host = p.substr(0, last);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return host;
}

AgentService::AgentService(AgentSettings settings) : settings_(std::move(settings)) {}

AgentService::~AgentService() = default;

std::size_t AgentService::sessionCount() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

void AgentService::claimOutput(const Session& s, const App& app, const std::string& output) {
    const std::string name = std::filesystem::path(output).filename().string();
    std::lock_guard lock(writersMutex_);
    auto it = writers_.find(name);
    if (it != writers_.end() && it->second.session != s.id) {
        const std::string what = it->second.stopped ? "' is the output of a job of the Server " + it->second.server +
                                                          ", which has not copied it yet"
                                                    : "' is being written by a job of the Server " + it->second.server;
        throw Error("'" + name + what + " on " + settings_.name + ": two jobs cannot write one file. Wait until that "
                        "job ends, or give the source another name",
                    encoder::errors::kOutputUnavailable);
    }
    // An application holds one output at a time.
    std::erase_if(writers_, [&](const auto& w) { return w.second.session == s.id && w.second.app == app.name; });
    writers_[name] = {s.id, app.name, s.server, false};
}

void AgentService::discardOutput(const Session& s, const App& app, encoder::Encoder& enc) {
    if (enc.runState() != encoder::kStateStopped)
        throw Error("the encode on " + settings_.name + " still runs: stop it before its file is removed",
                    encoder::errors::kBadConfiguration);
    const std::string output = enc.file()->localFileName();
    const std::string name = std::filesystem::path(output).filename().string();
    std::lock_guard lock(writersMutex_);
    // Only what this session's encoder wrote: never another Server's file of that name.
    auto it = writers_.find(name);
    if (name.empty() || it == writers_.end() || it->second.session != s.id || it->second.app != app.name) return;
    struct stat st {};
    if (::lstat(output.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) ::unlink(output.c_str());
    writers_.erase(it);
}

void AgentService::releaseOutputs(const std::string& session, const std::string& app) {
    std::lock_guard lock(writersMutex_);
    std::erase_if(writers_, [&](const auto& w) {
        return w.second.session == session && (app.empty() || w.second.app == app);
    });
}

void AgentService::outputStopped(const std::string& session, const std::string& app) {
    std::lock_guard lock(writersMutex_);
    for (auto& [name, w] : writers_)
        if (w.session == session && w.app == app) w.stopped = true;
}

void AgentService::outputCopied(const std::filesystem::path& file, const std::vector<std::string>& sessions) {
    std::lock_guard lock(writersMutex_);
    auto it = writers_.find(file.filename().string());
    if (it == writers_.end() || !it->second.stopped) return;
    if (std::find(sessions.begin(), sessions.end(), it->second.session) != sessions.end()) writers_.erase(it);
}

std::shared_ptr<AgentService::Session> AgentService::find(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
}

std::shared_ptr<AgentService::Session> AgentService::beginSession(const std::string& serverName,
                                                                  const remote::Endpoint& share,
                                                                  grpc::ServerWriter<pb::SessionEvent>* writer,
                                                                  grpc::Status* refusal) {
    auto s = std::make_shared<Session>();
    s->id = new_session_id();
    s->server = serverName;
    s->share = share;
    s->writer = writer;
    std::lock_guard lock(mutex_);
    // The Server's address is where its share is.
    const auto fromPeer = std::count_if(sessions_.begin(), sessions_.end(),
                                        [&](const auto& e) { return e.second->share.host == share.host; });
    *refusal = check_open(serverName, share.host, sessions_.size(), static_cast<std::size_t>(fromPeer));
    if (!refusal->ok()) return nullptr;
    sessions_[s->id] = s;
    return s;
}

grpc::Status AgentService::Open(grpc::ServerContext* context, const pb::OpenRequest* request,
                                grpc::ServerWriter<pb::SessionEvent>* writer) {
    if (request->protocol() != remote::kProtocolVersion)
        return refused(grpc::StatusCode::FAILED_PRECONDITION,
                       "the agent of " + settings_.name + " speaks the Shardex protocol " +
                           std::to_string(remote::kProtocolVersion) + ", the Server " +
                           std::to_string(request->protocol()) +
                           ": install the same version of Shardex on every computer of the network");
    if (request->share_port() < 1 || request->share_port() > 65535)
        return refused(grpc::StatusCode::INVALID_ARGUMENT, "the Server's share port " +
                                                               std::to_string(request->share_port()) +
                                                               " is not a port from 1 to 65535");
    grpc::Status refusal;
    auto s = beginSession(request->server_name(),
                          {peer_host(context->peer()), static_cast<std::uint16_t>(request->share_port())}, writer,
                          &refusal);
    if (!s) return refusal;
    pb::SessionEvent hello;
    hello.mutable_opened()->set_session(s->id);
    hello.mutable_opened()->set_agent_name(settings_.name);
    hello.mutable_opened()->set_protocol(remote::kProtocolVersion);
    bool open = writer->Write(hello);

    auto nextFigures = Clock::now();
    bool ended = false;
    while (open && !ended && !context->IsCancelled()) {
        std::deque<std::function<void()>> due;
        {
            std::unique_lock lock(s->mutex);
            s->cv.wait_until(lock, nextFigures, [&] { return !s->queue.empty() || s->ended; });
            due.swap(s->queue);
            ended = s->ended;
        }
        for (auto& fn : due) fn();
        if (Clock::now() >= nextFigures) {
            nextFigures = Clock::now() + remote::kFiguresInterval;
            pb::SessionEvent beat;
            beat.mutable_figures();  // a heartbeat even while the session has no encoder
            if (s->allApps().empty()) open = writer->Write(beat);
            // Figures and the run state are safe to read while a call holds the application
            // (a prepare may take seconds): the heartbeat must not wait for it.
            for (auto& app : s->allApps()) {
                if (!open) break;
                open = write_figures(*s, *app);
            }
        }
    }

    endSession(s);
    return grpc::Status::OK;
}

// The Server is gone or has let go: end its encodes (their files stay valid) and free what
// it created.
void AgentService::endSession(const std::shared_ptr<Session>& s) {
    {
        std::lock_guard lock(mutex_);
        sessions_.erase(s->id);
    }
    // A call blocked in a read holds its application: free it before waiting for that.
    s->interrupt();
    std::vector<std::shared_ptr<App>> apps;
    {
        std::lock_guard lock(s->mutex);
        s->writer = nullptr;
        apps.swap(s->apps);
        s->queue.clear();
    }
    for (auto& app : apps) {
        std::lock_guard lock(app->mutex);
        const bool working = app->encoder && app->encoder->runState() != encoder::kStateStopped;
        if (working && app->view) app->view->error("the Server " + s->server + " went away: the encode is stopped");
        app->encoder.reset();  // stops the encode and finishes its file
        if (working && app->view) app->view->state(encoder::kStateStopped);
        app->view.reset();
    }
    // The agent's log tells when a Server's objects are gone (a Server that died included).
    if (!apps.empty()) {
        std::printf("shardex-agent %s: the session of the Server %s ended: %zu application(s) freed\n",
                    settings_.name.c_str(), platform::printable(s->server, platform::kShownName).c_str(),
                    apps.size());
        std::fflush(stdout);
    }
    releaseOutputs(s->id, {});
}

void AgentService::shutdown() {
    std::vector<std::shared_ptr<Session>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, s] : sessions_) all.push_back(s);
    }
    for (auto& s : all) s->interrupt();
}

std::string AgentService::openSession(const std::string& serverName, const remote::Endpoint& share) {
    grpc::Status refusal;
    auto s = beginSession(serverName, share, nullptr, &refusal);
    if (!s) throw Error(refusal.error_message());
    return s->id;
}

void AgentService::runSessionEvents(const std::string& id) {
    auto s = find(id);
    if (!s) return;
    std::deque<std::function<void()>> due;
    {
        std::lock_guard lock(s->mutex);
        due.swap(s->queue);
    }
    for (auto& fn : due) fn();
}

void AgentService::closeSession(const std::string& id) {
    if (auto s = find(id)) endSession(s);
}

grpc::Status AgentService::CreateApp(grpc::ServerContext*, const pb::CreateAppRequest* request,
                                     pb::CreateAppReply*) {
    auto s = find(request->session());
    if (!s) return refused(grpc::StatusCode::NOT_FOUND, "no such session on " + settings_.name);
    if (request->prog_id() != kAppProgId)
        return refused(grpc::StatusCode::INVALID_ARGUMENT, shown(request->prog_id()) + " is not a program " +
                                                               settings_.name + " can create (it offers " +
                                                               kAppProgId + ")");
    if (request->name().empty() || request->name().size() > 255)
        return refused(grpc::StatusCode::INVALID_ARGUMENT, "an application needs a name of 1 to 255 bytes");
    if (s->app(request->name())) return grpc::Status::OK;
    if (auto st = check_create_app(s->allApps().size()); !st.ok()) return st;

    auto app = std::make_shared<App>();
    app->name = request->name();
    std::weak_ptr<Session> weak = s;
    const auto settings = &settings_;
    encoder::LocalEncoderOptions options;
    // The output is created when the encode writes its header, after prepare checked it:
    // a link put in its place meanwhile is refused then too.
    options.refuseLinkedOutput = true;
    // Sources are read through the share of the Server that names them, never from this
    // computer's own files.
    if (settings_.openInput) options.openInput = settings_.openInput;
    else options.openInput = [weak, settings](const std::string& path) -> std::shared_ptr<encoder::ByteSource> {
        const auto where = platform::parse_network_path(path);
        auto session = weak.lock();
        const auto ended = [] { return Error("the session that set this source has ended"); };
        if (!session) throw ended();
        std::shared_ptr<remote::ShareClient> client;
        {
            std::lock_guard lock(session->mutex);
            if (session->ended) throw ended();
            if (auto it = session->shares.find(where.server); it != session->shares.end()) client = it->second;
        }
        if (!client) {
            check_source_server(where, *session, settings->name);
            client = std::make_shared<remote::ShareClient>(remote::make_channel(session->share, settings->credentials),
                                                           where.server, session->share);
            std::lock_guard lock(session->mutex);
            session->shares[where.server] = client;
        }
        return remote::make_cached_share_source(client, where.path);
    };
    app->encoder = encoder::create_local_encoder(options);
    if (settings_.views) app->view = settings_.views(s->server, app->name);

    std::weak_ptr<App> weakApp = app;
    encoder::EventHandlers handlers;
    handlers.onStateChange = [this, weak, weakApp](std::int32_t state) {
        auto session = weak.lock();
        auto a = weakApp.lock();
        if (!session || !a) return;
        if (state == encoder::kStateStopped) outputStopped(session->id, a->name);
        // The figures go first, so the Server's last look at them after "stopped" is final.
        write_figures(*session, *a);
        pb::SessionEvent ev;
        ev.mutable_state()->set_encoder(a->name);
        ev.mutable_state()->set_state(state);
        if (session->writer) session->writer->Write(ev);
        if (a->view) a->view->state(state);
    };
    handlers.onError = [weak, weakApp](std::int32_t code, const std::string& description) {
        auto session = weak.lock();
        auto a = weakApp.lock();
        if (!session || !a) return;
        pb::SessionEvent ev;
        ev.mutable_error()->set_encoder(a->name);
        ev.mutable_error()->set_code(code);
        ev.mutable_error()->set_description(description);
        if (session->writer) session->writer->Write(ev);
        if (a->view) a->view->error(description);
    };
    app->encoder->setEventHandlers([weak](std::function<void()> fn) {
        if (auto session = weak.lock()) session->post(std::move(fn));
    }, std::move(handlers));

    std::lock_guard lock(s->mutex);
    // Made meanwhile by calls at the same time as this one.
    if (auto st = check_create_app(s->apps.size()); !st.ok()) return st;
    s->apps.push_back(std::move(app));
    return grpc::Status::OK;
}

grpc::Status AgentService::ListEncoders(grpc::ServerContext*, const pb::SessionRef* request, pb::EncoderNames* reply) {
    auto s = find(request->session());
    if (!s) return refused(grpc::StatusCode::NOT_FOUND, "no such session on " + settings_.name);
    for (auto& app : s->allApps()) reply->add_names(app->name);
    return grpc::Status::OK;
}

grpc::Status AgentService::GetEncoder(grpc::ServerContext*, const pb::EncoderRef* request, pb::Empty*) {
    auto s = find(request->session());
    if (!s) return refused(grpc::StatusCode::NOT_FOUND, "no such session on " + settings_.name);
    if (!s->app(request->encoder()))
        return refused(grpc::StatusCode::NOT_FOUND, "no encoder named " + shown(request->encoder()));
    return grpc::Status::OK;
}

grpc::Status AgentService::SetAppWindow(grpc::ServerContext*, const pb::AppWindowRequest* request, pb::Empty*) {
    auto s = find(request->session());
    if (!s) return refused(grpc::StatusCode::NOT_FOUND, "no such session on " + settings_.name);
    auto app = s->app(request->app());
    if (!app) return refused(grpc::StatusCode::NOT_FOUND, "no application named " + shown(request->app()));
    std::lock_guard lock(app->mutex);
    if (!app->view) return grpc::Status::OK;
    if (request->has_placement()) app->view->setPlacement(request->placement().first(), request->placement().second());
    else app->view->setVisible(request->visible());
    return grpc::Status::OK;
}

grpc::Status AgentService::Call(grpc::ServerContext*, const pb::EncoderCall* request, pb::CallReply* reply) {
    auto s = find(request->session());
    if (!s) return refused(grpc::StatusCode::NOT_FOUND, "no such session on " + settings_.name);
    auto app = s->app(request->encoder());
    if (!app) return refused(grpc::StatusCode::NOT_FOUND, "no encoder named " + shown(request->encoder()));
    std::lock_guard lock(app->mutex);
    if (!app->encoder) return refused(grpc::StatusCode::NOT_FOUND, "the encoder has been freed");
    auto& enc = *app->encoder;
    try {
        if (auto st = check_call(*request, enc); !st.ok()) return st;
        switch (request->op_case()) {
        case pb::EncoderCall::kReset:
            enc.reset();
            releaseOutputs(s->id, app->name);
            break;
        case pb::EncoderCall::kPrepare: {
            auto groups = enc.sourceGroups();
            if (request->prepare() && groups->count() > 0 && !groups->item(0)->profile())
                throw Error("no profile is set for this job: the profile chosen on the Server is not installed on " +
                                settings_.name,
                            encoder::errors::kBadConfiguration);
            // A link put in the output's place since it was named would make the encoder
            // write outside the Shardex folder (the encoder refuses one again when it
            // creates the file).
            if (request->prepare() && !enc.file()->localFileName().empty()) refuse_link(enc.file()->localFileName());
            if (!request->prepare() || enc.file()->localFileName().empty()) {
                enc.prepare(request->prepare());
                releaseOutputs(s->id, app->name);
                break;
            }
            // Opening the output empties it: not while another Server's job writes it.
            claimOutput(*s, *app, enc.file()->localFileName());
            try {
                enc.prepare(true);
            } catch (...) {
                // A prepare refused while the encoder runs leaves that encode its output.
                if (enc.runState() == encoder::kStateStopped) releaseOutputs(s->id, app->name);
                throw;
            }
            break;
        }
        case pb::EncoderCall::kStart: {
            enc.start();
            if (app->view) {
                auto group = enc.sourceGroups()->item(0);
                auto video = group->source(0);
                const std::int64_t in = video->markIn();
                std::int64_t out = video->markOut();
                std::int64_t duration = 0;
                try {
                    duration = video->duration();
                } catch (const Error&) {
                }
                if (out < 0 || out > duration) out = duration;
                app->view->job(video->input(), enc.file()->localFileName(), std::max<std::int64_t>(0, out - in));
            }
            break;
        }
        case pb::EncoderCall::kStop: enc.stop(); break;
        case pb::EncoderCall::kPause: enc.pause(); break;
        case pb::EncoderCall::kResume: enc.resume(); break;
        case pb::EncoderCall::kRunState: break;

        case pb::EncoderCall::kAddGroup:
            enc.sourceGroups()->add(request->add_group());
            reply->set_number(enc.sourceGroups()->count() - 1);
            break;
        case pb::EncoderCall::kGroupCount: reply->set_number(enc.sourceGroups()->count()); break;
        case pb::EncoderCall::kGroupName: reply->set_text(enc.sourceGroups()->item(request->group_name())->name()); break;
        case pb::EncoderCall::kAddSource: {
            auto group = enc.sourceGroups()->item(request->add_source().group());
            group->addSource(request->add_source().source());
            reply->set_number(group->sourceCount() - 1);
            break;
        }
        case pb::EncoderCall::kSourceCount:
            reply->set_number(enc.sourceGroups()->item(request->source_count())->sourceCount());
            break;
        case pb::EncoderCall::kSourceType: reply->set_number(source_at(enc, request->source_type())->type()); break;
        case pb::EncoderCall::kSetInput: {
            const auto& in = request->set_input();
            // Checked here so that a path this agent may not read fails when it is set.
            check_source_server(platform::parse_network_path(in.path()), *s, settings_.name);
            source_at(enc, in.source())->setInput(in.path(), in.scheme(), in.init_data());
            break;
        }
        case pb::EncoderCall::kGetInput: reply->set_text(source_at(enc, request->get_input())->input()); break;
        case pb::EncoderCall::kSetMarkIn:
            source_at(enc, request->set_mark_in().source())->setMarkIn(request->set_mark_in().value());
            break;
        case pb::EncoderCall::kGetMarkIn: reply->set_number(source_at(enc, request->get_mark_in())->markIn()); break;
        case pb::EncoderCall::kSetMarkOut:
            source_at(enc, request->set_mark_out().source())->setMarkOut(request->set_mark_out().value());
            break;
        case pb::EncoderCall::kGetMarkOut: reply->set_number(source_at(enc, request->get_mark_out())->markOut()); break;
        case pb::EncoderCall::kSetStretch: {
            const auto& st = request->set_stretch();
            source_at(enc, st.source())->setStretch(st.start(), st.end());
            break;
        }
        case pb::EncoderCall::kGetStretchStart:
            reply->set_number(source_at(enc, request->get_stretch_start())->stretchStart());
            break;
        case pb::EncoderCall::kGetStretchEnd:
            reply->set_number(source_at(enc, request->get_stretch_end())->stretchEnd());
            break;
        case pb::EncoderCall::kGetDuration: reply->set_number(source_at(enc, request->get_duration())->duration()); break;
        case pb::EncoderCall::kSetPreProcess:
            source_at(enc, request->set_pre_process().source())->setPreProcessPass(request->set_pre_process().value());
            break;
        case pb::EncoderCall::kGetPreProcess:
            reply->set_number(source_at(enc, request->get_pre_process())->preProcessPass());
            break;
        case pb::EncoderCall::kSetGroupProfile: {
            const auto& p = request->set_group_profile();
            auto group = enc.sourceGroups()->item(p.group());
            if (p.index() < 0) {
                group->setProfile(nullptr);
                break;
            }
            auto col = enc.profileCollection();
            if (p.index() >= col->count() || col->item(p.index())->name() != p.name())
                throw Error("the profile list of " + settings_.name + " changed: " + shown(p.name()) +
                                " is no longer at the place it was read from",
                            encoder::errors::kBadProfile);
            group->setProfile(col->item(p.index()));
            break;
        }
        case pb::EncoderCall::kGetGroupProfile: {
            auto profile = enc.sourceGroups()->item(request->get_group_profile())->profile();
            reply->set_number(profile ? index_of(enc, profile) : -1);
            if (profile) {
                reply->set_text(profile->name());
                reply->set_definition(profile->definition());
            }
            break;
        }
        case pb::EncoderCall::kSetOutput:
            platform::check_plain_name(request->set_output());
            refuse_link(settings_.shardexFolder / request->set_output());
            enc.file()->setLocalFileName((settings_.shardexFolder / request->set_output()).string());
            break;
        case pb::EncoderCall::kGetOutput: reply->set_text(enc.file()->localFileName()); break;
        case pb::EncoderCall::kDiscardOutput: discardOutput(*s, *app, enc); break;
        case pb::EncoderCall::kSetDisplayInfo: {
            auto info = enc.displayInfo();
            const auto& v = request->set_display_info().value();
            switch (request->set_display_info().field()) {
            case pb::DISPLAY_AUTHOR: info->setAuthor(v); break;
            case pb::DISPLAY_COPYRIGHT: info->setCopyright(v); break;
            case pb::DISPLAY_DESCRIPTION: info->setDescription(v); break;
            case pb::DISPLAY_TITLE: info->setTitle(v); break;
            default: throw Error("unknown display information field");
            }
            break;
        }
        case pb::EncoderCall::kGetDisplayInfo: {
            auto info = enc.displayInfo();
            switch (request->get_display_info()) {
            case pb::DISPLAY_AUTHOR: reply->set_text(info->author()); break;
            case pb::DISPLAY_COPYRIGHT: reply->set_text(info->copyright()); break;
            case pb::DISPLAY_DESCRIPTION: reply->set_text(info->description()); break;
            case pb::DISPLAY_TITLE: reply->set_text(info->title()); break;
            default: throw Error("unknown display information field");
            }
            break;
        }
        case pb::EncoderCall::kProfilesRefresh: enc.profileCollection()->refresh(); break;
        case pb::EncoderCall::kProfilesCount: reply->set_number(enc.profileCollection()->count()); break;
        case pb::EncoderCall::kProfileItem: {
            auto p = enc.profileCollection()->item(request->profile_item());
            if (!p) throw Error("no profile at index " + std::to_string(request->profile_item()));
            reply->set_text(p->name());
            reply->set_definition(p->definition());
            break;
        }
        case pb::EncoderCall::OP_NOT_SET:
        default: return refused(grpc::StatusCode::UNIMPLEMENTED, "this agent does not know that call");
        }
        switch (request->op_case()) {
        case pb::EncoderCall::kReset:
        case pb::EncoderCall::kPrepare:
        case pb::EncoderCall::kStart:
        case pb::EncoderCall::kStop:
        case pb::EncoderCall::kPause:
        case pb::EncoderCall::kResume:
        case pb::EncoderCall::kRunState: reply->set_number(enc.runState()); break;
        default: break;
        }
    } catch (const Error& e) {
        return refused(grpc::StatusCode::FAILED_PRECONDITION, e.what());
    } catch (const std::exception& e) {
        return refused(grpc::StatusCode::INTERNAL, std::string("the encoder failed: ") + e.what());
    }
    return grpc::Status::OK;
}

}  // namespace shardex::agent

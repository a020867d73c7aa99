// A Server's session with one agent: the channel, the event stream that carries the agent's
// greeting, its encoders' state changes and errors and, a few times a second, their figures,
// and the unary calls made in the session, each under a deadline.
//
// Threads: one reader (reads the stream, hands each encoder's events to its executor) and one
// watchdog (a stream silent for longer than kSilenceLimit means a lost agent: the stream is
// cancelled, and every encoder still at work reports an error naming the computer and then
// the stopped state). Both are owned by the session and joined when it goes, which also
// closes the stream and so frees the session's objects on the agent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <grpcpp/grpcpp.h>

#include "platform/encoder/encoder.h"
#include "platform/encoder/errors.h"
#include "platform/error.h"
#include "platform/remote/channel.h"
#include "platform/remote/remote_encoder.h"
#include "shardex.grpc.pb.h"

namespace shardex::remote {

// What one encoder of the session shares with the session's reader: the figures and state
// last pushed, and where its events go.
struct Link {
    std::atomic<std::int64_t> size{0};
    std::atomic<std::int64_t> duration{0};
    std::atomic<std::int32_t> bitrate{0};
    std::atomic<std::int32_t> state{encoder::kStateStopped};
    std::mutex mutex;  // guards executor and handlers
    encoder::Executor executor;
    encoder::EventHandlers handlers;

    void postState(std::int32_t s) {
        std::unique_lock lock(mutex);
        if (!executor || !handlers.onStateChange) return;
        auto exec = executor;
        auto fn = handlers.onStateChange;
        lock.unlock();
        exec([fn, s] { fn(s); });
    }
    void postError(std::int32_t code, std::string text) {
        std::unique_lock lock(mutex);
        if (!executor || !handlers.onError) return;
        auto exec = executor;
        auto fn = handlers.onError;
        lock.unlock();
        exec([fn, code, text = std::move(text)] { fn(code, text); });
    }
};

class Session {
public:
    Session(AgentAddress address, std::shared_ptr<grpc::Channel> channel, ServerIdentity server,
            CallDeadlines deadlines = {})
        : address_(std::move(address)), channel_(std::move(channel)), stub_(proto::Agent::NewStub(channel_)),
          server_(std::move(server)), deadlines_(deadlines) {}

    ~Session();

    // Opens the event stream and waits for the agent's greeting.
    void open();

    const std::string& computer() const { return address_.computer; }
    const CallDeadlines& deadlines() const { return deadlines_; }
    const std::string& id() const { return id_; }

    // The link of the encoder `name`, made when the Server makes an object for it.
    std::shared_ptr<Link> link(const std::string& name) {
        std::lock_guard lock(mutex_);
        auto& l = links_[name];
        if (!l) l = std::make_shared<Link>();
        return l;
    }
    // The link of an encoder the Server made; none for any other name an event carries, so
    // that a peer cannot grow this side's memory with names of its own.
    std::shared_ptr<Link> known(const std::string& name) {
        std::lock_guard lock(mutex_);
        auto it = links_.find(name);
        return it == links_.end() ? nullptr : it->second;
    }
    std::size_t linkCount() {
        std::lock_guard lock(mutex_);
        return links_.size();
    }

    template <class Request, class Reply>
    Reply unary(const std::string& what,
                grpc::Status (proto::Agent::Stub::*method)(grpc::ClientContext*, const Request&, Reply*),
                Request request, std::chrono::milliseconds deadline) {
        checkAlive();
        grpc::ClientContext context;
        set_deadline(context, deadline);
        Reply reply;
        const grpc::Status status = ((*stub_).*method)(&context, request, &reply);
        if (!status.ok()) throw Error(describe_failure(address_.computer, address_.endpoint, what, status));
        return reply;
    }

    proto::CallReply call(const std::string& encoder, const std::string& what, proto::EncoderCall request,
                       std::chrono::milliseconds deadline) {
        request.set_session(id_);
        request.set_encoder(encoder);
        return unary(what, &proto::Agent::Stub::Call, std::move(request), deadline);
    }

private:
    void checkAlive() {
        std::lock_guard lock(mutex_);
        if (!lostText_.empty()) throw Error(lostText_, encoder::errors::kConnectionLost);
    }

    void read();

    void watch();

    AgentAddress address_;
    std::shared_ptr<grpc::Channel> channel_;
    std::unique_ptr<proto::Agent::Stub> stub_;
    ServerIdentity server_;
    CallDeadlines deadlines_;
    grpc::ClientContext context_;
    std::unique_ptr<grpc::ClientReader<proto::SessionEvent>> stream_;
    std::promise<std::string> opened_;  // "" once greeted, else why the session failed
    std::string id_;                    // written by the reader before opened_ is set
    std::atomic<std::chrono::steady_clock::rep> lastMessage_{std::chrono::steady_clock::now().time_since_epoch().count()};

    std::mutex mutex_;
    std::condition_variable cv_;
    bool closing_ = false;
    bool silent_ = false;
    std::string lostText_;
    std::map<std::string, std::shared_ptr<Link>> links_;

    std::thread reader_;
    std::thread watchdog_;
};

}  // namespace shardex::remote

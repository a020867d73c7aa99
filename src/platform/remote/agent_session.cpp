#include "platform/remote/agent_session.h"

#include <vector>

namespace shardex::remote {

namespace pb = proto;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Session::~Session() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    cv_.notify_all();
    context_.TryCancel();
    if (reader_.joinable()) reader_.join();
    if (watchdog_.joinable()) watchdog_.join();
}

void Session::open() {
    pb::OpenRequest request;
    request.set_server_name(server_.name);
    request.set_share_port(server_.sharePort);
    request.set_protocol(kProtocolVersion);
    stream_ = stub_->Open(&context_, request);
    reader_ = std::thread([this] { read(); });
    auto greeting = opened_.get_future();
    if (greeting.wait_for(deadlines_.call) != std::future_status::ready) {
        context_.TryCancel();
        throw Error(address_.computer + " (" + address_.endpoint.text() +
                    ") did not answer in time: no greeting from its agent");
    }
    const std::string failure = greeting.get();
    if (!failure.empty()) throw Error(failure);
    watchdog_ = std::thread([this] { watch(); });
}

void Session::read() {
    pb::SessionEvent event;
    bool greeted = false;
    std::string mismatch;  // why the greeting was refused
    while (stream_->Read(&event)) {
        lastMessage_.store(Clock::now().time_since_epoch().count());
        if (event.has_opened()) {
            if (greeted) continue;
            greeted = true;
            const std::uint32_t theirs = event.opened().protocol();
            if (theirs != kProtocolVersion) {
                mismatch = address_.computer + " (" + address_.endpoint.text() +
                           ") runs another version of Shardex: its agent speaks the protocol " +
                           std::to_string(theirs) + ", this Server " + std::to_string(kProtocolVersion) +
                           ". Install the same version on every computer of the network";
                context_.TryCancel();
                break;
            }
            id_ = event.opened().session();
            opened_.set_value({});
            continue;
        }
        if (event.has_figures()) {
            const auto& f = event.figures();
            auto l = known(f.encoder());  // none for a heartbeat of a session without encoders
            if (!l) continue;
            l->size = f.size_raw();
            l->duration = f.duration_raw();
            l->bitrate = f.bitrate();
            l->state = f.run_state();
        } else if (event.has_state()) {
            if (auto l = known(event.state().encoder())) {
                l->state = event.state().state();
                l->postState(event.state().state());
            }
        } else if (event.has_error()) {
            const auto& e = event.error();
            if (auto l = known(e.encoder())) l->postError(e.code(), address_.computer + ": " + e.description());
        }
    }
    const grpc::Status status = stream_->Finish();
    std::string lost;
    bool closing = false;
    {
        std::lock_guard lock(mutex_);
        closing = closing_;
        if (closing_) lost = "the connection to " + address_.computer + " was closed";
        else if (silent_)
            lost = "lost the connection to " + address_.computer + " (" + address_.endpoint.text() +
                   "): it stopped answering";
        else if (greeted)
            lost = "lost the connection to " + address_.computer + " (" + address_.endpoint.text() +
                   "): " + (status.ok() ? std::string("its agent ended the session") : status.error_message());
        else
            lost = describe_failure(address_.computer, address_.endpoint, "open a session", status);
        lostText_ = lost;
    }
    cv_.notify_all();
    if (!greeted || !mismatch.empty()) {
        opened_.set_value(mismatch.empty() ? lost : mismatch);
        return;
    }
    if (closing) return;
    // Encoders that were still at work end here: an error naming the computer, then the
    // stopped state, as an encode that failed on this computer would.
    std::vector<std::shared_ptr<Link>> links;
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, l] : links_) links.push_back(l);
    }
    for (auto& l : links) {
        if (l->state.exchange(encoder::kStateStopped) == encoder::kStateStopped) continue;
        l->postError(encoder::errors::kConnectionLost, lost);
        l->postState(encoder::kStateStopped);
    }
}

void Session::watch() {
    std::unique_lock lock(mutex_);
    while (!closing_ && lostText_.empty()) {
        cv_.wait_for(lock, milliseconds(100));
        const auto last = Clock::time_point(Clock::duration(lastMessage_.load()));
        if (!closing_ && lostText_.empty() && Clock::now() - last > kSilenceLimit) {
            silent_ = true;
            context_.TryCancel();
            return;
        }
    }
}

}  // namespace shardex::remote

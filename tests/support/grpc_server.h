// A gRPC server a test runs in its own process: on 127.0.0.1 at a port the system picks,
// serving `service` with the credentials given (the network's server options when asked, as
// the program's own servers use), shut down when it goes or when stop() is called.
#pragma once

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/remote/channel.h"
#include "platform/remote/peers.h"

namespace shardex::testing {

using namespace std::chrono_literals;

class LocalServer {
public:
    LocalServer(grpc::Service& service, std::shared_ptr<grpc::ServerCredentials> credentials, bool networkOptions = true) {
        grpc::ServerBuilder builder;
        if (networkOptions) remote::apply_server_options(builder);
        builder.AddListeningPort("127.0.0.1:0", std::move(credentials), &port);
        server_ = builder.RegisterService(&service).BuildAndStart();
    }
    ~LocalServer() { stop(); }
    void stop() {
        if (server_) server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
        server_.reset();
    }
    remote::Endpoint endpoint() const { return {"127.0.0.1", static_cast<std::uint16_t>(port)}; }
    std::shared_ptr<grpc::Channel> plain_channel() const {
        return grpc::CreateChannel(endpoint().text(), grpc::InsecureChannelCredentials());
    }

    int port = 0;

private:
    std::unique_ptr<grpc::Server> server_;
};

}  // namespace shardex::testing

// The network's certificates: one authority per Shardex network, and one certificate and
// key that every computer of the network presents. `shardex-agent --init` makes them once;
// the user copies the folder to each computer. Mutual TLS under this authority is the only
// way in: a peer without a certificate of the network is refused at the handshake.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace grpc {
class ChannelCredentials;
class ServerCredentials;
}  // namespace grpc

namespace shardex::remote {

// Computer names vary, so certificates are checked against this fixed name instead.
inline constexpr const char* kTargetName = "shardex-network";

struct NetworkCredentials {
    std::string caPem;    // the network's authority
    std::string certPem;  // the computers' certificate, signed by the authority
    std::string keyPem;   // its private key
};

// <config>/shardex/network ($XDG_CONFIG_HOME or ~/.config).
std::filesystem::path default_network_folder();

// A new network in memory: a fresh authority (EC P-256) and a certificate for kTargetName
// signed by it. The authority's key is not kept: nothing else is ever signed with it.
NetworkCredentials make_network();

// Writes a new network into `folder` (created with mode 0700; files ca.pem, computer.pem,
// computer.key with mode 0600). Throws shardex::Error when the folder holds a network
// already (unless overwrite) or cannot be written.
void init_network(const std::filesystem::path& folder, bool overwrite = false);

// Reads the three files and checks them (the key is its owner's alone and matches the
// certificate, the folder cannot be changed by others, the authority signed the
// certificate). Throws shardex::Error whose text says what is wrong and how to mend it, e.g.
// "no network certificate in '<folder>': run 'shardex-agent --init' on one computer and
// copy the folder it writes to this computer", or the chmod command that makes a key private.
NetworkCredentials load_network(const std::filesystem::path& folder);

// Credentials for mutual TLS: the client verifies the server against the authority under
// kTargetName and presents the computers' certificate; the server requires and verifies a
// client certificate of the authority.
std::shared_ptr<grpc::ChannelCredentials> client_credentials(const NetworkCredentials& creds);
std::shared_ptr<grpc::ServerCredentials> server_credentials(const NetworkCredentials& creds);

}  // namespace shardex::remote

// The peers file and the endpoints in it: every line is either a computer with a host and a
// port that prints back as itself, or a refusal naming the file, the line and the entry.
#include <filesystem>
#include <fstream>

#include "fuzz_target.h"
#include "platform/error.h"
#include "platform/remote/peers.h"

namespace {

using namespace shardex;
using shardex::fuzz::expect;
using shardex::fuzz::expect_refusal;

// A host a channel can be given: something, without the characters that would change what the
// "host:port" text means; and that text reads back as the same endpoint.
void check_endpoint(const remote::Endpoint& e, bool listen, const std::string& input) {
    expect(!e.host.empty() && (listen || e.port != 0), "an endpoint has a host and a port", input);
    for (const char c : e.host)
        expect(static_cast<unsigned char>(c) > 0x20 && c != 0x7f && c != '[' && c != ']' && c != '/' && c != '\\',
               "a host holds no space, control character, bracket or slash", input);
    if (e.port == 0) return;
    const remote::Endpoint again = remote::parse_endpoint(e.text(), 1);
    expect(again.host == e.host && again.port == e.port, "an endpoint prints back as itself", input);
}

void one_input(const std::string& s) {
    using shardex::fuzz::either;
    const char* what = "a peers refusal is short";
    either(what, [&] { return remote::parse_endpoint(s, remote::kAgentPort); }, [&](const auto& e) { check_endpoint(e, false, s); });
    either(what, [&] { return remote::parse_listen_address(s, remote::kSharePort); }, [&](const auto& e) { check_endpoint(e, true, s); });
    either(what, [&] { return remote::parse_peer(s); }, [&](const auto& peer) {
        expect(!peer.first.empty(), "a peer entry names a computer", s);
        check_endpoint(peer.second, false, s);
    });
    // The whole input as a peers file, after a command-line entry.
    static const std::filesystem::path file = std::filesystem::path(shardex::fuzz::scratch_folder()) / "peers";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << s;
    remote::Resolver resolver;
    resolver.add("KEEP", {"127.0.0.1", 1});
    try {
        resolver.load_file(file);
    } catch (const Error& e) {
        expect_refusal(e.what(), "a peers file refusal is short");
        expect(std::string(e.what()).rfind(file.string() + ", line ", 0) == 0, "a bad line is named by file and line",
               e.what());
        return;
    }
    expect(resolver.entries().at("KEEP").port == 1, "the command line's entry wins over the file's");
    for (const auto& [name, ep] : resolver.entries()) {
        expect(!name.empty(), "every peer has a name");
        check_endpoint(ep, false, s);
        expect(resolver.resolve(name, 5).host == ep.host, "a peer resolves to its entry", name);
    }
}

// Inputs too large for a seed file; the others are in fuzz/corpus/peers.
std::vector<std::string> table() {
    const std::string mb(1 << 20, 'h');
    return {"A=" + mb + ":1", mb + "=h:1", "A=h:1\n" + mb, std::string(10000, '\n') + "x"};
}

SHARDEX_FUZZ_TARGET("peers", one_input, table);

}  // namespace

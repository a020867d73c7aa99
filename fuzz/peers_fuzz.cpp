// The peers file and the endpoints in it: every line is either a computer with a host and a
// port that prints back as itself, or a refusal naming the file, the line and the entry.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_target.h"
#include "platform/error.h"
#include "platform/remote/peers.h"

namespace {

namespace fs = std::filesystem;
using namespace shardex;
using shardex::fuzz::expect;
using shardex::fuzz::kMaxRefusalText;

// The peers file each input is written to, in a temporary folder removed at exit.
struct PeersFolder {
    fs::path folder;
    PeersFolder() {
        std::string pattern = (fs::temp_directory_path() / "shardex-fuzz-peers-XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
    }
    ~PeersFolder() {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
};

const fs::path& peers_file() {
    static const PeersFolder folder;
    static const fs::path file = folder.folder / "peers";
    return file;
}

void check_refusal(const Error& e) {
    const std::string text = e.what();
    expect(text.size() <= kMaxRefusalText, "a peers refusal is short", text.substr(0, 200));
}

// A host a channel can be given: something, without the characters that would change what
// the "host:port" text means.
void check_endpoint(const remote::Endpoint& e, bool listen, const std::string& input) {
    expect(!e.host.empty(), "an endpoint has a host", input);
    expect(listen || e.port != 0, "an endpoint has a port", input);
    for (const char c : e.host)
        expect(static_cast<unsigned char>(c) > 0x20 && c != 0x7f && c != '[' && c != ']' && c != '/' && c != '\\',
               "a host holds no space, control character, bracket or slash", input);
    // The text a channel is made from reads back as the same endpoint.
    if (e.port != 0) {
        const remote::Endpoint again = remote::parse_endpoint(e.text(), 1);
        expect(again.host == e.host && again.port == e.port, "an endpoint prints back as itself", input);
    }
}

void endpoint(const std::string& s) {
    try {
        check_endpoint(remote::parse_endpoint(s, remote::kAgentPort), false, s);
    } catch (const Error& e) {
        check_refusal(e);
    }
    try {
        check_endpoint(remote::parse_listen_address(s, remote::kSharePort), true, s);
    } catch (const Error& e) {
        check_refusal(e);
    }
    try {
        auto [name, ep] = remote::parse_peer(s);
        expect(!name.empty(), "a peer entry names a computer", s);
        check_endpoint(ep, false, s);
    } catch (const Error& e) {
        check_refusal(e);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string s(reinterpret_cast<const char*>(data), size);
    endpoint(s);
    // The whole input as a peers file.
    std::ofstream(peers_file(), std::ios::binary | std::ios::trunc) << s;
    remote::Resolver resolver;
    resolver.add("KEEP", {"127.0.0.1", 1});
    try {
        resolver.load_file(peers_file());
    } catch (const Error& e) {
        check_refusal(e);
        expect(std::string(e.what()).rfind(peers_file().string() + ", line ", 0) == 0,
               "a bad peers line is named by file and line", e.what());
        return 0;
    }
    expect(resolver.entries().at("KEEP").port == 1, "the command line's entry wins over the file's");
    for (const auto& [name, ep] : resolver.entries()) {
        expect(!name.empty(), "every peer has a name");
        check_endpoint(ep, false, s);
        expect(resolver.resolve(name, 5).host == ep.host, "a peer resolves to its entry", name);
    }
    return 0;
}

std::vector<std::string> shardex::fuzz::nasty_inputs() {
    const std::string mb(1 << 20, 'h');
    return {
        "",
        "=",
        "A=",
        "=host",
        "A=:1",
        "A=host:",
        "A=host:0",
        "A=host:65536",
        "A=host:99999999999999999999",
        "A=host:-1",
        "A=host:+1",
        "A=[::1]",
        "A=[::1]:47810",
        "A=[::1]x",
        "A=[::1",
        "A=[]:1",
        "A=[[x]:1",
        "A=[x]]:1",
        "A=x]:1",
        "A=[a]:",
        "A=::1",
        "A=h h:1",
        std::string("A=h\0st:1", 8),
        "A=h\x01:1",
        "A=h\x7f:1",
        "A=h\tx:1",
        "# only a comment\n\n   \r\n",
        "A=h:1\nA=g:2\nKEEP=x:3\n",
        "A=h:1\r\nB=g:2\r\n",
        "A=h:1\nbad line\n",
        "A=" + mb + ":1",
        mb + "=h:1",
        "A=h:1\n" + mb,
        std::string(10000, '\n') + "x",
        "[:0",
        "h:0",
        ":0",
    };
}

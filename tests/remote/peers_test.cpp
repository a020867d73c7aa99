// Computer names to endpoints: what an entry means, and which entry wins. (That any text is
// either an endpoint that prints back as itself or a short refusal is the fuzz target "peers"'s
// promise.)
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/remote/peers.h"
#include "support/media.h"

namespace shardex::remote {
namespace {

TEST(Peers, EntriesParseAndPrintBackOrAreRefusedNamingThemselves) {
    const struct {
        const char* text;
        const char* printed;  // nullptr: refused, the refusal quoting the text
    } cases[] = {
        {"127.0.0.1:5000", "127.0.0.1:5000"}, {"node1", "node1:47810"}, {"node1.lan:1", "node1.lan:1"},
        {"[::1]:65535", "[::1]:65535"}, {"[fe80::1]", "[fe80::1]:47810"},
        {"", nullptr}, {":5000", nullptr}, {"host:", nullptr}, {"host:0", nullptr}, {"host:65536", nullptr},
        {"host:-1", nullptr}, {"host:5x", nullptr}, {"host: 80", nullptr}, {"::1", nullptr}, {"[::1", nullptr},
        {"[::1]5000", nullptr}, {"[]:5000", nullptr}, {"a b:1", nullptr}, {"host:5000:1", nullptr}, {"a[b:1", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            EXPECT_EQ(parse_endpoint(c.text, kAgentPort).text(), c.printed ? c.printed : "(refused)");
        } catch (const Error& e) {
            EXPECT_EQ(c.printed, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(std::string("'") + c.text + "'"), std::string::npos) << e.what();
        }
    }
    const auto [name, at] = parse_peer(" NODE1 = 10.0.0.5:6000 ");
    EXPECT_EQ(name + "=" + at.text(), "NODE1=10.0.0.5:6000");
    for (const char* refused : {"NODE1", "=10.0.0.5:6000", "NODE1=", "NODE1=10.0.0.5:0"}) EXPECT_THROW(parse_peer(refused), Error);
    // A hostile entry is refused in one short line.
    for (const std::string& hostile : {std::string("A=h\nx:1"), std::string("A=h\0st:1", 8), "A=" + std::string(1 << 20, 'h') + ":0"}) {
        try {
            parse_peer(hostile);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_LT(std::string(e.what()).size(), 300u);
            EXPECT_EQ(std::string(e.what()).find_first_of(std::string("\n\0", 2)), std::string::npos) << e.what();
        }
    }
}

// The command line's entries come before the file's, a file's later line before its earlier
// one; an announcement by DNS-SD (any member of the network may make one) serves a name no
// entry gives, never one an entry gives; any other name is a host at the service's port.
TEST(Peers, TheCommandLineThenTheFileThenDNSSDThenTheHostName) {
    shardex::testing::TempDir dir;
    shardex::testing::write_file(dir / "peers", "# the lab\n\n  NODE1=10.0.0.1:5001\n\t# old one\nNODE2=10.0.0.2\n"
                                                "NODE1=10.0.0.1:5002\n");
    Resolver r;
    r.add("NODE2=127.0.0.1:7000");
    r.load_file(dir / "peers");
    r.load_file(dir / "no-such-file");  // no error
    r.add_discovered("NODE2", {"192.168.7.2", 47810});
    r.add_discovered("NODE3", {"192.168.7.3", 47810});
    EXPECT_EQ(r.entries().size(), 2u);
    for (const auto& [name, at] : {std::pair{"NODE1", "10.0.0.1:5002"}, {"NODE2", "127.0.0.1:7000"},
                                   {"NODE3", "192.168.7.3:47810"}, {"node1", "node1:47811"}})
        EXPECT_EQ(r.resolve(name, kSharePort).text(), at) << name;
    shardex::testing::write_file(dir / "bad", "NODE1=10.0.0.1\n# fine\nNODE2=10.0.0.2:http\n");
    try {
        Resolver().load_file(dir / "bad");
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find((dir / "bad").string() + ", line 3: '10.0.0.2:http' is not HOST:PORT"),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
}  // namespace shardex::remote

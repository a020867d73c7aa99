// Computer names to endpoints: the entry syntax, the peers file, and which entry wins.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/remote/peers.h"

namespace shardex::remote {
namespace {

namespace fs = std::filesystem;

TEST(Peers, EndpointsParseAndPrintBack) {
    struct Case {
        const char* text;
        const char* host;
        std::uint16_t port;
        const char* printed;
    } cases[] = {
        {"127.0.0.1:5000", "127.0.0.1", 5000, "127.0.0.1:5000"},
        {"node1", "node1", kAgentPort, "node1:47810"},
        {"node1.lan:1", "node1.lan", 1, "node1.lan:1"},
        {"[::1]:65535", "::1", 65535, "[::1]:65535"},
        {"[fe80::1]", "fe80::1", kAgentPort, "[fe80::1]:47810"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Endpoint e = parse_endpoint(c.text, kAgentPort);
        EXPECT_EQ(e.host, c.host);
        EXPECT_EQ(e.port, c.port);
        EXPECT_EQ(e.text(), c.printed);
    }
}

TEST(Peers, MalformedEndpointsAreRefusedNamingTheEntry) {
    const char* refused[] = {"",        ":5000",   "host:",    "host:0",     "host:65536", "host:99999999",
                             "host:-1", "host:5x", "host: 80", "::1",        "[::1",       "[::1]5000",
                             "[]:5000", "a b:1",   "[::1]:",   "host:5000:1", "x]:1",     "[[x]:1",
                             "a[b:1"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        try {
            parse_endpoint(text, kAgentPort);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("'") + text + "'"), std::string::npos) << e.what();
        }
    }
}

TEST(Peers, HostileEntriesAreRefusedInOneShortLine) {
    const std::string mb(1 << 20, 'h');
    const std::vector<std::string> entries = {"A=" + mb + ":0", mb,         "=" + mb, std::string("A=h\0st:1", 8),
                                              "A=h\nx:1",      "A=h\x7f:1"};
    for (const std::string& entry : entries) {
        SCOPED_TRACE(entry.substr(0, 20));
        try {
            parse_peer(entry);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            const std::string text = e.what();
            EXPECT_LT(text.size(), 300u);
            EXPECT_EQ(text.find_first_of(std::string("\n\0", 2)), std::string::npos) << text;
            EXPECT_NE(text.find("' is not "), std::string::npos) << text;
        }
    }
}

TEST(Peers, PeerEntries) {
    const auto [name, e] = parse_peer(" NODE1 = 10.0.0.5:6000 ");
    EXPECT_EQ(name, "NODE1");
    EXPECT_EQ(e.text(), "10.0.0.5:6000");
    EXPECT_EQ(parse_peer("NODE2=10.0.0.6").second.port, kAgentPort);

    for (const char* refused : {"NODE1", "=10.0.0.5:6000", "NODE1=", "NODE1=10.0.0.5:0"}) {
        EXPECT_THROW(parse_peer(refused), Error) << refused;
    }
}

class PeersFile : public ::testing::Test {
protected:
    void SetUp() override {
        file = fs::temp_directory_path() / ("shardex-peers-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { fs::remove(file); }
    void write(const std::string& text) { std::ofstream(file) << text; }
    fs::path file;
};

TEST_F(PeersFile, CommentsAndBlankLinesAreSkippedAndTheCommandLineWins) {
    write("# the lab\n\n  NODE1=10.0.0.1:5001\n\t# old one\nNODE2=10.0.0.2\nNODE1=10.0.0.1:5002\n");
    Resolver r;
    r.add("NODE2=127.0.0.1:7000");  // from the command line, read before the file
    r.load_file(file);

    EXPECT_EQ(r.entries().size(), 2u);
    EXPECT_EQ(r.resolve("NODE1", kAgentPort).text(), "10.0.0.1:5002");  // the file's later line
    EXPECT_EQ(r.resolve("NODE2", kAgentPort).text(), "127.0.0.1:7000");
    // Anything else is a host name, at the port of the service asked for.
    EXPECT_EQ(r.resolve("node1", kSharePort).text(), "node1:47811");
    // What DNS-SD found serves names no entry gives: an announcement of a listed name (any
    // member of the network may make one) never takes that computer's place.
    r.add_discovered("NODE2", {"192.168.7.2", 47810});
    r.add_discovered("NODE3", {"192.168.7.3", 47810});
    EXPECT_EQ(r.resolve("NODE2", kAgentPort).text(), "127.0.0.1:7000");
    EXPECT_EQ(r.resolve("NODE3", kAgentPort).text(), "192.168.7.3:47810");
    EXPECT_EQ(r.resolve("NODE1", kAgentPort).text(), "10.0.0.1:5002");
}

TEST_F(PeersFile, ABadLineIsNamedByFileAndLine) {
    write("NODE1=10.0.0.1\n# fine\nNODE2=10.0.0.2:http\n");
    Resolver r;
    try {
        r.load_file(file);
        FAIL() << "accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(file.string() + ", line 3: '10.0.0.2:http' is not HOST:PORT"), std::string::npos)
            << e.what();
    }
}

TEST_F(PeersFile, AMissingFileIsNoError) {
    Resolver r;
    EXPECT_NO_THROW(r.load_file(file));
    EXPECT_TRUE(r.entries().empty());
}

}  // namespace
}  // namespace shardex::remote

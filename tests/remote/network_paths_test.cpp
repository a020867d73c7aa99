// Paths between their network and local forms: what crosses, and what is refused.
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/paths.h"
#include "platform/shown_text.h"

namespace shardex::platform {
namespace {

// Text from another computer as messages, windows and logs quote it: nothing in it can start a
// line, move a terminal's cursor or reorder what follows, and a cut never splits a character.
TEST(ShownText, LeavesNothingThatRewritesALine) {
    struct Case {
        std::string text;
        std::size_t limit;
        const char* printable;
        const char* readable;
    } cases[] = {
        {"clip \xc3\xa9t\xc3\xa9.avi", 80, "clip \xc3\xa9t\xc3\xa9.avi", "clip \xc3\xa9t\xc3\xa9.avi"},
        {"a\nb\tc\rd", 80, "a?b?c?d", "a\nb\tc?d"},
        {"\x1b[2J\x7f", 80, "?[2J?", "?[2J?"},
        {"\xc2\x9b" "31m", 80, "?31m", "?31m"},              // C1 control (CSI)
        {"abc\xe2\x80\xae" "exe.avi", 80, "abc?exe.avi", "abc?exe.avi"},  // right-to-left override
        {"\xff\xc3x\xed\xa0\x80", 80, "??x???", "??x???"},   // not UTF-8, a surrogate
        {"\xc3\xa9\xc3\xa9\xc3\xa9", 3, "\xc3\xa9...", "\xc3\xa9..."},
        {std::string(1 << 20, 'a'), 5, "aaaaa...", "aaaaa..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printable);
        EXPECT_EQ(printable(c.text, c.limit), c.printable);
        EXPECT_EQ(readable(c.text, c.limit), c.readable);
    }
    EXPECT_EQ(shown(std::string("x.wmv\0", 6)), "'x.wmv?'");
}

TEST(NetworkPaths, SourcePathsLoseTheirDriveAndKeepTheirFolders) {
    struct Case {
        const char* local;
        const char* network;
    } cases[] = {
        {"D:\\Video\\clip.avi", "//SRV/Video/clip.avi"},
        {"c:\\clip.avi", "//SRV/clip.avi"},
        {"C:\\Shardex\\clip.avi", "//SRV/Shardex/clip.avi"},
        {"/home/ann/clip.avi", "//SRV/home/ann/clip.avi"},
        {"/home/ann/my clip:1.avi", "//SRV/home/ann/my clip:1.avi"},  // ':' past the drive is a name's
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.local);
        EXPECT_EQ(network_source_path("SRV", c.local), c.network);
        // What the Server's share serves is what the client asks for.
        const NetworkPath parsed = parse_network_path(c.network);
        EXPECT_EQ(parsed.server, "SRV");
        EXPECT_EQ(parsed.path, share_path_of(c.local));
    }
}

TEST(NetworkPaths, SourcePathsThatNameNoFileOnAComputerAreRefused) {
    EXPECT_THROW(network_source_path("SRV", "clip.avi"), Error);    // relative
    EXPECT_THROW(network_source_path("SRV", "D:clip.avi"), Error);  // relative to a drive
    EXPECT_THROW(network_source_path("", "/a/clip.avi"), Error);
    EXPECT_THROW(network_source_path("S/RV", "/a/clip.avi"), Error);
}

TEST(NetworkPaths, ParseTakesEitherSlashAndRefusesWhatNamesNoComputerOrNoFile) {
    const NetworkPath p = parse_network_path("\\\\SRV\\Video\\clip.avi");
    EXPECT_EQ(p.server, "SRV");
    EXPECT_EQ(p.path, "/Video/clip.avi");

    const std::string refused[] = {
        "", "/local/path", "//", "///x", "//SRV", "//SRV/", "SRV/x", std::string("//SRV/a\0b", 9),
    };
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        EXPECT_THROW(parse_network_path(path), Error);
    }
}

TEST(NetworkPaths, PlainNamesAreOnlyPlainNames) {
    const std::string accepted[] = {"clip.wmv", "a b.wmv", "..x", std::string(255, 'n')};
    for (const std::string& n : accepted) EXPECT_NO_THROW(check_plain_name(n)) << n;

    const std::string refused[] = {
        "", ".", "..", "a/b", "a\\b", "C:x", std::string("a\0b", 3), std::string(256, 'n'),
    };
    for (const std::string& n : refused) {
        SCOPED_TRACE(n);
        EXPECT_THROW(check_plain_name(n), Error);
    }
    // The refusal names what was refused.
    try {
        check_plain_name("../etc/passwd");
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("'../etc/passwd' is not a plain file name", 0), 0u) << e.what();
    }
}

TEST(NetworkPaths, OutputNamesComeFromTheShardexFolderOnly) {
    const std::string local = shardex_folder_prefix();
    struct Case {
        std::string path;
        const char* name;  // nullptr: refused
    } cases[] = {
        {"out.wmv", "out.wmv"},
        {local + "out.wmv", "out.wmv"},
        {"C:\\Shardex\\out.wmv", "out.wmv"},
        {"c:/shardex/out.wmv", "out.wmv"},
        {local + "sub/out.wmv", nullptr},
        {local + "../out.wmv", nullptr},
        {local + "..", nullptr},
        {local, nullptr},
        {"C:\\Other\\out.wmv", nullptr},
        {"/tmp/out.wmv", nullptr},
        {"..", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.name)
            EXPECT_EQ(output_name_of(c.path), c.name);
        else
            EXPECT_THROW(output_name_of(c.path), Error);
    }
}

}  // namespace
}  // namespace shardex::platform

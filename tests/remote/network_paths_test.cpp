// Paths between their network and local forms, and text from another computer as the program
// shows it. (What any input may turn into is the fuzz target "paths"'s promise.)
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/paths.h"
#include "platform/shown_text.h"

namespace shardex::platform {
namespace {

// Nothing in a text from another computer can start a line, move a terminal's cursor or reorder
// what follows, and a cut never splits a character.
TEST(ShownText, LeavesNothingThatRewritesALine) {
    const struct {
        std::string text;
        std::size_t limit;
        const char *printable, *readable;
    } cases[] = {
        {"clip \xc3\xa9t\xc3\xa9.avi", 80, "clip \xc3\xa9t\xc3\xa9.avi", "clip \xc3\xa9t\xc3\xa9.avi"},
        {"a\nb\tc\rd", 80, "a?b?c?d", "a\nb\tc?d"},
        {"\x1b[2J\x7f", 80, "?[2J?", "?[2J?"},
        {"\xc2\x9b" "31m", 80, "?31m", "?31m"},                          // C1 control (CSI)
        {"abc\xe2\x80\xae" "exe.avi", 80, "abc?exe.avi", "abc?exe.avi"},  // right-to-left override
        {"\xff\xc3x\xed\xa0\x80", 80, "??x???", "??x???"},               // not UTF-8, a surrogate
        {"\xc3\xa9\xc3\xa9\xc3\xa9", 3, "\xc3\xa9...", "\xc3\xa9..."},
        {std::string(1 << 20, 'a'), 5, "aaaaa...", "aaaaa..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.printable);
        EXPECT_EQ(printable(c.text, c.limit), c.printable);
        EXPECT_EQ(readable(c.text, c.limit), c.readable);
    }
    EXPECT_EQ(shown(std::string("x.wmv\0", 6)), "'x.wmv?'");
}

// A source loses its drive and keeps its folders; what the Server's share serves is what the
// client asks for; a path that names no file on a computer is refused.
TEST(NetworkPaths, SourcePathsLoseTheirDriveAndKeepTheirFolders) {
    const struct {
        const char *server, *local, *network;  // nullptr: refused
    } cases[] = {
        {"SRV", "D:\\Video\\clip.avi", "//SRV/Video/clip.avi"}, {"SRV", "c:\\clip.avi", "//SRV/clip.avi"},
        {"SRV", "/home/ann/clip.avi", "//SRV/home/ann/clip.avi"},
        {"SRV", "/home/ann/my clip:1.avi", "//SRV/home/ann/my clip:1.avi"},  // ':' past the drive is a name's
        {"SRV", "clip.avi", nullptr}, {"SRV", "D:clip.avi", nullptr}, {"", "/a/clip.avi", nullptr},
        {"S/RV", "/a/clip.avi", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.local);
        if (!c.network) {
            EXPECT_THROW(network_source_path(c.server, c.local), Error);
            continue;
        }
        EXPECT_EQ(network_source_path(c.server, c.local), c.network);
        const NetworkPath parsed = parse_network_path(c.network);
        EXPECT_EQ(parsed.server, "SRV");
        EXPECT_EQ(parsed.path, share_path_of(c.local));
    }
    EXPECT_EQ(parse_network_path("\\\\SRV\\Video\\clip.avi").path, "/Video/clip.avi");
}

TEST(NetworkPaths, OutputNamesComeFromTheShardexFolderOnly) {
    const std::string local = shardex_folder_prefix();
    const struct {
        std::string path;
        const char* name;  // nullptr: refused
    } cases[] = {
        {"out.wmv", "out.wmv"}, {local + "out.wmv", "out.wmv"}, {"C:\\Shardex\\out.wmv", "out.wmv"},
        {"c:/shardex/out.wmv", "out.wmv"}, {local + "sub/out.wmv", nullptr}, {local + "../out.wmv", nullptr},
        {local + "..", nullptr}, {local, nullptr}, {"C:\\Other\\out.wmv", nullptr}, {"/tmp/out.wmv", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.name) {
            EXPECT_EQ(output_name_of(c.path), c.name);
        } else {
            EXPECT_THROW(output_name_of(c.path), Error);
        }
    }
}

}  // namespace
}  // namespace shardex::platform

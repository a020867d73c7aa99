// A network's certificates on disk: written private, read back, never replaced unasked, and
// every wrong folder refused with a text that says what to do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/error.h"
#include "platform/remote/network_certs.h"
#include "support/media.h"

namespace shardex::testing {
namespace {

unsigned mode_of(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 0777;
}

// The text load_network refuses `folder` with.
std::string refusal(const fs::path& folder) {
    try {
        remote::load_network(folder);
    } catch (const Error& e) {
        return e.what();
    }
    return "accepted";
}

TEST(Certs, InitWritesAPrivateFolderThatLoadsBackAndIsNotReplacedUnasked) {
    TempDir root;
    const fs::path folder = root / "open" / "network";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all);  // an open folder is tightened
    remote::init_network(folder);
    EXPECT_EQ(mode_of(folder), 0700u);
    for (const char* f : {"ca.pem", "computer.pem", "computer.key"}) EXPECT_EQ(mode_of(folder / f), 0600u) << f;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 3) << "temporary files left behind";
    EXPECT_EQ(remote::load_network(folder).caPem, read_file(folder / "ca.pem"));
    const std::string before = read_file(folder / "ca.pem");
    EXPECT_THROW(remote::init_network(folder), Error);
    EXPECT_EQ(read_file(folder / "ca.pem"), before);
    remote::init_network(folder, /*overwrite=*/true);
    EXPECT_NE(read_file(folder / "ca.pem"), before);
    EXPECT_NE(remote::load_network(folder).keyPem.find("PRIVATE KEY"), std::string::npos);
}

TEST(Certs, WrongFoldersAreRefusedWithWhatToDo) {
    TempDir root;
    remote::init_network(root / "a");
    remote::init_network(root / "b");
    // Network a's folder with one file replaced (by b's, or by junk) or taken away.
    const auto mixed = [&](const char* name, const char* file, const fs::path& from) {
        fs::copy(root / "a", root / name);
        fs::remove(root / name / file);
        if (!from.empty()) fs::copy_file(from, root / name / file);
        return root / name;
    };
    write_file(root / "junk.pem", "not a certificate\n");
    const fs::path garbage = mixed("garbage", "computer.pem", root / "junk.pem");
    const struct {
        fs::path folder;
        std::vector<std::string> says;
    } cases[] = {
        {root / "missing", {"No network certificate in '" + (root / "missing").string() + "'", "shardex-agent --init", "copy the folder"}},
        {mixed("partial", "computer.key", {}), {"lacks 'computer.key'", "copy the whole folder"}},
        {mixed("other-key", "computer.key", root / "b" / "computer.key"), {"is not the key of", "different networks"}},
        {mixed("other-ca", "ca.pem", root / "b" / "ca.pem"), {"was not signed by the network authority", "different networks"}},
        {garbage, {(garbage / "computer.pem").string() + "' is not a PEM certificate"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string text = refusal(c.folder);
        for (const std::string& part : c.says) EXPECT_NE(text.find(part), std::string::npos) << text;
    }
}

// The key must be its owner's alone, and the folder closed to changes by others: each refusal
// names the command that mends it, after which the network loads.
TEST(Certs, AKeyOrFolderOthersCanReachIsRefusedWithTheFix) {
    TempDir root;
    const fs::path folder = root / "n", key = folder / "computer.key";
    remote::init_network(folder);
    const struct {
        fs::path path;
        unsigned mode;
        std::string fix;
    } cases[] = {
        {key, 0640, "chmod 600 '" + key.string() + "'"}, {folder, 0770, "chmod 700 '" + folder.string() + "'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + c.path.string());
        const unsigned mended = mode_of(c.path);
        ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
        EXPECT_NE(refusal(folder).find(c.fix), std::string::npos) << refusal(folder);
        ASSERT_EQ(::chmod(c.path.c_str(), mended), 0);
        EXPECT_EQ(refusal(folder), "accepted");
    }
}

}  // namespace
}  // namespace shardex::testing

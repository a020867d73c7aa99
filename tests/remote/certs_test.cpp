// A network's certificates on disk: written private, read back, and every wrong folder
// refused with a text that says what to do.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/remote/network_certs.h"

namespace shardex::remote {
namespace {

namespace fs = std::filesystem;

class Certs : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("shardex-certs-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    static void write(const fs::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    static std::string read(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static unsigned mode_of(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 0777;
    }
    // The text load_network refuses `folder` with.
    static std::string refusal(const fs::path& folder) {
        try {
            load_network(folder);
        } catch (const Error& e) {
            return e.what();
        }
        ADD_FAILURE() << "load_network accepted " << folder;
        return {};
    }

    fs::path root;
};

TEST_F(Certs, InitWritesAPrivateFolderThatLoadsBack) {
    const fs::path folder = root / "config" / "network";
    init_network(folder);
    EXPECT_EQ(mode_of(folder), 0700u);
    for (const char* f : {"ca.pem", "computer.pem", "computer.key"}) EXPECT_EQ(mode_of(folder / f), 0600u) << f;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 3) << "temporary files left behind";

    const NetworkCredentials loaded = load_network(folder);
    EXPECT_EQ(loaded.caPem, read(folder / "ca.pem"));
    EXPECT_NE(loaded.keyPem.find("PRIVATE KEY"), std::string::npos);
}

TEST_F(Certs, InitRefusesToReplaceANetworkUnlessAsked) {
    init_network(root / "n");
    const std::string before = read(root / "n" / "ca.pem");
    EXPECT_THROW(init_network(root / "n"), Error);
    EXPECT_EQ(read(root / "n" / "ca.pem"), before);

    init_network(root / "n", /*overwrite=*/true);
    EXPECT_NE(read(root / "n" / "ca.pem"), before);
    EXPECT_NO_THROW(load_network(root / "n"));
}

TEST_F(Certs, InitTightensAFolderThatWasOpen) {
    fs::create_directories(root / "open");
    fs::permissions(root / "open", fs::perms::all);
    init_network(root / "open");
    EXPECT_EQ(mode_of(root / "open"), 0700u);
}

TEST_F(Certs, WrongFoldersAreRefusedWithWhatToDo) {
    init_network(root / "a");
    init_network(root / "b");
    const auto mixed = [&](const char* name, const fs::path& replacement) {
        const fs::path folder = root / name;
        fs::copy(root / "a", folder);
        fs::copy_file(replacement, folder / replacement.filename(), fs::copy_options::overwrite_existing);
        return folder;
    };
    const fs::path otherKey = mixed("other-key", root / "b" / "computer.key");
    const fs::path otherCa = mixed("other-ca", root / "b" / "ca.pem");
    const fs::path garbage = root / "garbage";
    fs::copy(root / "a", garbage);
    write(garbage / "computer.pem", "not a certificate\n");
    const fs::path partial = root / "partial";
    fs::copy(root / "a", partial);
    fs::remove(partial / "computer.key");

    struct Case {
        fs::path folder;
        std::vector<std::string> parts;  // each must be in the text
    } cases[] = {
        {root / "missing", {"No network certificate in '" + (root / "missing").string() + "'",
                            "shardex-agent --init", "copy the folder"}},
        {partial, {"lacks 'computer.key'", "copy the whole folder"}},
        {otherKey, {"is not the key of", "different networks"}},
        {otherCa, {"was not signed by the network authority", "different networks"}},
        {garbage, {(garbage / "computer.pem").string() + "' is not a PEM certificate"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string text = refusal(c.folder);
        for (const std::string& part : c.parts) EXPECT_NE(text.find(part), std::string::npos) << text;
    }
}

// The key must be its owner's alone, and the folder must not be open to changes by others:
// each refusal names the command that mends it, after which the network loads.
TEST_F(Certs, AKeyOrFolderOthersCanReachIsRefusedWithTheFix) {
    const fs::path folder = root / "n", key = folder / "computer.key";
    init_network(folder);
    struct Case {
        const char* intent;
        fs::path path;
        unsigned mode;
        std::string fix;
    } cases[] = {
        {"a key others can read", key, 0644, "chmod 600 '" + key.string() + "'"},
        {"a key the group can read", key, 0640, "chmod 600 '" + key.string() + "'"},
        {"a folder others can write", folder, 0777, "chmod 700 '" + folder.string() + "'"},
        {"a folder the group can write", folder, 0770, "chmod 700 '" + folder.string() + "'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.intent);
        const unsigned mended = mode_of(c.path);
        ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
        const std::string text = refusal(folder);
        EXPECT_NE(text.find(c.fix), std::string::npos) << text;
        ASSERT_EQ(::chmod(c.path.c_str(), mended), 0);
        EXPECT_NO_THROW(load_network(folder));
    }
}

}  // namespace
}  // namespace shardex::remote

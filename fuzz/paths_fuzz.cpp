// The paths that cross the network: network source paths, plain output names, and what the
// two share policies let out, the latter asked through the Share service itself. Anything
// a caller sends is either refused with a short text or names exactly what may be read.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fuzz_target.h"
#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/share_service.h"

namespace {

namespace fs = std::filesystem;
using namespace shardex;
using shardex::fuzz::expect;
using shardex::fuzz::expect_refusal;

// A Shardex folder with one of everything a share must tell apart, beside a file it must not
// let out; the Share service over it, and over the one shared source.
struct Fixture {
    fs::path root = shardex::fuzz::scratch_folder(), folder = root / "Shardex", source = root / "source.avi";
    std::shared_ptr<remote::SingleFileShare> single = std::make_shared<remote::SingleFileShare>();
    std::unique_ptr<remote::ShareService> folderService, singleService;
    Fixture() {
        fs::create_directories(folder / "sub");
        std::ofstream(folder / "clip.wmv") << "inside";
        std::ofstream(root / "secret.txt") << "outside";
        std::ofstream(source) << "source";
        fs::create_symlink(root / "secret.txt", folder / "out.wmv");
        fs::create_symlink("clip.wmv", folder / "in.wmv");
        fs::create_symlink(root, folder / "up");
        ::mkfifo((folder / "pipe").c_str(), 0600);
        single->set(source);
        folderService = std::make_unique<remote::ShareService>(std::make_shared<remote::FolderShare>(folder));
        singleService = std::make_unique<remote::ShareService>(single);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

bool is_plain(const std::string& s) {
    return !s.empty() && s.size() <= 255 && s != "." && s != ".." &&
           s.find_first_of(std::string("/\\:\0", 4)) == std::string::npos;
}

void paths(const std::string& s) {
    using shardex::fuzz::either;
    either("a plain-name refusal is short", [&] { return platform::check_plain_name(s), s; }, [&](const std::string& n) {
        expect(is_plain(n), "a plain name is 1 to 255 bytes, not a folder, without a separator or NUL", s);
    });
    either("a network-path refusal is short", [&] { return platform::parse_network_path(s); }, [&](const auto& p) {
        expect(!p.server.empty() && p.server.find_first_of("/\\") == std::string::npos, "a network path names one computer", s);
        expect(p.path.size() >= 2 && p.path[0] == '/' && p.path.find_first_of(std::string("\\\0", 2)) == std::string::npos,
               "a network path names a file under '/' with '/' separators and no NUL", s);
        // Built back from its parts, it takes apart the same way.
        const auto again = platform::parse_network_path(platform::network_source_path(p.server, p.path));
        expect(again.server == p.server && again.path == p.path, "a network path survives a round trip", s);
    });
    either("a share-path refusal is short", [&] { return platform::share_path_of(s); }, [&](const std::string& p) {
        expect(!p.empty() && p[0] == '/' && p.find('\\') == std::string::npos, "a share path is a '/' path", s);
    });
    either("an output-name refusal is short", [&] { return platform::output_name_of(s); },
           [&](const std::string& name) { expect(is_plain(name), "an output name is a plain name", s); });
}

// The Share service as a caller reaches it: Stat and Read of the request path.
void share_service(remote::ShareService& service, const std::string& s, const std::string& allowedData) {
    remote::proto::FileRef ref;
    ref.set_path(s);
    remote::proto::FileInfo info;
    const grpc::Status st = service.Stat(nullptr, &ref, &info);
    if (st.ok()) expect(static_cast<std::size_t>(info.size()) == allowedData.size(), "Stat lets out only the shared file", s);
    else expect_refusal(st.error_message(), "a share refusal is short and says why");
    remote::proto::ReadRequest read;
    read.set_path(s);
    read.set_length(64);
    remote::proto::ReadReply reply;
    const grpc::Status rs = service.Read(nullptr, &read, &reply);
    expect(rs.ok() == st.ok(), "Read and Stat agree", s);
    expect(!rs.ok() || reply.data() == allowedData, "Read lets out only the shared file", s);
}

void one_input(const std::string& s) {
    paths(s);
    Fixture& f = fixture();
    share_service(*f.folderService, s, "inside");
    share_service(*f.singleService, s, "source");
}

// The shared source as this run's share names it, near misses of it, and inputs too large for
// a seed file; the others are in fuzz/corpus/paths.
std::vector<std::string> table() {
    const std::string mb(1 << 20, 'a');
    const std::string shared = platform::share_path_of(fixture().source.string());
    std::string backslashed = shared;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    return {shared, shared + "/", shared + std::string(1, '\0'), backslashed, "//SRV" + shared,
            shared.substr(0, shared.size() - 1), mb, "//" + mb, "//SRV/" + mb, "C:\\Shardex\\" + mb};
}

SHARDEX_FUZZ_TARGET("paths", one_input, table);

}  // namespace

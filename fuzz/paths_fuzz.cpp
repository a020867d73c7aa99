// The paths that cross the network: network source paths, plain output names, and what the
// two share policies let out, the latter asked through the Share service itself. Anything
// a caller sends is either refused with a short text or names exactly what may be read.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz_target.h"
#include "platform/error.h"
#include "platform/network_paths.h"
#include "platform/remote/share_service.h"

namespace {

namespace fs = std::filesystem;
using namespace shardex;
using shardex::fuzz::expect;
using shardex::fuzz::kMaxRefusalText;

// A Shardex folder with one of everything a share must tell apart, beside a file it must not
// let out. Made once per process, in a fresh temporary folder.
struct Fixture {
    fs::path root, folder, source;
    std::shared_ptr<remote::FolderShare> folderShare;
    std::shared_ptr<remote::SingleFileShare> single = std::make_shared<remote::SingleFileShare>();
    std::unique_ptr<remote::ShareService> folderService, singleService;

    Fixture() {
        std::string pattern = (fs::temp_directory_path() / "shardex-fuzz-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        folder = root / "Shardex";
        fs::create_directories(folder / "sub");
        std::ofstream(folder / "clip.wmv") << "inside";
        std::ofstream(root / "secret.txt") << "outside";
        source = root / "source.avi";
        std::ofstream(source) << "source";
        fs::create_symlink(root / "secret.txt", folder / "out.wmv");
        fs::create_symlink("clip.wmv", folder / "in.wmv");
        fs::create_symlink(root, folder / "up");
        ::mkfifo((folder / "pipe").c_str(), 0600);
        folderShare = std::make_shared<remote::FolderShare>(folder);
        single->set(source);
        folderService = std::make_unique<remote::ShareService>(folderShare);
        singleService = std::make_unique<remote::ShareService>(single);
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

bool has_separator(const std::string& s) { return s.find_first_of("/\\") != std::string::npos; }

void check_refusal(const Error& e, const char* what) {
    expect(std::string(e.what()).size() <= kMaxRefusalText, what, std::string(e.what()).substr(0, 200));
    expect(std::string(e.what()).find('\0') == std::string::npos, "a refusal text holds no NUL", e.what());
}

void plain_name(const std::string& s) {
    try {
        platform::check_plain_name(s);
    } catch (const Error& e) {
        check_refusal(e, "a plain-name refusal is short");
        return;
    }
    expect(!s.empty() && s.size() <= 255, "a plain name has 1 to 255 bytes", s);
    expect(s != "." && s != "..", "a plain name is not a folder", s);
    expect(s.find_first_of(std::string("/\\:\0", 4)) == std::string::npos, "a plain name has no separator or NUL", s);
}

void network_path(const std::string& s) {
    platform::NetworkPath p;
    try {
        p = platform::parse_network_path(s);
    } catch (const Error& e) {
        check_refusal(e, "a network-path refusal is short");
        return;
    }
    expect(!p.server.empty() && !has_separator(p.server), "a network path names one computer", s);
    expect(p.path.size() >= 2 && p.path[0] == '/', "a network path names a file under '/'", s);
    expect(p.path.find('\0') == std::string::npos && p.path.find('\\') == std::string::npos,
           "a network path's path has '/' separators and no NUL", s);
    // Built back from its parts, it takes apart the same way.
    const auto again = platform::parse_network_path(platform::network_source_path(p.server, p.path));
    expect(again.server == p.server && again.path == p.path, "a network path survives a round trip", s);
}

void share_path(const std::string& s) {
    std::string p;
    try {
        p = platform::share_path_of(s);
    } catch (const Error& e) {
        check_refusal(e, "a share-path refusal is short");
        return;
    }
    expect(!p.empty() && p[0] == '/' && p.find('\\') == std::string::npos, "a share path is a '/' path", s);
}

void output_name(const std::string& s) {
    std::string name;
    try {
        name = platform::output_name_of(s);
    } catch (const Error& e) {
        check_refusal(e, "an output-name refusal is short");
        return;
    }
    try {
        platform::check_plain_name(name);
    } catch (const Error& e) {
        expect(false, "an output name is a plain name", e.what());
    }
}

// The Share service as a caller reaches it: Stat and Read of the request path.
void share_service(remote::ShareService& service, const std::string& s, const std::string& allowedData) {
    remote::proto::FileRef ref;
    ref.set_path(s);
    remote::proto::FileInfo info;
    const grpc::Status st = service.Stat(nullptr, &ref, &info);
    expect(st.error_message().size() <= kMaxRefusalText, "a share refusal is short", st.error_message().substr(0, 200));
    if (st.ok()) {
        expect(static_cast<std::size_t>(info.size()) == allowedData.size(), "Stat lets out only the shared file", s);
    } else {
        expect(!st.error_message().empty(), "a share refusal says why");
    }
    remote::proto::ReadRequest read;
    read.set_path(s);
    read.set_length(64);
    remote::proto::ReadReply reply;
    const grpc::Status rs = service.Read(nullptr, &read, &reply);
    expect(rs.ok() == st.ok(), "Read and Stat agree", s);
    expect(!rs.ok() || reply.data() == allowedData, "Read lets out only the shared file", s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string s(reinterpret_cast<const char*>(data), size);
    plain_name(s);
    network_path(s);
    share_path(s);
    output_name(s);
    Fixture& f = fixture();
    share_service(*f.folderService, s, "inside");
    share_service(*f.singleService, s, "source");
    return 0;
}

std::vector<std::string> shardex::fuzz::nasty_inputs() {
    const std::string mb(1 << 20, 'a');
    // The shared source as its share names it, and near misses of it.
    const std::string shared = platform::share_path_of(fixture().source.string());
    std::string backslashed = shared;
    for (char& c : backslashed)
        if (c == '/') c = '\\';
    return {
        shared,
        shared + "/",
        shared + std::string(1, '\0'),
        backslashed,
        "//SRV" + shared,
        shared.substr(0, shared.size() - 1),
        "",
        ".",
        "..",
        "...",
        "../secret.txt",
        "..\\secret.txt",
        "/etc/passwd",
        "C:\\Shardex\\..",
        "C:\\Shardex\\a/b",
        "C:/Shardex/x.wmv",
        "c:\\shardex\\",
        "//",
        "///",
        "//SRV",
        "//SRV/",
        "//SRV//",
        "\\\\SRV\\x",
        "//SRV/a\\..\\..",
        std::string("//SRV/a\0b", 9),
        std::string("clip.wmv\0.txt", 13),
        std::string(1, '\0'),
        "clip.wmv",
        "out.wmv",
        "in.wmv",
        "up",
        "sub",
        "pipe",
        "C:",
        "C:x",
        "X:/",
        std::string(255, 'a'),
        std::string(256, 'a'),
        mb,
        "//" + mb,
        "//SRV/" + mb,
        "C:\\Shardex\\" + mb,
        std::string("\x1b[2J\x7f", 5),
        "\xc3",
        std::string(100, '\xe2') + "\x82\xac",
    };
}

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "fuzz_target.h"

namespace shardex::fuzz {

std::vector<Target>& targets() {
    static std::vector<Target> all;
    return all;
}

bool add_target(const Target& target) {
    targets().push_back(target);
    return true;
}

void expect(bool ok, const char* what, const std::string& detail) {
    if (ok) return;
    std::fprintf(stderr, "broken promise: %s\n  %.300s\n", what, detail.c_str());
    std::abort();
}

void expect_refusal(const std::string& text, const char* what) {
    expect(!text.empty() && text.size() <= 1024 && text.find('\0') == std::string::npos, what, text.substr(0, 200));
}

const std::string& scratch_folder() {
    static const struct Folder {
        std::string path = (std::filesystem::temp_directory_path() / "shardex-fuzz-XXXXXX").string();
        Folder() { expect(::mkdtemp(path.data()) != nullptr, "a scratch folder can be made", path); }
        ~Folder() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } folder;
    return folder.path;
}

}  // namespace shardex::fuzz

// The fuzz targets without libFuzzer, for every test run: a target takes the files of its seed
// corpus folders, then its table. A broken promise aborts, as under the fuzzer.
//
//   fuzz_replay TARGET [FOLDER...]     run the folders' files, then the table
//   fuzz_replay TARGET --dump FOLDER   write the table's inputs below 4 KiB as seed files
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz_target.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const auto& all = shardex::fuzz::targets();
    const auto t = std::find_if(all.begin(), all.end(), [&](const auto& t) { return argc > 1 && t.name == std::string(argv[1]); });
    if (t == all.end()) {
        std::fprintf(stderr, "usage: fuzz_replay TARGET [FOLDER...] | TARGET --dump FOLDER\n");
        return 2;
    }
    int files = 0, n = 0;
    if (argc == 4 && std::string(argv[2]) == "--dump") {
        fs::create_directories(argv[3]);
        for (const std::string& input : t->table())
            if (input.size() < 4096) std::ofstream(fs::path(argv[3]) / ("table-" + std::to_string(n++)), std::ios::binary) << input;
        std::printf("%d seed files written to %s\n", n, argv[3]);
        return 0;
    }
    for (int i = 2; i < argc; ++i) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(argv[i], ec)) {
            std::ostringstream text;
            text << std::ifstream(entry.path(), std::ios::binary).rdbuf();
            t->one(text.str());
            ++files;
        }
        if (ec) return std::fprintf(stderr, "cannot read the corpus folder %s: %s\n", argv[i], ec.message().c_str()), 2;
    }
    for (const std::string& input : t->table()) t->one(input), ++n;
    std::printf("%s: %d corpus files and %d table inputs ran without a broken promise\n", t->name, files, n);
    return 0;
}

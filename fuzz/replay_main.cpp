// The fuzz targets without libFuzzer, for every test run: each target takes the files of its
// seed corpus folders and its table of hostile inputs. A broken promise aborts, as it does
// under the fuzzer; the count of inputs run is printed.
//
//   replay_<target> [FOLDER...]     run the folders' files, then the table
//   replay_<target> --dump FOLDER   write the table's inputs below 4 KiB as seed files
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "fuzz_target.h"

namespace fs = std::filesystem;

namespace {

int run(const std::string& input) {
    return LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

int dump(const fs::path& folder) {
    fs::create_directories(folder);
    int n = 0;
    for (const std::string& input : shardex::fuzz::nasty_inputs()) {
        if (input.size() >= 4096) continue;
        std::ofstream(folder / ("table-" + std::to_string(n++)), std::ios::binary) << input;
    }
    std::printf("%d seed files written to %s\n", n, folder.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--dump") return dump(argv[2]);
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(argv[i], ec)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            run(text.str());
            ++files;
        }
        if (ec) {
            std::fprintf(stderr, "cannot read the corpus folder %s: %s\n", argv[i], ec.message().c_str());
            return 2;
        }
    }
    int table = 0;
    for (const std::string& input : shardex::fuzz::nasty_inputs()) {
        run(input);
        ++table;
    }
    std::printf("%d corpus files and %d table inputs ran without a broken promise\n", files, table);
    return 0;
}

#include "support/media.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/process.h"

namespace shardex::testing {

TempDir::TempDir(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

void make_clip(const fs::path& out, const std::string& args) {
    int rc = 0;
    const std::string said = run("timeout 600 ffmpeg -nostdin -v error -y " + args + " '" + out.string() + "' 2>&1", &rc);
    if (rc != 0) throw std::runtime_error("ffmpeg could not make " + out.string() + ": " + said);
}

void make_test_clip(const fs::path& out, int seconds, const std::string& size) {
    make_clip(out, "-f lavfi -i testsrc2=size=" + size + ":rate=30000/1001 -f lavfi -i sine=r=44100 -ac 2 -t " +
                       std::to_string(seconds) + " -c:v mjpeg -q:v 5 -c:a pcm_s16le");
}

std::string probe(const fs::path& file, const std::string& entries, const std::string& extra) {
    return run("timeout 120 ffprobe -v error " + extra + " -show_entries " + entries + " -of default=nw=1 '" +
               file.string() + "' 2>/dev/null");
}

std::string value_of(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "";
}

int frame_count(const fs::path& file) {
    const auto n = value_of(probe(file, "stream=nb_read_packets", "-count_packets -select_streams v:0"), "nb_read_packets");
    return n.empty() || n == "N/A" ? -1 : std::atoi(n.c_str());
}

std::string formats(const fs::path& file) {
    // ffprobe lists the streams first, the container last.
    std::istringstream words(run("timeout 120 ffprobe -v error -show_entries format=format_name:stream=codec_name "
                                 "-of csv=p=0 '" + file.string() + "' 2>/dev/null"));
    std::string s, w;
    while (words >> w) s += " " + w;
    const auto last = s.rfind(' ');
    return last == std::string::npos ? s : s.substr(last + 1) + s.substr(0, last);
}

bool success_status(const std::string& line) {
    static const std::regex re("^Status:  Success \\d*\\.\\d to 1$");
    return std::regex_match(line, re);
}

}  // namespace shardex::testing

#include "support/media.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

Pictures pictures_of(const fs::path& file) {
    Pictures p;
    std::istringstream in(run("ffprobe -v error -f lavfi \"movie=" + file.string() +
                              ",crop=iw/8:ih/8:0:0,signalstats\" -show_entries "
                              "frame=pts_time:frame_tags=lavfi.signalstats.YAVG -of csv=p=0 2>/dev/null"));
    for (std::string line; std::getline(in, line);) {
        double t = 0, y = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &t, &y) != 2) continue;
        p.time.push_back(t);
        p.number.push_back(static_cast<int>(std::lround((y - 16) / 8)) % kCycle);
    }
    return p;
}

Sound sound_of(const fs::path& file) {
    Sound s;
    const std::string f = "'" + file.string() + "'";
    s.start = std::atof(
        run("ffprobe -v error -select_streams a:0 -show_entries frame=pts_time -of csv=p=0 " + f + " 2>/dev/null | head -1")
            .c_str());
    s.rate = std::atoi(run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate -of csv=p=0 " + f).c_str());
    const std::string raw = run("ffmpeg -v error -i " + f + " -map 0:a:0 -ac 1 -f f32le - 2>/dev/null");
    s.samples.resize(raw.size() / sizeof(float));
    std::memcpy(s.samples.data(), raw.data(), s.samples.size() * sizeof(float));
    return s;
}

double beep_middle(const Sound& s, double from, double to) {
    if (s.rate <= 0) return -1;
    const double n = static_cast<double>(s.samples.size());
    const auto lo = static_cast<std::size_t>(std::clamp((from - s.start) * s.rate, 0.0, n));
    const auto hi = static_cast<std::size_t>(std::clamp((to - s.start) * s.rate, 0.0, n));
    float peak = 0;
    for (std::size_t i = lo; i < hi; ++i) peak = std::max(peak, std::fabs(s.samples[i]));
    if (peak < 0.05f) return -1;
    std::size_t first = hi, last = lo;
    for (std::size_t i = lo; i < hi; ++i) {
        if (std::fabs(s.samples[i]) < peak / 2) continue;
        first = std::min(first, i);
        last = i;
    }
    return s.start + static_cast<double>(first + last) / 2.0 / s.rate;
}

}  // namespace shardex::testing

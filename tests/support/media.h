// Files of tests: the one kind of temporary folder, clips made by FFmpeg's generated sources,
// and what ffprobe reads back from a file, as an independent check of what the program wrote.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace shardex::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A new folder under $TMPDIR (or /tmp), removed with everything in it when this goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "shardex-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

std::string read_file(const fs::path& file);
void write_file(const fs::path& file, const std::string& bytes);

// Runs `ffmpeg -y ARGS OUT`; `args` uses lavfi sources ("-f lavfi -i testsrc2=..."). Throws
// std::runtime_error with what ffmpeg said when it fails.
void make_clip(const fs::path& out, const std::string& args);
// A picture clip of `seconds` at 30000/1001 frames a second with a tone, MJPEG and PCM in AVI.
void make_test_clip(const fs::path& out, int seconds, const std::string& size = "320x240");

// ffprobe -show_entries `entries` as "key=value" lines; value_of() the first value of `key`.
std::string probe(const fs::path& file, const std::string& entries, const std::string& extra = "");
std::string value_of(const std::string& probeOutput, const std::string& key);
int frame_count(const fs::path& file);   // video packets; -1 when unreadable
std::string formats(const fs::path& file);  // "asf wmv2 wmav2": the container, then each stream's codec

// Clips that number their pictures: frame n's corner box (the top left eighth of the picture)
// has luma 16 + 8 * (n mod kCycle). What ffprobe reads of each picture of `file`.
inline constexpr int kCycle = 25;
struct Pictures {
    std::vector<double> time;
    std::vector<int> number;  // source frame number mod kCycle
};
Pictures pictures_of(const fs::path& file);

// The first sound stream of `file`, decoded to mono.
struct Sound {
    double start = 0;  // time of the first decoded sample
    int rate = 0;
    std::vector<float> samples;
};
Sound sound_of(const fs::path& file);
// The middle of a beep between `from` and `to` seconds (the whole file by default): halfway
// between the first and last samples at half its peak; -1 when there is none.
double beep_middle(const Sound& s, double from = -1e9, double to = 1e9);

// True for a slot's status line after a successful job: "Status:  Success 12.3 to 1".
bool success_status(const std::string& line);

}  // namespace shardex::testing

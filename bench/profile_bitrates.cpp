// Every stock profile's total bit rate against its target: shardex-encode encodes one
// generated clip (moving 640x480 test pattern, a tone) with each profile, and the file's
// size over its packets' media time (as ffprobe reads them) is set against the profile's
// audio plus video rate. One line per profile: name, target kbit/s, measured kbit/s, ratio.
// The quality-based profile has no rate to keep; its line shows the measured rate only.
// A last column counts the stops of a player receiving the file at the target rate.
//
// usage: profile_bitrates [SECONDS] [--two-pass] [--source LAVFI-VIDEO]
//   SECONDS     clip length, 10 by default
//   --two-pass  every profile in two passes (otherwise only the profiles that call for it)
//   --source    another FFmpeg test source, e.g. "mandelbrot=s=640x480"
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "platform/encoder/profiles.h"

namespace {

namespace fs = std::filesystem;
using shardex::encoder::ProfileData;

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command; returns its standard output and sets `exitCode`.
std::string run(const std::string& command, int& exitCode) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        exitCode = -1;
        return out;
    }
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    exitCode = pclose(p);
    return out;
}

// Seconds from the earliest packet's start to the latest packet's end, over all streams.
double media_seconds(const fs::path& file) {
    int rc = 0;
    std::istringstream in(
        run("ffprobe -v error -show_entries packet=pts_time,duration_time -of csv=p=0 " + quoted(file.string()), rc));
    double first = 1e18, last = 0;
    std::string line;
    while (std::getline(in, line)) {
        double pts = 0, dur = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &dur) < 1) continue;
        first = std::min(first, pts);
        last = std::max(last, pts + dur);
    }
    return last > first ? last - first : 0;
}

// How often a player receiving `file` at `bitsPerSecond` from its first byte would stop to
// wait for data: it starts after the file's preroll, and each ASF data packet must have
// arrived by the time its send time comes up on the media clock (which stops while it
// waits). -1 when the file's layout cannot be read.
int stalls_at(const fs::path& file, double bitsPerSecond) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return -1;
    std::string bytes;
    std::array<char, 65536> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) bytes.append(buf.data(), n);
    std::fclose(f);
    auto u = [&](std::size_t at, int width) -> std::uint64_t {
        std::uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    const std::string fileProps("\xa1\xdc\xab\x8c\x47\xa9\xcf\x11\x8e\xe4\x00\xc0\x0c\x20\x53\x65", 16);
    const std::string data("\x36\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c", 16);
    const std::size_t props = bytes.find(fileProps), dataAt = bytes.find(data);
    if (props == std::string::npos || dataAt == std::string::npos || props + 96 > bytes.size()) return -1;
    const double preroll = static_cast<double>(u(props + 80, 8)) / 1000;
    const std::size_t packetSize = u(props + 92, 4);
    const std::uint64_t packets = u(dataAt + 40, 8);
    const std::size_t first = dataAt + 50;
    if (packetSize == 0) return -1;
    int stalls = 0;
    double waited = 0;
    for (std::uint64_t i = 0; i < packets && first + (i + 1) * packetSize <= bytes.size(); ++i) {
        const std::size_t at = first + i * packetSize;
        std::size_t field = at + 3;  // error correction flags and data
        const unsigned lengthFlags = static_cast<unsigned char>(bytes[field]);
        field += 2;  // length type flags, property flags
        const unsigned sizes[] = {0, 1, 2, 4};
        field += sizes[(lengthFlags >> 5) & 3] + sizes[(lengthFlags >> 1) & 3] + sizes[(lengthFlags >> 3) & 3];
        const double sendTime = static_cast<double>(u(field, 4)) / 1000;
        const double arrived = static_cast<double>(at + packetSize) * 8 / bitsPerSecond;
        const double due = preroll + sendTime + waited;
        if (arrived > due) {
            ++stalls;
            waited += arrived - due;
        }
    }
    return stalls;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 10;
    bool twoPass = false;
    std::string source = "testsrc2=s=640x480";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--two-pass") twoPass = true;
        else if (a == "--source" && i + 1 < argc) source = argv[++i];
        else seconds = std::clamp(std::atoi(a.c_str()), 1, 600);
    }
    const std::string tool = SHARDEX_ENCODE_PATH;
    fs::path dir = fs::temp_directory_path() / ("shardex-bench-rates-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path clip = dir / "clip.avi";
    const std::string d = std::to_string(seconds);
    std::printf("making a %d s clip of %s (MJPEG, PCM)...\n", seconds, source.c_str());
    int rc = 0;
    run("ffmpeg -v error -y -f lavfi -i " + quoted(source + ":r=30000/1001") + " -f lavfi -i sine=d=" + d +
            ":r=44100 -ac 2 -t " + d + " -c:v mjpeg -q:v 3 -c:a pcm_s16le " + quoted(clip.string()) + " 2>&1",
        rc);
    if (rc != 0) {
        std::fprintf(stderr, "ffmpeg could not make the clip\n");
        return 1;
    }

    std::printf("%-82s %9s %9s %7s %7s\n", "profile", "target", "measured", "ratio", "stalls");
    int failed = 0;
    for (const ProfileData& p : shardex::encoder::stock_profiles()) {
        const auto& a = p.audiences.front();
        const bool rated = !(p.hasVideo() && p.videoMode == shardex::encoder::kModeVbrQuality);
        const double target = (p.hasVideo() ? a.videoBitrate : 0) + (p.hasAudio() ? a.audioBitrate : 0);
        const fs::path out = dir / "out.wmv";
        std::error_code ec;
        fs::remove(out, ec);
        run(quoted(tool) + " " + quoted(clip.string()) + " " + quoted(out.string()) + " --profile " + quoted(p.name) +
                (twoPass ? " --two-pass" : "") + " 2>&1",
            rc);
        const double media = rc == 0 ? media_seconds(out) : 0;
        if (media <= 0) {
            std::printf("%-82s %9.1f %9s %7s\n", p.name.c_str(), target / 1000, "failed", "-");
            ++failed;
            continue;
        }
        const double measured = static_cast<double>(fs::file_size(out, ec)) * 8 / media;
        if (rated)
            std::printf("%-82s %9.1f %9.1f %7.3f %7d\n", p.name.c_str(), target / 1000, measured / 1000,
                        measured / target, stalls_at(out, target));
        else
            std::printf("%-82s %9s %9.1f %7s\n", p.name.c_str(), "quality", measured / 1000, "-");
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return failed == 0 ? 0 : 1;
}

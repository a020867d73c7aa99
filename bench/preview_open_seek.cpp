// How long the preview graph takes to open a source and to seek in it, as ratios to the
// time ffprobe needs to read the same file's duration. Prints figures from one run; asserts
// nothing. Usage: preview_open_seek [FILE]  (without FILE, a 60 s clip is generated).
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/media/factory.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int run(const std::string& cmd) { return std::system(cmd.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_NUMERIC, "C");
    std::filesystem::path dir;
    std::string file;
    if (argc > 1) {
        file = argv[1];
    } else {
        dir = std::filesystem::temp_directory_path() / ("shardex-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        file = (dir / "clip.avi").string();
        // A 640x480 MPEG-4 clip with key frames every 5 s, so seeks decode past key frames.
        if (run("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=640x480:rate=25 -f lavfi -i "
                "sine=sample_rate=44100 -t 60 -c:v mpeg4 -q:v 4 -g 125 -c:a pcm_s16le '" + file + "'") != 0) {
            std::fprintf(stderr, "ffmpeg could not generate the clip\n");
            return 1;
        }
    }
    const int rounds = 7;

    std::vector<double> probe;
    const std::string probeCmd =
        "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "' > /dev/null";
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        if (run(probeCmd) != 0) {
            std::fprintf(stderr, "ffprobe could not read %s\n", file.c_str());
            return 1;
        }
        probe.push_back(ms_since(t0));
    }

    shardex::media::GraphOptions options;
    options.videoOutput = "null";
    options.audioOutput = "null";
    std::vector<double> open, seek;
    double length = 0;
    try {
        for (int i = 0; i < rounds; ++i) {
            auto t0 = Clock::now();
            auto g = shardex::media::create_filter_graph(options);
            g->renderFile(file);
            length = g->duration();
            g->videoWidth();
            open.push_back(ms_since(t0));
        }
        auto g = shardex::media::create_filter_graph(options);
        g->renderFile(file);
        // Jumps like the player's: forward and back by 20 s, and to places between key frames.
        const double targets[] = {20.0, 40.0, 20.0, 0.0, 13.52, 47.08, 31.96, 5.0, 58.0, 1.0};
        for (double t : targets) {
            t = std::min(t, length);
            auto t0 = Clock::now();
            g->setCurrentPosition(t);
            seek.push_back(ms_since(t0));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    if (!dir.empty()) std::filesystem::remove_all(dir);

    const double p = median(probe), o = median(open), s = median(seek);
    std::printf("source: %s (%.1f s)\n", file.c_str(), length);
    std::printf("ffprobe duration read: median %.1f ms over %d runs\n", p, rounds);
    std::printf("graph open (create + render + measure): median %.1f ms  ratio %.2f\n", o, o / p);
    std::printf("exact seek (stopped, waits for the picture): median %.1f ms  max %.1f ms  ratio %.2f\n", s,
                *std::max_element(seek.begin(), seek.end()), s / p);
    return 0;
}

// Times shardex-encode against the ffmpeg tool on the same generated 640x480 clip with the
// same settings (Windows Media Video 8 at 1336 Kbps CBR, 5 s buffer, key frame every 150
// frames, Windows Media Audio at 64 Kbps, one thread each) and prints the ratio of the wall
// times and our peak memory. Each side runs three times; the best time counts.
//
// usage: encoder_vs_ffmpeg [PATH-TO-shardex-encode]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Result {
    double seconds = 0;
    long maxRssKb = 0;
    int exitCode = -1;
};

Result run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Result r;
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    posix_spawn_file_actions_destroy(&actions);
    r.maxRssKb = usage.ru_maxrss;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::string ours = argc > 1 ? argv[1] : SHARDEX_ENCODE_PATH;
    fs::path dir = fs::temp_directory_path() / ("shardex-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string src = (dir / "clip.avi").string();
    const std::string outOurs = (dir / "ours.wmv").string();
    const std::string outTheirs = (dir / "ffmpeg.wmv").string();

    std::printf("making a 10 s 640x480 clip (MJPEG, PCM)...\n");
    Result gen = run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=640x480:r=30000/1001:d=10", "-f",
                      "lavfi", "-i", "sine=d=10:r=44100", "-ac", "2", "-c:v", "mjpeg", "-q:v", "3", "-c:a", "pcm_s16le",
                      src});
    if (gen.exitCode != 0) {
        std::fprintf(stderr, "ffmpeg could not make the clip\n");
        return 1;
    }

    const std::vector<std::string> oursCmd{ours, src, outOurs, "--profile",
                                           "Windows Media Video 8 for Broadband (NTSC, 1400 Kbps)", "--threads", "1"};
    const std::vector<std::string> theirsCmd{
        "ffmpeg", "-v", "error", "-y", "-threads", "1", "-i", src, "-threads", "1", "-c:v", "wmv2", "-b:v", "1336k",
        "-maxrate", "1336k", "-bufsize", "6680k", "-g", "150", "-bf", "0", "-pix_fmt", "yuv420p", "-s", "640x480",
        "-r", "30000/1001", "-sws_flags", "bicubic", "-c:a", "wmav2", "-b:a", "64k", "-ar", "44100", "-ac", "2",
        "-f", "asf", outTheirs};

    double bestOurs = 1e9, bestTheirs = 1e9;
    long peakKb = 0;
    for (int i = 0; i < 3; ++i) {
        Result a = run(oursCmd);
        Result b = run(theirsCmd);
        if (a.exitCode != 0 || b.exitCode != 0) {
            std::fprintf(stderr, "an encode failed (shardex-encode %d, ffmpeg %d)\n", a.exitCode, b.exitCode);
            return 1;
        }
        bestOurs = std::min(bestOurs, a.seconds);
        bestTheirs = std::min(bestTheirs, b.seconds);
        peakKb = std::max(peakKb, a.maxRssKb);
    }
    std::printf("shardex-encode: %.3f s, output %lld bytes\n", bestOurs, static_cast<long long>(fs::file_size(outOurs)));
    std::printf("ffmpeg:         %.3f s, output %lld bytes\n", bestTheirs,
                static_cast<long long>(fs::file_size(outTheirs)));
    std::printf("ratio ours/ffmpeg: %.3f (target <= 1.05)\n", bestOurs / bestTheirs);
    std::printf("shardex-encode peak memory: %.1f MB\n", static_cast<double>(peakKb) / 1024.0);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}

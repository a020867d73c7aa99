// The join of a run's three segments: its time against the run's, and the joined file against
// one encode of the whole stretch; beside it, the two other ways of joining measured on the
// same clip. Prints figures; asserts nothing.
//
//   join [SECONDS]   length of the generated 640x480 clip (default 60)
//
// The run's time is that of the computers working at once: the longest of the three segment
// encodes, each run alone on this computer as each computer of a run does (the copies over
// the network are left out, which flatters the run and so the join's share only grows). A
// Server-only run is the encode of the whole stretch. The clip numbers its pictures and beeps
// for 40 ms at every whole second; the cuts fall on beeps, so each seam is heard.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/job.h"
#include "support/media.h"
#include "support/process.h"
#include "platform/join/join.h"

namespace {

namespace fs = std::filesystem;
using namespace shardex::testing;
using Clock = std::chrono::steady_clock;

constexpr const char* kProfile = "Windows Media Video 8 for Local Area Network (768 Kbps)";

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double encode(const fs::path& source, const fs::path& out, int in, int end, bool stretch, int stretchEnd) {
    auto job = make_job(source, out, kProfile);
    if (stretch) {
        job->video->setStretch(0, stretchEnd);
        job->audio->setStretch(0, stretchEnd);
    }
    const auto t0 = Clock::now();
    encode(*job, in, end);
    return seconds_since(t0);
}

// The worst 5 ms window within 100 ms of each seam: SNR in dB against the whole encode's sound.
double worst_snr(const Sound& s, const Sound& ref, const std::vector<double>& seams) {
    double worst = 1e9;
    const int n = ref.rate / 200;
    const double shift = (s.start - ref.start) * ref.rate;  // s's sample i is ref's i + shift
    for (double seam : seams)
        for (double t = seam - 0.1; t < seam + 0.1; t += 0.005) {
            const auto from = static_cast<long>((t - ref.start) * ref.rate);
            double signal = 0, noise = 0;
            for (long i = from; i < from + n; ++i) {
                const long j = i - static_cast<long>(std::lround(shift));
                if (i < 0 || j < 0 || i >= long(ref.samples.size()) || j >= long(s.samples.size())) continue;
                signal += double(ref.samples[i]) * ref.samples[i];
                noise += (double(s.samples[j]) - ref.samples[i]) * (double(s.samples[j]) - ref.samples[i]);
            }
            if (signal > 1e-6) worst = std::min(worst, noise > 0 ? 10 * std::log10(signal / noise) : 1e9);
        }
    return worst;
}

// The largest distance (ms) between a beep at a seam in `s` and in the whole encode.
double worst_beep_ms(const Sound& s, const Sound& ref, const std::vector<double>& seams) {
    double worst = 0;
    for (double seam : seams) {
        const double a = beep_middle(s, seam - 0.2, seam + 0.2), b = beep_middle(ref, seam - 0.2, seam + 0.2);
        worst = std::max(worst, a < 0 || b < 0 ? 1e3 : std::fabs(a - b) * 1000);
    }
    return worst;
}

struct Figures {
    int pictures = 0, samePictures = 0;
    double pictureMs = 0;  // the largest distance of a picture's time from the whole's
    double snr = 0, beepMs = 0, sizeRatio = 0;
};

Figures compare(const fs::path& file, const fs::path& whole, const std::vector<double>& seams) {
    Figures f;
    const auto p = pictures_of(file), w = pictures_of(whole);
    f.pictures = static_cast<int>(p.number.size());
    for (std::size_t i = 0; i < std::min(p.number.size(), w.number.size()); ++i) {
        f.samePictures += p.number[i] == w.number[i];
        f.pictureMs = std::max(f.pictureMs, std::fabs(p.time[i] - w.time[i]) * 1000);
        if (p.number[i] != w.number[i] && std::getenv("JOIN_BENCH_VERBOSE"))
            std::printf("%s: picture %zu shows %d at %.3f s, the whole's %d at %.3f s\n", file.filename().c_str(), i,
                        p.number[i], p.time[i], w.number[i], w.time[i]);
    }
    const auto s = sound_of(file), ws = sound_of(whole);
    f.snr = worst_snr(s, ws, seams);
    f.beepMs = worst_beep_ms(s, ws, seams);
    f.sizeRatio = static_cast<double>(fs::file_size(file)) / static_cast<double>(fs::file_size(whole));
    return f;
}

void print(const char* what, double seconds, double runSeconds, const Figures& f, int wholePictures) {
    std::printf("%-36s %6.3f s %5.1f%% of the run | pictures: %d/%d as the whole's, times off by up to %.0f ms | "
                "sound at the seams: worst SNR %5.1f dB, beep off by %.1f ms | size %.3f of the whole's\n",
                what, seconds, 100 * seconds / runSeconds, f.samePictures, wholePictures, f.pictureMs,
                std::min(f.snr, 999.0), f.beepMs, f.sizeRatio);
}

}  // namespace

int main(int argc, char** argv) {
    const int length = argc > 1 ? std::max(6, std::atoi(argv[1])) : 60;
    TempDir dir;
    const fs::path source = dir / "clip.avi";
    const std::string d = std::to_string(length);
    make_clip(source,
                        "-f lavfi -i \"testsrc2=s=640x480:r=25:d=" + d + "[bg];color=s=160x120:r=25:d=" + d +
                            ",format=yuv420p,geq=lum='16+8*mod(N\\,25)':cb=128:cr=128[box];[bg][box]overlay,"
                            "format=yuv420p\" -f lavfi -i \"aevalsrc='if(lt(mod(t\\,1)\\,0.04)\\,0.5*sin(2*PI*1000*t)\\,"
                            "0)':s=44100:d=" + d + "\" -c:v mjpeg -q:v 3 -c:a pcm_s16le -shortest");
    const int end = length * 1000;
    // A 34/33/33 split in whole seconds, as the window makes it.
    const int cuts[] = {0, (end * 34 / 100) / 1000 * 1000, (end * 67 / 100) / 1000 * 1000, end};
    const std::vector<double> seams = {cuts[1] / 1000.0, cuts[2] / 1000.0};

    const fs::path whole = dir / "whole.wmv";
    const double single = encode(source, whole, 0, end, true, end);
    std::vector<std::string> segs, plain;
    double run = 0, plainRun = 0;
    for (int i = 0; i < 3; ++i) {
        segs.push_back((dir / ("seg" + std::to_string(i) + ".wmv")).string());
        plain.push_back((dir / ("plain" + std::to_string(i) + ".wmv")).string());
        run = std::max(run, encode(source, segs.back(), cuts[i], cuts[i + 1], true, end));
        plainRun = std::max(plainRun, encode(source, plain.back(), cuts[i], cuts[i + 1], false, 0));
    }

    // The join, best of three.
    const fs::path joined = dir / "joined.wmv";
    double join = 1e9;
    for (int i = 0; i < 3; ++i) {
        const auto t0 = Clock::now();
        shardex::join::join_segments({segs, joined.string(), {}, {}});
        join = std::min(join, seconds_since(t0));
    }

    // The other ways, on segments made each on its own as before: the ffmpeg tool's concat
    // demuxer copying every packet; and the segments' pictures copied with the stretch's sound
    // encoded once from the source (timed with the ffmpeg tool's encode of the sound and a
    // remux; the file compared is the join's pictures with the whole encode's sound, which is
    // what an encode of the stretch's sound gives).
    const fs::path list = dir / "list.txt", concat = dir / "concat.wmv", sound = dir / "sound.wma",
                   copied = dir / "copied.wmv", pictures = dir / "pictures.wmv";
    {
        std::ofstream out(list);
        for (const auto& p : plain) out << "file '" << p << "'\n";
    }
    auto t0 = Clock::now();
    shardex::testing::run("ffmpeg -v error -y -f concat -safe 0 -i '" + list.string() + "' -c copy '" + concat.string() + "'");
    const double concatTime = seconds_since(t0);
    shardex::testing::run("ffmpeg -v error -y -f concat -safe 0 -i '" + list.string() + "' -map 0:v -c copy '" + pictures.string() + "'");
    t0 = Clock::now();
    shardex::testing::run("ffmpeg -v error -y -i '" + source.string() + "' -vn -c:a wmav2 -b:a 64k -ar 44100 -ac 2 '" +
                  sound.string() + "' && ffmpeg -v error -y -i '" + pictures.string() + "' -i '" + sound.string() +
                  "' -map 0:v -map 1:a -c copy '" + copied.string() + "'");
    const double soundOnce = seconds_since(t0);
    shardex::testing::run("ffmpeg -v error -y -i '" + joined.string() + "' -i '" + whole.string() +
                  "' -map 0:v -map 1:a -c copy -copyts -avoid_negative_ts disabled '" + copied.string() + "'");

    const int wholePictures = pictures_of(whole).number.size();
    std::printf("clip %d s 640x480 25 fps into '%s'; cuts at %d and %d s\n", length, kProfile, cuts[1] / 1000,
                cuts[2] / 1000);
    std::printf("single-machine encode of the stretch %.3f s; the run (longest of its three segments) %.3f s "
                "(segments on their own: %.3f s)\n",
                single, run, plainRun);
    print("grid splice (shardex join)", join, run, compare(joined, whole, seams), wholePictures);
    print("concat demuxer, stream copy", concatTime, run, compare(concat, whole, seams), wholePictures);
    print("pictures copied, sound encoded once", soundOnce, run, compare(copied, whole, seams), wholePictures);
    std::printf("join / single-machine encode %.1f%%\n", 100 * join / single);
    return 0;
}

// The join of a run's segments: the joined file is what one encode of the whole stretch makes,
// seam by seam (every picture once, timestamps on one grid, the sound spliced unheard and in
// step), and files that do not make one stretch are refused with the reason. The source
// numbers its pictures (support/media.h) and beeps for 40 ms at every whole second; the run's
// stretch starts at 0.5 s and two of its cuts fall inside beeps.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/encoder/segment_tag.h"
#include "platform/join/join.h"
#include "support/job.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::testing {
namespace {

constexpr const char* kPal = "Windows Media Video 8 for Broadband (PAL, 384 Kbps)";           // 25 fps
constexpr const char* kLan = "Windows Media Video 8 for Local Area Network (768 Kbps)";       // 29.97 fps
constexpr int kStretchIn = 500;
constexpr int kCuts[] = {kStretchIn, 2020, 4000, -1};  // three segments of different lengths, to the end

// 6 s, 25 fps, 16:9 (a 4:3 profile must keep its shape).
const std::string kSource =
    "-f lavfi -i \"testsrc2=s=384x216:r=25:d=6[bg];color=s=96x54:r=25:d=6,format=yuv420p,"
    "geq=lum='16+8*mod(N\\,25)':cb=128:cr=128[box];[bg][box]overlay,format=yuv420p\" "
    "-f lavfi -i \"aevalsrc='if(lt(mod(t\\,1)\\,0.04)\\,0.5*sin(2*PI*1000*t)\\,0)':s=44100:d=6\" "
    "-c:v mjpeg -q:v 3 -c:a pcm_s16le -shortest";

class Join : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        make_clip(source(), kSource);
    }
    static void TearDownTestSuite() { delete dir_; }
    static fs::path source() { return *dir_ / "source.avi"; }

    // One segment of the run over the stretch, encoded as a job of the run sets it up.
    static fs::path encode(const char* profile, int in, int out, const std::string& name) {
        const fs::path file = *dir_ / (name + ".wmv");
        if (fs::exists(file)) return file;
        auto job = make_job(source(), file, profile);
        job->video->setStretch(kStretchIn, -1);
        job->audio->setStretch(kStretchIn, -1);
        EXPECT_EQ(testing::encode(*job, in, out), (std::vector<int>{1, 2, 5})) << name;
        return file;
    }
    static std::vector<fs::path> segments(const char* profile, const std::string& tag) {
        std::vector<fs::path> files;
        for (int i = 0; i + 1 < 4; ++i) files.push_back(encode(profile, kCuts[i], kCuts[i + 1], tag + std::to_string(i)));
        return files;
    }
    static shardex::join::JoinResult join(const std::vector<fs::path>& files, const fs::path& out,
                                          std::function<bool()> cancelled = {}) {
        shardex::join::JoinRequest r;
        for (const auto& f : files) r.inputs.push_back(f.string());
        r.output = out.string();
        r.cancelled = std::move(cancelled);
        return shardex::join::join_segments(r);
    }

    static TempDir* dir_;
};
TempDir* Join::dir_ = nullptr;

// The number of the picture an accurate seek to `t` seconds shows.
int number_after_seek(const fs::path& file, double t) {
    const std::string out = run("ffmpeg -v error -ss " + std::to_string(t) + " -i '" + file.string() +
                                          "' -frames:v 1 -vf crop=iw/8:ih/8:0:0,signalstats,"
                                          "metadata=print:key=lavfi.signalstats.YAVG:file=- -f null - 2>/dev/null");
    const auto at = out.find("YAVG=");
    return at == std::string::npos ? -1 : static_cast<int>(std::lround((std::atof(out.c_str() + at + 5) - 16) / 8)) % 25;
}

// The worst of every 5 ms window within 100 ms of `seam`: the sound's SNR against `ref` and
// its level's distance from ref's, in dB.
std::pair<double, double> worst_windows(const Sound& s, const Sound& ref, double seam) {
    double snr = 1e9, level = 0;
    const int n = ref.rate / 200;
    for (double t = seam - 0.1; t < seam + 0.1; t += 0.005) {
        const auto from = static_cast<std::size_t>(std::max(0.0, (t - ref.start) * ref.rate));
        double signal = 0, noise = 0, power = 0;
        for (std::size_t i = from; i < from + n && i < ref.samples.size() && i < s.samples.size(); ++i) {
            signal += double(ref.samples[i]) * ref.samples[i];
            power += double(s.samples[i]) * s.samples[i];
            noise += (double(s.samples[i]) - ref.samples[i]) * (double(s.samples[i]) - ref.samples[i]);
        }
        if (signal < 1e-6) continue;  // silence: no level to compare
        snr = std::min(snr, noise > 0 ? 10 * std::log10(signal / noise) : 1e9);
        level = std::max(level, std::fabs(10 * std::log10((power + 1e-12) / signal)));
    }
    return {snr, level};
}

}  // namespace

TEST_F(Join, JoinedFileIsTheEncodeOfTheWholeStretch) {
    struct Case {
        const char* profile;
        double fps;
    };
    // The source's own rate, and a conversion from 25 to 29.97 fps whose grid must run on
    // across the seams.
    for (const Case& c : {Case{kPal, 25.0}, Case{kLan, 30000.0 / 1001.0}}) {
        SCOPED_TRACE(c.profile);
        const std::string tag = c.fps == 25.0 ? "pal" : "lan";
        const fs::path whole = encode(c.profile, kStretchIn, -1, tag + "_whole");
        const fs::path joined = *dir_ / (tag + "_joined.wmv");
        const auto result = join(segments(c.profile, tag), joined);
        ASSERT_TRUE(result.completed);

        const auto pics = pictures_of(joined), wholePics = pictures_of(whole);
        ASSERT_EQ(pics.number.size(), wholePics.number.size());
        EXPECT_EQ(pics.number, wholePics.number);
        for (std::size_t i = 1; i < pics.time.size(); ++i)
            ASSERT_NEAR(pics.time[i] - pics.time[i - 1], 1 / c.fps, 0.0011) << "picture " << i;
        if (c.fps == 25.0) {  // every source frame once, from the stretch's first (frame 13, 0.52 s)
            for (std::size_t i = 0; i < pics.number.size(); ++i) ASSERT_EQ(pics.number[i], int(13 + i) % 25) << i;
        }

        const auto sound = sound_of(joined), wholeSound = sound_of(whole);
        EXPECT_EQ(sound.samples.size(), wholeSound.samples.size());
        EXPECT_DOUBLE_EQ(sound.start, wholeSound.start);
        for (int cut : {kCuts[1], kCuts[2]}) {
            SCOPED_TRACE(cut);
            const double seam = (cut - kStretchIn) / 1000.0;
            const auto [snr, level] = worst_windows(sound, wholeSound, seam);
            EXPECT_GE(snr, 40.0);
            EXPECT_LE(level, 1.0);
            // The beep cut by the seam, and the picture of its second, where they belong.
            const double beep = std::floor(cut / 1000.0) - kStretchIn / 1000.0;
            EXPECT_NEAR(beep_middle(sound, beep - 0.2, beep + 0.2), beep + 0.02, 0.002);
            std::size_t flash = 0;
            while (flash < pics.time.size() && !(pics.number[flash] == 0 && pics.time[flash] > beep - 0.1)) ++flash;
            ASSERT_LT(flash, pics.time.size());
            EXPECT_NEAR(pics.time[flash], wholePics.time[flash], 0.002);
            if (c.fps == 25.0) {
                EXPECT_NEAR(pics.time[flash], beep, 0.002);
            }
        }

        EXPECT_EQ(run("ffprobe -v warning '" + joined.string() + "' 2>&1"), "");
        const auto info = probe(joined, "format=duration,start_time:stream=display_aspect_ratio");
        EXPECT_EQ(value_of(info, "duration"),
                  value_of(probe(whole, "format=duration"), "duration"));
        EXPECT_EQ(value_of(info, "display_aspect_ratio"), "16:9");
        // (The tool's seek counts from the file's start: the sound's, which primes its encoder.)
        std::size_t at = 0;
        while (at < pics.time.size() && pics.time[at] < 2.5 + std::atof(value_of(info, "start_time").c_str())) ++at;
        EXPECT_EQ(number_after_seek(joined, 2.5), pics.number.at(at));
    }
}

TEST_F(Join, FilesThatDoNotMakeOneStretchAreRefused) {
    const auto pal = segments(kPal, "pal"), lan = segments(kLan, "lan");
    const fs::path whole = encode(kPal, kStretchIn, -1, "pal_whole");
    struct Refusal {
        const char* what;
        std::vector<fs::path> files;
        const char* says;
    };
    const Refusal refusals[] = {
        {"another profile", {pal[0], lan[1], pal[2]}, "another profile"},
        {"a gap", {pal[0], pal[2]}, "nothing holds 2.020 s to 4.000 s"},
        {"an overlap", {whole, pal[1]}, "overlap from 2.020 s to 4.000 s"},
        {"one file twice", {pal[0], pal[1], pal[1], pal[2]}, "given twice"},
        {"not a segment", {source()}, "not a segment made by Shardex"},
    };
    TempDir out;
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.what);
        try {
            join(r.files, out / "joined.wmv");
            ADD_FAILURE() << "joined";
        } catch (const shardex::Error& e) {
            EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
        }
        EXPECT_TRUE(fs::is_empty(out.path())) << "a failed join leaves nothing behind";
    }
    // A cancelled join leaves nothing either.
    EXPECT_FALSE(join(pal, out / "joined.wmv", [] { return true; }).completed);
    EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST(SegmentTag, ReadsBackWhatItWritesAndNothingElse) {
    shardex::encoder::SegmentTag t;
    t.stretchStartMs = 500;
    t.stretchEndMs = t.endMs = 6000;
    t.startMs = 2020;
    t.fpsNum = 30000;
    t.fpsDen = 1001;
    t.firstSlot = 45;
    t.soundFrame = 2048;
    t.profile = "A profile = with spaces";
    const auto back = shardex::encoder::SegmentTag::parse(t.text());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->text(), t.text());
    // A header from another computer is hostile: each of these is refused.
    const std::string good = t.text();
    auto with = [&](const std::string& from, const std::string& to) {
        std::string x = good;
        return x.replace(x.find(from), from.size(), to);
    };
    for (const std::string& bad :
         {std::string(), std::string("shardex-segment/2") + good.substr(17), with(" slot=45", ""),
          with(" slot=45", " slot=45 slot=46"), with("slot=45", "slot=-1"), with("slot=45", "slot=4x"),
          with("slot=45", "slot=99999999999999999999"), with("segment=2020:6000", "segment=7000:6000"),
          with("fps=30000/1001", "fps=30000/0"), with("soundframe=2048", "soundframe=99999999"),
          with(" profile=", " name=")}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(shardex::encoder::SegmentTag::parse(bad));
    }
}

}  // namespace shardex::testing

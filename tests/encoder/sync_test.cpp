// Picture and sound of a segment: each output starts on the right source frame at the right
// time, and its sound is in step with its picture, whatever the source's container, codec
// and timing. The clips number their frames in the brightness of a corner box and beep at
// the instant of frame 125 (5 s at 25 fps).
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "support/job.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::testing {
namespace {

constexpr const char* kPal = "Windows Media Video 8 for Broadband (PAL, 384 Kbps)";
constexpr double kBeep = 5.0;  // source seconds: frame 125

// Frame n's corner box has luma 16 + 8 * (n mod 25), over a moving picture.
const std::string kNumbered =
    "-f lavfi -i \"testsrc2=s=320x240:r=25:d=10[bg];color=s=80x60:r=25:d=10,format=yuv420p,"
    "geq=lum='16+8*mod(N\\,25)':cb=128:cr=128[box];[bg][box]overlay,format=yuv420p\" ";
std::string beep_at(double t, double duration, const std::string& extra = "") {
    std::ostringstream s;
    s << "-f lavfi -i \"aevalsrc='if(between(t\\," << t << "\\," << t + 0.1 << ")\\,0.5*sin(2*PI*1000*t)\\,0)':s=44100:d="
      << duration << extra << "\" ";
    return s.str();
}

double rms(const Sound& s, double from, double to) {
    double sum = 0;
    std::size_t n = 0;
    for (auto i = static_cast<std::size_t>(std::max(0.0, (from - s.start) * s.rate));
         i < s.samples.size() && i < static_cast<std::size_t>((to - s.start) * s.rate); ++i, ++n)
        sum += static_cast<double>(s.samples[i]) * s.samples[i];
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0;
}

class Sync : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_.emplace("shardex-sync");
        auto make = [](const std::string& name, const std::string& args) { make_clip(*dir_ / name, args); };
        const std::string pcm = "-c:a pcm_s16le -shortest";
        make("mjpeg.avi", kNumbered + beep_at(kBeep, 10) + "-c:v mjpeg -q:v 3 " + pcm);
        make("mpeg4.avi", kNumbered + beep_at(kBeep, 10) + "-c:v mpeg4 -bf 2 -q:v 3 " + pcm);
        make("h264.avi", kNumbered + beep_at(kBeep, 10) + "-c:v libx264 -bf 2 -preset veryfast " + pcm);
        // Sound starting 1 s after the picture (AVI cannot keep such an offset; Matroska can).
        make("late.mkv", kNumbered + "-itsoffset 1 " + beep_at(kBeep - 1, 9) + "-c:v mjpeg -q:v 3 " + pcm);
        // Sound with a 0.5 s hole at 2 s: what follows keeps its place.
        make("hole.mkv", kNumbered + beep_at(kBeep, 10, ",aselect='not(between(t\\,2\\,2.5))'") + "-c:v mjpeg -q:v 3 " +
                             pcm);
        // A transport stream whose only key frame is its first: seeks there land anywhere.
        make("h264.ts", kNumbered + beep_at(kBeep, 10) + "-c:v libx264 -bf 2 -preset veryfast -c:a mp2 -shortest");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static fs::path clip(const std::string& name) { return *dir_ / name; }

    fs::path encoded(const std::string& name, int markIn, int markOut) {
        auto out = tmp_ / (name + "_" + std::to_string(markIn) + "_" + std::to_string(markOut) + ".wmv");
        auto job = make_job(clip(name), out, kPal);
        EXPECT_EQ(encode(*job, markIn, markOut), (std::vector<int>{1, 2, 5})) << name;
        return out;
    }

    static inline std::optional<TempDir> dir_;
    TempDir tmp_;
};

TEST_F(Sync, PictureAndSoundStartAtTheMarkInAndStayTogether) {
    struct Case {
        const char* clip;
        int markIn, markOut;
    };
    const Case cases[] = {
        {"mjpeg.avi", 3000, 7000}, {"mpeg4.avi", 3000, 7000}, {"h264.avi", 3000, 7000},
        {"late.mkv", 3000, 7000},  {"late.mkv", 0, 6000},     {"hole.mkv", 3000, 7000},
        {"hole.mkv", 1000, 7000},  // the hole inside the segment becomes silence
        {"mjpeg.avi", 3010, 7000},  // mark-in between two frames
        {"mpeg4.avi", 3010, 7000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.clip) + " from " + std::to_string(c.markIn));
        const auto out = encoded(c.clip, c.markIn, c.markOut);
        const double markIn = c.markIn / 1000.0;
        const auto pics = pictures_of(out);
        ASSERT_FALSE(pics.time.empty());
        // The first picture is the first source frame at or after the mark-in, shown at its
        // own distance from it.
        const int firstFrame = (c.markIn + 39) / 40;
        EXPECT_EQ(pics.number[0], firstFrame % kCycle);
        EXPECT_NEAR(pics.time[0], firstFrame * 0.04 - markIn, 0.0015);
        // Frame 125 and the beep: together, and where they belong.
        const std::size_t flash = static_cast<std::size_t>(125 - firstFrame);
        ASSERT_LT(flash, pics.time.size());
        EXPECT_EQ(pics.number[flash], 125 % kCycle);
        EXPECT_NEAR(pics.time[flash], kBeep - markIn, 0.005);
        EXPECT_NEAR(beep_middle(sound_of(out)), kBeep + 0.05 - markIn, 0.005);
    }
}

TEST_F(Sync, ConsecutiveSegmentsOfABFrameSourceHoldEveryFrameOnce) {
    for (const char* name : {"mpeg4.avi", "h264.avi"}) {
        SCOPED_TRACE(name);
        std::vector<int> numbers;
        for (auto [in, out] : {std::pair{0, 3010}, std::pair{3010, 6500}, std::pair{6500, -1}}) {
            const auto pics = pictures_of(encoded(name, in, out));
            numbers.insert(numbers.end(), pics.number.begin(), pics.number.end());
        }
        ASSERT_EQ(numbers.size(), 250u);
        for (std::size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], static_cast<int>(i % kCycle)) << "picture " << i;
    }
    // A one-second segment from 5 s starts on frame 125 and holds 25 frames.
    const auto pics = pictures_of(encoded("h264.avi", 5000, 6000));
    ASSERT_EQ(pics.number.size(), 25u);
    EXPECT_EQ(pics.number.front(), 125 % kCycle);
}

TEST_F(Sync, SeeksThatLandLateGoFurtherBack) {
    for (auto [in, out, first, count] : {std::tuple{0, 2000, 0, 50}, std::tuple{3040, 5000, 76, 49}}) {
        SCOPED_TRACE(in);
        const auto pics = pictures_of(encoded("h264.ts", in, out));
        ASSERT_EQ(pics.number.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(pics.number.front(), first % kCycle);
    }
}

TEST(SyncTone, SoundLastsTheWholeSegmentAtFullLevel) {
    // A steady tone cut after exactly 64 of the encoder's frames (512 samples at 16 kHz): its
    // last 40 ms keep the level of the rest, and the sound's packets and decoded samples
    // reach the mark-out.
    TempDir tmp;
    auto src = tmp / "tone.wav";
    make_clip(src, "-f lavfi -i sine=f=440:d=4:r=16000 -c:a pcm_s16le");
    auto out = tmp / "tone.wma";
    auto job = make_job(src, out, "Windows Media Audio 8 for Dial-up Modem (Mono, 28.8 Kbps)");
    EXPECT_EQ(encode(*job, 1000, 3048), (std::vector<int>{1, 2, 5}));
    const auto sound = sound_of(out);
    const double middle = rms(sound, 0.5, 1.5), tail = rms(sound, 2.008, 2.048);
    ASSERT_GT(middle, 0.01);
    EXPECT_NEAR(20 * std::log10(tail / middle), 0.0, 1.0);
    const double decodedEnd = sound.start + static_cast<double>(sound.samples.size()) / sound.rate;
    EXPECT_GE(decodedEnd, 2.048);
    auto last = run("ffprobe -v error -select_streams a:0 -show_entries packet=pts_time,duration_time -of csv=p=0 '" +
                              out.string() + "' | tail -1");
    double pts = 0, dur = 0;
    ASSERT_EQ(std::sscanf(last.c_str(), "%lf,%lf", &pts, &dur), 2) << last;
    EXPECT_NEAR(pts + dur, 2.048, 0.002);
}

// A source whose sound jumps 30 ms ahead (a gap) or back (an overlap) at 0.5 s: the gap becomes
// silence and the overlap is dropped, so the beep after it stays where its timestamps put it.
TEST(SyncTone, AGapOrAnOverlapInTheSoundKeepsWhatFollowsInStep) {
    TempDir tmp;
    for (double jump : {0.03, -0.03}) {
        SCOPED_TRACE(jump);
        std::ostringstream shift;
        shift << ",asetnsamples=n=441,asetpts=PTS+if(gte(T\\,0.5)\\," << jump << "/TB\\,0)";
        make_clip(tmp / "jump.mkv", beep_at(0.6, 1.5, shift.str()) + "-c:a pcm_s16le");
        auto job = make_job(tmp / "jump.mkv", tmp / "jump.wma", "Windows Media Audio 8 for Dial-up Modem (Mono, 28.8 Kbps)");
        EXPECT_EQ(encode(*job, 0, 1500), (std::vector<int>{1, 2, 5}));
        EXPECT_NEAR(beep_middle(sound_of(tmp / "jump.wma")), 0.65 + jump, 0.005);
    }
}

}  // namespace
}  // namespace shardex::testing

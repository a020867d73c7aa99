// Bit rates: a file keeps to its profile's total (sound plus pictures, the container included),
// in one pass and in two, measured from its size and its packets' media time as ffprobe reads
// them; and two passes over a segment too dense for the rate still give a whole file.
#include <gtest/gtest.h>

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/encoder/profiles.h"
#include "support/job.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::testing {
namespace {

using namespace encoder;

// What FFmpeg's libraries say while an encode runs (on its own thread).
std::mutex logMutex;
std::string logText;
void collect(void*, int level, const char* fmt, va_list args) {
    if (level > AV_LOG_INFO) return;
    std::string line(1024, '\0');
    line.resize(static_cast<std::size_t>(std::clamp(std::vsnprintf(line.data(), line.size(), fmt, args), 0, 1023)));
    std::lock_guard lock(logMutex);
    logText += line;
}

// Seconds from the earliest packet's start to the latest packet's end, over all streams.
double media_seconds(const fs::path& file) {
    std::istringstream in(run("ffprobe -v error -show_entries packet=pts_time,duration_time -of csv=p=0 '" + file.string() +
                              "' 2>/dev/null"));
    double first = 1e18, last = 0;
    for (std::string line; std::getline(in, line);) {
        double pts = 0, dur = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &dur) < 1) continue;
        first = std::min(first, pts);
        last = std::max(last, pts + dur);
    }
    return last > first ? last - first : 0;
}

struct RateCase {
    const char* label;
    const char* profile;
    bool twoPass;
};
void PrintTo(const RateCase& c, std::ostream* os) { *os << c.label << (c.twoPass ? ", two passes" : ", one pass"); }

// Ten seconds of fine moving detail and a tone: each profile fixes its own frame size, and a
// dial-up file grows by whole 3,200-byte packets (one is 2.6 kbit/s of ten seconds).
class Rate : public ::testing::TestWithParam<RateCase> {
protected:
    static void SetUpTestSuite() {
        dir_.emplace("shardex-rate");
        make_clip(*dir_ / "src.avi", "-f lavfi -i mandelbrot=s=320x240:r=30000/1001 -f lavfi -i sine=d=10:r=44100 -ac 2 "
                                     "-t 10 -c:v mjpeg -q:v 3 -c:a pcm_s16le");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static inline std::optional<TempDir> dir_;
};

TEST_P(Rate, FileKeepsToTheProfilesTotalRate) {
    const RateCase& c = GetParam();
    const ProfileData& p = *std::find_if(stock_profiles().begin(), stock_profiles().end(),
                                         [&](const auto& p) { return p.name == c.profile; });
    const double target = (p.hasVideo() ? p.audiences[0].videoBitrate : 0) + (p.hasAudio() ? p.audiences[0].audioBitrate : 0);
    logText.clear();
    av_log_set_callback(collect);
    auto job = make_job(*dir_ / "src.avi", *dir_ / "out.wmv", c.profile);
    if (c.twoPass) job->video->setPreProcessPass(1);
    encode(*job);
    av_log_set_callback(av_log_default_callback);
    EXPECT_TRUE(job->events.errors.empty());
    const double seconds = media_seconds(*dir_ / "out.wmv");
    ASSERT_GT(seconds, 9.5) << "the file lost media time";
    const double rate = static_cast<double>(fs::file_size(*dir_ / "out.wmv")) * 8 / seconds;
    EXPECT_NEAR(rate / target, 1.0, 0.05) << rate / 1000 << " kbit/s against " << target / 1000 << " kbit/s";
    // A mean asked to equal its own ceiling is a request FFmpeg's rate control cannot meet.
    std::lock_guard lock(logMutex);
    EXPECT_EQ(logText.find("impossible bitrate constraints"), std::string::npos) << logText;
}

INSTANTIATE_TEST_SUITE_P(
    StockProfiles, Rate,
    ::testing::Values(RateCase{"Lan768", kLan768, false}, RateCase{"Lan768", kLan768, true},
                      RateCase{"DialUp56", "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)", false},
                      RateCase{"DialUp56", "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)", true}),
    [](const auto& info) { return std::string(info.param.label) + (info.param.twoPass ? "_TwoPass" : "_OnePass"); });

// FFmpeg's final pass refuses a rate no quantiser can hold (dense noise at dial-up rates) and
// then frees its state twice, which took the program down: such a segment gets one pass.
TEST(RateLimits, TwoPassOverASegmentTooDenseForTheRateStillEncodesIt) {
    TempDir tmp;
    make_clip(tmp / "noise.avi", "-f lavfi -i testsrc2=s=320x240:r=30000/1001:d=3,noise=alls=60:allf=t "
                                 "-f lavfi -i sine=d=3:r=44100 -ac 2 -c:v mjpeg -q:v 3 -c:a pcm_s16le");
    auto job = make_job(tmp / "noise.avi", tmp / "out.wmv", "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)");
    job->video->setPreProcessPass(1);
    encode(*job);
    EXPECT_TRUE(job->events.errors.empty());
    EXPECT_NEAR(frame_count(tmp / "out.wmv"), 45, 1);  // 3 s at 15 fps
    EXPECT_GT(media_seconds(tmp / "out.wmv"), 2.9);
}

}  // namespace
}  // namespace shardex::testing

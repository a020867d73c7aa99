// Bit rates: a file keeps to its profile's total (sound plus pictures, the container
// included), in one pass and in two, measured from the file's size and its packets' media
// time as ffprobe reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/encoder/profiles.h"
#include "support.h"

using namespace shardex::encoder;

namespace {

// What FFmpeg's libraries say while a test runs (the encoder works on its own thread).
class LibraryLog {
public:
    LibraryLog() : level_(av_log_get_level()) {
        std::lock_guard lock(mutex_);
        text_.clear();
        av_log_set_level(AV_LOG_INFO);
        av_log_set_callback(&LibraryLog::collect);
    }
    ~LibraryLog() {
        av_log_set_callback(av_log_default_callback);
        av_log_set_level(level_);
    }
    std::string text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    static void collect(void*, int level, const char* fmt, va_list args) {
        if (level > AV_LOG_INFO) return;
        std::string line(1024, '\0');
        const int n = std::vsnprintf(line.data(), line.size(), fmt, args);
        line.resize(static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(line.size()) - 1)));
        std::lock_guard lock(mutex_);
        text_ += line;
    }
    int level_;
    static std::mutex mutex_;
    static std::string text_;
};
std::mutex LibraryLog::mutex_;
std::string LibraryLog::text_;

// Seconds from the earliest packet's start to the latest packet's end, over all streams.
double media_seconds(const enc_test::fs::path& file) {
    std::istringstream in(enc_test::run("ffprobe -v error -show_entries packet=pts_time,duration_time -of csv=p=0 '" +
                                        file.string() + "' 2>/dev/null"));
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

struct RateCase {
    const char* label;  // test name
    const char* profile;
    bool twoPass;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.label << (c.twoPass ? ", two passes" : ", one pass"); }

class Rate : public ::testing::TestWithParam<RateCase> {
protected:
    // A moving picture with fine detail and a tone, shared by the cases: ten seconds, since
    // each profile fixes its own frame size and a dial-up file grows by whole 3,200-byte
    // packets (one is 2.6 kbit/s of a ten-second file).
    static void SetUpTestSuite() {
        dir_ = new enc_test::TempDir;
        source_ = *dir_ / "src.avi";
        enc_test::make_clip(source_, "-f lavfi -i mandelbrot=s=320x240:r=30000/1001 -f lavfi -i sine=d=10:r=44100 "
                                     "-ac 2 -t 10 -c:v mjpeg -q:v 3 -c:a pcm_s16le");
    }
    static void TearDownTestSuite() { delete dir_; }
    static enc_test::TempDir* dir_;
    static enc_test::fs::path source_;
    enc_test::TempDir tmp_;
};
enc_test::TempDir* Rate::dir_ = nullptr;
enc_test::fs::path Rate::source_;

}  // namespace

TEST_P(Rate, FileKeepsToTheProfilesTotalRate) {
    const RateCase& c = GetParam();
    const ProfileData* profile = nullptr;
    for (const auto& p : stock_profiles())
        if (p.name == c.profile) profile = &p;
    ASSERT_NE(profile, nullptr) << c.profile;
    const AudienceData& a = profile->audiences.front();
    const double target = (profile->hasVideo() ? a.videoBitrate : 0) + (profile->hasAudio() ? a.audioBitrate : 0);

    LibraryLog log;
    auto out = tmp_ / "out.wmv";
    auto job = enc_test::make_job(source_, out, c.profile);
    if (c.twoPass) job->video->setPreProcessPass(1);
    enc_test::encode(*job);
    EXPECT_TRUE(job->events.errors.empty());

    const double seconds = media_seconds(out);
    ASSERT_GT(seconds, 9.5) << "the file lost media time";
    const double rate = static_cast<double>(enc_test::fs::file_size(out)) * 8 / seconds;
    EXPECT_NEAR(rate / target, 1.0, 0.05) << "file " << rate / 1000 << " kbit/s against " << target / 1000
                                          << " kbit/s over " << seconds << " s";
    // A mean asked to equal its own ceiling is a request FFmpeg's rate control says it
    // cannot meet.
    EXPECT_EQ(log.text().find("impossible bitrate constraints"), std::string::npos) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    StockProfiles, Rate,
    ::testing::Values(RateCase{"Lan768", "Windows Media Video 8 for Local Area Network (768 Kbps)", false},
                      RateCase{"Lan768", "Windows Media Video 8 for Local Area Network (768 Kbps)", true},
                      RateCase{"Broadband1400", "Windows Media Video 8 for Broadband (NTSC, 1400 Kbps)", false},
                      RateCase{"Broadband1400", "Windows Media Video 8 for Broadband (NTSC, 1400 Kbps)", true},
                      RateCase{"DialUp56", "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)",
                               false},
                      RateCase{"DialUp56", "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)",
                               true}),
    [](const ::testing::TestParamInfo<RateCase>& info) {
        return std::string(info.param.label) + (info.param.twoPass ? "_TwoPass" : "_OnePass");
    });

// Two passes over a segment no quantiser can hold to the rate (dense noise at dial-up
// rates): FFmpeg's final pass refuses such a rate and then frees its state twice, which
// took the program down. The segment is encoded in one pass instead, into a whole file.
TEST(RateLimits, TwoPassOverASegmentTooDenseForTheRateStillEncodesIt) {
    enc_test::TempDir tmp;
    auto source = tmp / "noise.avi";
    enc_test::make_clip(source, "-f lavfi -i testsrc2=s=320x240:r=30000/1001:d=3,noise=alls=60:allf=t "
                                "-f lavfi -i sine=d=3:r=44100 -ac 2 -c:v mjpeg -q:v 3 -c:a pcm_s16le");
    auto out = tmp / "out.wmv";
    auto job = enc_test::make_job(source, out, "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (56 to 64 Kbps)");
    job->video->setPreProcessPass(1);
    enc_test::encode(*job);
    EXPECT_TRUE(job->events.errors.empty());
    EXPECT_NEAR(enc_test::frame_count(out), 45, 1);  // 3 s at 15 fps
    EXPECT_GT(media_seconds(out), 2.9);
}

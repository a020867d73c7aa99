// Encodes of a 10 s source at 29.97 fps with sound through the component's interface, checked
// with ffprobe: frame-exact segments, the pause path, what prepare refuses, damaged
// and soundless sources, every stock profile, and the encoded pictures handed to a window.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "platform/encoder/errors.h"
#include "platform/encoder/factory.h"
#include "platform/encoder/profiles.h"
#include "platform/frames/frame_sink.h"
#include "support/job.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::testing {
namespace {

using namespace encoder;
const std::vector<int> kNormalRun{1, 2, 5};

class Encode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_.emplace("shardex-encode");
        make_clip(source_ = *dir_ / "src.avi", "-f lavfi -i testsrc2=s=160x120:r=30000/1001:d=10 -f lavfi -i "
                                               "sine=d=10:r=44100 -c:v mjpeg -q:v 4 -c:a pcm_s16le");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static inline std::optional<TempDir> dir_;
    static inline fs::path source_;
    TempDir tmp_;
};

TEST_F(Encode, SegmentHoldsExactlyTheMarkedFramesFromTimeZero) {
    auto job = make_job(source_, tmp_ / "seg.wmv");
    auto info = job->encoder->displayInfo();
    info->setTitle("Shardex demo");
    info->setAuthor("Ann");
    info->setCopyright("example.org");
    info->setDescription("a test");
    EXPECT_EQ(encode(*job, 3000, 7000), kNormalRun);
    EXPECT_TRUE(job->events.errors.empty());
    EXPECT_EQ(job->video->duration(), 10010);
    const std::string probed =
        probe(tmp_ / "seg.wmv", "format=format_name:format_tags:stream=codec_name,width,height,r_frame_rate,start_time");
    // The mark-in is time zero: frame 90 (3.003 s) is shown 3 ms after it.
    for (const auto& [key, value] : {std::pair{"format_name", "asf"}, {"codec_name", "wmv2"}, {"width", "320"},
                                     {"height", "240"}, {"r_frame_rate", "30000/1001"}, {"start_time", "0.003000"},
                                     {"TAG:title", "Shardex demo"}, {"TAG:artist", "Ann"},
                                     {"TAG:copyright", "example.org"}, {"TAG:comment", "a test"}})
        EXPECT_EQ(value_of(probed, key), value) << key;
    EXPECT_EQ(formats(tmp_ / "seg.wmv"), "asf wmv2 wmav2");
    EXPECT_EQ(frame_count(tmp_ / "seg.wmv"), 120);
    // The sound covers the same four seconds (within one audio frame); the figures are live.
    EXPECT_NEAR(std::stod(value_of(probe(tmp_ / "seg.wmv", "stream=duration", "-select_streams a:0"), "duration")), 4.0, 0.1);
    auto stats = job->encoder->statistics();
    EXPECT_EQ(stats->archiveFileSize().raw, static_cast<std::int64_t>(fs::file_size(tmp_ / "seg.wmv")));
    EXPECT_NEAR(static_cast<double>(stats->archiveFileDuration().raw), 4000.0, 100.0);
    EXPECT_GT(stats->outputBitrate(), 300000);
}

// A mark-out past the end, or none, runs to the end; an empty segment (a load of 0) must not
// turn into the rest of the source.
TEST_F(Encode, MarksPastTheEndRunToItAndEmptySegmentsGiveEmptyFiles) {
    const struct {
        int markIn, markOut, frames;
    } cases[] = {{9000, -1, 30}, {9000, 60000, 30}, {0, 0, -1}, {9000, 9000, -1}, {9000, 5000, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.markIn) + ".." + std::to_string(c.markOut));
        const fs::path out = tmp_ / ("m" + std::to_string(c.markIn) + "_" + std::to_string(c.markOut) + ".wmv");
        auto job = make_job(source_, out);
        EXPECT_EQ(encode(*job, c.markIn, c.markOut), kNormalRun);
        EXPECT_EQ(frame_count(out) <= 0 ? -1 : frame_count(out), c.frames);
        EXPECT_EQ(value_of(probe(out, "format=format_name"), "format_name"), "asf");
    }
}

TEST_F(Encode, PauseHoldsTheEncodeAndResumeFinishesIt) {
    auto job = make_job(source_, tmp_ / "paused.wmv");
    job->encoder->prepare(true);
    job->encoder->start();
    job->encoder->pause();
    EXPECT_EQ(job->encoder->runState(), kStatePaused);
    bool resumed = false;
    EXPECT_TRUE(job->events.waitStopped(60s, [&] {
        const auto& st = job->events.states;
        if (resumed || std::find(st.begin(), st.end(), kStatePaused) == st.end()) return;
        // Halted, as the worker reported: nothing moves until the resume.
        const auto before = job->encoder->statistics()->archiveFileDuration().raw;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(job->encoder->statistics()->archiveFileDuration().raw, before);
        job->encoder->resume();
        resumed = true;
    }));
    EXPECT_EQ(job->events.states, (std::vector<int>{1, 2, 3, 2, 5}));
    EXPECT_EQ(frame_count(tmp_ / "paused.wmv"), 300);
}

// A set-up that cannot encode is refused at prepare, saying what is missing, and touches nothing.
TEST_F(Encode, PrepareRefusesWhatCannotBeEncodedSayingWhy) {
    write_file(tmp_ / "plain", "x");
    write_file(tmp_ / "text.avi", "this is not a video file, only some words\n");
    const std::string cannot = "cannot create output file '";
    const struct {
        fs::path source, output;
        std::string says;
        int code;
    } cases[] = {
        {source_, "", "no output file set", errors::kOutputUnavailable},
        {source_, tmp_ / "plain" / "x.wmv", cannot + (tmp_ / "plain" / "x.wmv").string() + "': Not a directory",
         errors::kOutputUnavailable},
        {tmp_ / "nothere.avi", tmp_ / "x.wmv",
         "cannot open source '" + (tmp_ / "nothere.avi").string() + "': No such file or directory", errors::kSourceUnreadable},
        {tmp_ / "text.avi", tmp_ / "x.wmv", "cannot open source '", errors::kSourceUnreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        auto job = make_job(c.source, c.output);
        try {
            job->encoder->prepare(true);
            ADD_FAILURE() << "prepare succeeded";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            if (!c.output.empty()) {
                EXPECT_EQ(e.code(), c.code) << e.what();
            }
        }
        EXPECT_TRUE(job->events.states.empty());
    }
    EXPECT_EQ(read_file(tmp_ / "plain"), "x");
}

// A source cut in half encodes what it holds; one without sound and of an odd size gets a
// silent track and the profile's size.
TEST_F(Encode, DamagedAndSoundlessSourcesEncodeWhatTheyHold) {
    const std::string bytes = read_file(source_);
    write_file(tmp_ / "cut.avi", bytes.substr(0, bytes.size() / 2));
    make_clip(tmp_ / "mute.avi", "-f lavfi -i testsrc2=s=161x121:r=25:d=2 -c:v mpeg4 -q:v 5");
    auto cut = make_job(tmp_ / "cut.avi", tmp_ / "cut.wmv");
    EXPECT_EQ(encode(*cut), kNormalRun);
    EXPECT_GT(frame_count(tmp_ / "cut.wmv"), 60);
    EXPECT_LT(frame_count(tmp_ / "cut.wmv"), 300);
    auto mute = make_job(tmp_ / "mute.avi", tmp_ / "mute.wmv");
    EXPECT_EQ(encode(*mute), kNormalRun);
    EXPECT_TRUE(mute->events.errors.empty());
    EXPECT_EQ(formats(tmp_ / "mute.wmv"), "asf wmv2 wmav2");
    EXPECT_EQ(value_of(probe(tmp_ / "mute.wmv", "stream=width"), "width"), "320");
    EXPECT_EQ(frame_count(tmp_ / "mute.wmv"), 60);  // 2 s at 25 fps re-timed to 29.97 fps
    EXPECT_NE(run("ffmpeg -v info -i '" + (tmp_ / "mute.wmv").string() + "' -af volumedetect -f null - 2>&1")
                  .find("max_volume: -91"),
              std::string::npos);
}

TEST_F(Encode, EveryStockProfileEncodes) {
    make_clip(tmp_ / "short.avi", "-f lavfi -i testsrc2=s=320x240:r=30:d=1 -f lavfi -i sine=d=1:r=48000 -c:v mjpeg "
                                  "-c:a pcm_s16le");
    int i = 0;
    for (const auto& p : stock_profiles()) {
        SCOPED_TRACE(p.name);
        const fs::path out = tmp_ / ("p" + std::to_string(i++) + ".wmv");
        auto job = make_job(tmp_ / "short.avi", out, p.name);
        if (p.videoMode == kModeVbrPeak || p.videoMode == kModeVbrUnconstrained) job->video->setPreProcessPass(1);
        EXPECT_EQ(encode(*job), kNormalRun);
        EXPECT_TRUE(job->events.errors.empty());
        const auto& a = p.audiences[0];
        EXPECT_EQ(formats(out), std::string("asf") + (p.hasVideo() ? a.videoCodec == 1 ? " wmv1" : " wmv2" : "") +
                                    (p.hasAudio() ? " wmav2" : ""));
        if (p.hasVideo()) {
            EXPECT_EQ(probe(out, "stream=width,height", "-select_streams v:0"),
                      "width=" + std::to_string(a.width) + "\nheight=" + std::to_string(a.height) + "\n");
        }
    }
}

struct CountingSink : frames::FrameSink {
    void present(std::shared_ptr<const frames::VideoFrame> f) override {
        std::lock_guard lock(m);
        ++count;
        last = std::move(f);
    }
    std::mutex m;
    int count = 0;
    std::shared_ptr<const frames::VideoFrame> last;
};

TEST_F(Encode, DataViewShowsAtMostFifteenEncodedPicturesASecond) {
    CountingSink sink;
    const WindowHandle window = 0x5eed;
    frames::register_sink(window, &sink);
    auto job = make_job(source_, tmp_ / "view.wmv");
    auto view = create_data_view();
    const int cookie = job->video->addDataView(view);
    EXPECT_THROW(job->audio->addDataView(create_data_view()), Error);
    job->encoder->prepare(true);
    view->setViewProperties(cookie, window);
    view->startView(cookie);
    job->video->setMarkOut(4000);
    job->encoder->start();
    EXPECT_TRUE(job->events.waitStopped());
    frames::unregister_sink(window);
    EXPECT_GT(sink.count, 0);
    EXPECT_LE(sink.count, 4 * 15 + 1);
    ASSERT_TRUE(sink.last);
    EXPECT_EQ(sink.last->width, 320);
    EXPECT_EQ(sink.last->pixels.size(), 320u * 4 * 240);
}

TEST_F(Encode, AnEncoderGoneBeforeItsEventsRunDeliversNothing) {
    auto job = make_job(source_, tmp_ / "gone.wmv");
    job->encoder->prepare(true);
    job->encoder->start();
    std::this_thread::sleep_for(50ms);
    job->encoder.reset();  // stops and joins the worker
    job->events.waitStopped(1s);
    EXPECT_TRUE(job->events.states.empty());
}

}  // namespace
}  // namespace shardex::testing

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "platform/encoder/errors.h"
#include "platform/encoder/factory.h"
#include "platform/encoder/profiles.h"
#include "platform/frames/frame_sink.h"
#include "support.h"

using namespace shardex::encoder;
using enc_test::TempDir;

namespace {

const std::vector<int> kNormalRun{1, 2, 5};

// One 10 s source at 29.97 fps with sound, shared by the tests of this file.
class Encode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        source_ = *dir_ / "src.avi";
        enc_test::make_clip(source_, "-f lavfi -i testsrc2=s=160x120:r=30000/1001:d=10 -f lavfi -i sine=d=10:r=44100 "
                                     "-c:v mjpeg -q:v 4 -c:a pcm_s16le");
    }
    static void TearDownTestSuite() { delete dir_; }
    static TempDir* dir_;
    static enc_test::fs::path source_;
    TempDir tmp_;
};
TempDir* Encode::dir_ = nullptr;
enc_test::fs::path Encode::source_;

// Mean absolute difference of two grey pictures.
double difference(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += std::abs(static_cast<int>(static_cast<unsigned char>(a[i])) - static_cast<unsigned char>(b[i]));
    return sum / static_cast<double>(a.size());
}

std::string grey_frame(const enc_test::fs::path& file, int index) {
    return enc_test::run("ffmpeg -v error -i '" + file.string() + "' -vf 'select=eq(n\\," + std::to_string(index) +
                         "),scale=320:240' -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null");
}

}  // namespace

TEST_F(Encode, SegmentHoldsExactlyTheMarkedFramesFromTimeZero) {
    auto out = tmp_ / "seg.wmv";
    auto job = enc_test::make_job(source_, out);
    job->encoder->displayInfo()->setTitle("Shardex demo");
    job->encoder->displayInfo()->setAuthor("Ann");
    job->encoder->displayInfo()->setCopyright("example.org");
    job->encoder->displayInfo()->setDescription("a test");
    EXPECT_EQ(enc_test::encode(*job, 3000, 7000), kNormalRun);
    EXPECT_TRUE(job->events.errors.empty());
    EXPECT_EQ(job->video->duration(), 10010);

    auto info = enc_test::probe(out, "format=format_name:format_tags:stream=codec_name,width,height,r_frame_rate,start_time");
    EXPECT_EQ(enc_test::value_of(info, "format_name"), "asf");
    EXPECT_EQ(enc_test::value_of(info, "codec_name"), "wmv2");
    EXPECT_NE(info.find("codec_name=wmav2"), std::string::npos);
    EXPECT_EQ(enc_test::value_of(info, "width"), "320");
    EXPECT_EQ(enc_test::value_of(info, "height"), "240");
    EXPECT_EQ(enc_test::value_of(info, "r_frame_rate"), "30000/1001");
    // The mark-in is time zero: frame 90 is shown 3 ms after it.
    EXPECT_EQ(enc_test::value_of(info, "start_time"), "0.003000");
    EXPECT_EQ(enc_test::value_of(info, "TAG:title"), "Shardex demo");
    EXPECT_EQ(enc_test::value_of(info, "TAG:artist"), "Ann");
    EXPECT_EQ(enc_test::value_of(info, "TAG:copyright"), "example.org");
    EXPECT_EQ(enc_test::value_of(info, "TAG:comment"), "a test");

    EXPECT_EQ(enc_test::frame_count(out), 120);
    // The first picture is source frame 90 (3.003 s), not its neighbours.
    auto first = grey_frame(out, 0);
    const double d89 = difference(first, grey_frame(source_, 89));
    const double d90 = difference(first, grey_frame(source_, 90));
    const double d91 = difference(first, grey_frame(source_, 91));
    EXPECT_LT(d90 * 3, d89);
    EXPECT_LT(d90 * 3, d91);

    // The sound covers the same four seconds (within one audio frame).
    auto audioDur = enc_test::value_of(enc_test::probe(out, "stream=duration", "-select_streams a:0"), "duration");
    EXPECT_NEAR(std::stod(audioDur), 4.0, 0.1);

    auto stats = job->encoder->statistics();
    EXPECT_EQ(stats->archiveFileSize().raw, static_cast<std::int64_t>(enc_test::fs::file_size(out)));
    EXPECT_NEAR(static_cast<double>(stats->archiveFileDuration().raw), 4000.0, 100.0);
    EXPECT_GT(stats->outputBitrate(), 300000);
}

TEST_F(Encode, UnsetOrLateMarkOutRunsToTheEndAndAnEarlyOneGivesAnEmptyFile) {
    for (int markOut : {-1, 60000}) {
        auto out = tmp_ / ("end" + std::to_string(markOut) + ".wmv");
        auto job = enc_test::make_job(source_, out);
        EXPECT_EQ(enc_test::encode(*job, 9000, markOut), kNormalRun);
        // Frames 270..299 of the source lie at or after 9 s.
        EXPECT_EQ(enc_test::frame_count(out), 30) << markOut;
    }
    // An empty segment (a load of 0) must not turn into the rest of the source.
    for (auto [markIn, markOut] : {std::pair{0, 0}, std::pair{9000, 9000}, std::pair{9000, 5000}}) {
        auto out = tmp_ / ("empty" + std::to_string(markIn) + "_" + std::to_string(markOut) + ".wmv");
        auto job = enc_test::make_job(source_, out);
        EXPECT_EQ(enc_test::encode(*job, markIn, markOut), kNormalRun);
        auto frames = enc_test::value_of(
            enc_test::probe(out, "stream=nb_read_frames", "-count_frames -select_streams v:0"), "nb_read_frames");
        EXPECT_TRUE(frames == "0" || frames == "N/A") << markIn << ".." << markOut << ": " << frames;
        EXPECT_EQ(enc_test::value_of(enc_test::probe(out, "format=format_name"), "format_name"), "asf")
            << markIn << ".." << markOut;
    }
}

TEST_F(Encode, StopInTheMiddleLeavesAPlayableFile) {
    auto out = tmp_ / "stopped.wmv";
    // Two passes over the whole clip take long enough to be stopped in the second.
    auto job = enc_test::make_job(source_, out, "Windows Media Video 8 Unconstrained VBR (Two-pass, 768 Kbps)");
    job->video->setPreProcessPass(1);
    job->encoder->prepare(true);
    job->encoder->start();
    auto stats = job->encoder->statistics();
    bool stopped = false;
    EXPECT_TRUE(job->events.waitStopped(std::chrono::seconds(60), [&] {
        if (!stopped && stats->archiveFileDuration().raw > 1000) {
            job->encoder->stop();
            stopped = true;
            EXPECT_EQ(job->encoder->runState(), kStateStopping);
        }
    }));
    ASSERT_TRUE(stopped) << "the encode ended before it could be stopped";
    EXPECT_EQ(job->events.states, (std::vector<int>{1, 2, 4, 5}));
    EXPECT_EQ(job->encoder->runState(), kStateStopped);

    int rc = 0;
    auto errors = enc_test::run("ffmpeg -v error -i '" + out.string() + "' -f null - 2>&1", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(errors, "");
    auto dur = enc_test::value_of(enc_test::probe(out, "format=duration"), "duration");
    ASSERT_FALSE(dur.empty());
    EXPECT_GT(std::stod(dur), 0.9);
    EXPECT_LT(std::stod(dur), 9.5);
    EXPECT_GT(enc_test::frame_count(out), 25);
}

// A disk that fills up during the encode (/dev/full refuses every write with ENOSPC): the
// error says so first, with the write failure's code, and the encode ends.
TEST_F(Encode, AFullDiskEndsTheEncodeSayingSo) {
    auto job = enc_test::make_job(source_, "/dev/full");
    enc_test::encode(*job);
    EXPECT_EQ(job->events.states.back(), kStateStopped);
    ASSERT_EQ(job->events.errors.size(), 1u);
    EXPECT_EQ(job->events.errors[0], shardex::encoder::errors::kWriteFailed);
    EXPECT_EQ(job->events.errorTexts[0].rfind("the disk is full: cannot write output file '/dev/full': No space left "
                                              "on device",
                                              0),
              0u)
        << job->events.errorTexts[0];
}

TEST_F(Encode, PauseHoldsTheEncodeAndResumeFinishesIt) {
    auto out = tmp_ / "paused.wmv";
    auto job = enc_test::make_job(source_, out);
    job->encoder->prepare(true);
    job->encoder->start();
    job->encoder->pause();
    EXPECT_EQ(job->encoder->runState(), kStatePaused);
    EXPECT_THROW(job->encoder->start(), shardex::Error);
    bool resumed = false;
    EXPECT_TRUE(job->events.waitStopped(std::chrono::seconds(60), [&] {
        // Resume once the worker has reported that it halted.
        auto& st = job->events.states;
        if (!resumed && std::find(st.begin(), st.end(), kStatePaused) != st.end()) {
            const auto before = job->encoder->statistics()->archiveFileDuration().raw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(job->encoder->statistics()->archiveFileDuration().raw, before);  // nothing moves
            job->encoder->resume();
            resumed = true;
        }
    }));
    EXPECT_EQ(job->events.states, (std::vector<int>{1, 2, 3, 2, 5}));
    EXPECT_EQ(enc_test::frame_count(out), 300);
}

TEST_F(Encode, PrepareRefusesIncompleteSetUpsWithReadableReasons) {
    auto expect_failure = [](Encoder& e, const std::string& text) {
        try {
            e.prepare(true);
            ADD_FAILURE() << "prepare succeeded, expected: " << text;
        } catch (const shardex::Error& err) {
            EXPECT_NE(std::string(err.what()).find(text), std::string::npos) << err.what();
        }
    };
    auto job = enc_test::make_job(source_, tmp_ / "x.wmv");
    job->encoder->sourceGroups()->item(0)->setProfile(nullptr);
    expect_failure(*job->encoder, "no profile set");

    job = enc_test::make_job(source_, "");
    expect_failure(*job->encoder, "no output file set");

    job = enc_test::make_job(source_, tmp_ / "missing" / "x.wmv");
    expect_failure(*job->encoder, "cannot create output file '" + (tmp_ / "missing" / "x.wmv").string() +
                                      "': No such file or directory");

    job = enc_test::make_job(tmp_ / "nothere.avi", tmp_ / "x.wmv");
    expect_failure(*job->encoder,
                   "cannot open source '" + (tmp_ / "nothere.avi").string() + "': No such file or directory");
    EXPECT_THROW(job->video->duration(), shardex::Error);  // never prepared
    EXPECT_TRUE(job->events.states.empty());
}

TEST_F(Encode, DamagedSourcesFailClearlyOrEncodeWhatTheyHold) {
    std::ofstream(tmp_ / "text.avi") << "this is not a video file, only some words\n";
    std::ofstream(tmp_ / "empty.avi");
    {
        std::ifstream in(source_, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(tmp_ / "cut.avi", std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    }
    for (const char* name : {"text.avi", "empty.avi"}) {
        auto job = enc_test::make_job(tmp_ / name, tmp_ / "bad.wmv");
        try {
            job->encoder->prepare(true);
            ADD_FAILURE() << name << " was accepted";
        } catch (const shardex::Error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot open source '"), std::string::npos) << e.what();
            EXPECT_EQ(e.code(), errors::kSourceUnreadable);
        }
    }
    auto out = tmp_ / "cut.wmv";
    auto job = enc_test::make_job(tmp_ / "cut.avi", out);
    EXPECT_EQ(enc_test::encode(*job), kNormalRun);
    const int frames = enc_test::frame_count(out);
    EXPECT_GT(frames, 60);
    EXPECT_LT(frames, 300);
}

TEST_F(Encode, SourceWithoutSoundAndOddSizeGetsSilentTrack) {
    auto src = tmp_ / "mute.avi";
    enc_test::make_clip(src, "-f lavfi -i testsrc2=s=161x121:r=25:d=2 -c:v mpeg4 -q:v 5");
    auto out = tmp_ / "mute.wmv";
    auto job = enc_test::make_job(src, out);
    EXPECT_EQ(enc_test::encode(*job), kNormalRun);
    EXPECT_TRUE(job->events.errors.empty());
    auto info = enc_test::probe(out, "stream=codec_name,width,duration");
    EXPECT_NE(info.find("codec_name=wmav2"), std::string::npos);
    EXPECT_EQ(enc_test::value_of(info, "width"), "320");
    // 2 s at 25 fps re-timed to 29.97 fps: 60 frames, and about 2 s of silence.
    EXPECT_EQ(enc_test::frame_count(out), 60);
    auto vol = enc_test::run("ffmpeg -v info -i '" + out.string() + "' -af volumedetect -f null - 2>&1");
    EXPECT_NE(vol.find("max_volume: -91"), std::string::npos) << vol;
}

TEST_F(Encode, EveryStockProfileEncodes) {
    auto src = tmp_ / "short.avi";
    enc_test::make_clip(src, "-f lavfi -i testsrc2=s=320x240:r=30:d=1 -f lavfi -i sine=d=1:r=48000 "
                             "-c:v mjpeg -c:a pcm_s16le");
    int i = 0;
    for (const auto& p : stock_profiles()) {
        SCOPED_TRACE(p.name);
        auto out = tmp_ / ("p" + std::to_string(i++) + ".wmv");
        auto job = enc_test::make_job(src, out, p.name);
        if (p.videoMode == kModeVbrPeak || p.videoMode == kModeVbrUnconstrained) job->video->setPreProcessPass(1);
        EXPECT_EQ(enc_test::encode(*job), kNormalRun);
        EXPECT_TRUE(job->events.errors.empty());
        auto info = enc_test::probe(out, "stream=codec_name,width,height");
        if (p.hasVideo()) {
            EXPECT_EQ(enc_test::value_of(info, "codec_name"), p.audiences[0].videoCodec == 1 ? "wmv1" : "wmv2");
            EXPECT_EQ(enc_test::value_of(info, "width"), std::to_string(p.audiences[0].width));
            EXPECT_EQ(enc_test::value_of(info, "height"), std::to_string(p.audiences[0].height));
        }
        EXPECT_EQ(info.find("wmav2") != std::string::npos, p.hasAudio());
    }
}

namespace {
struct CountingSink : shardex::frames::FrameSink {
    void present(std::shared_ptr<const shardex::frames::VideoFrame> f) override {
        std::lock_guard lock(m);
        ++count;
        last = std::move(f);
    }
    std::mutex m;
    int count = 0;
    std::shared_ptr<const shardex::frames::VideoFrame> last;
};
}  // namespace

TEST_F(Encode, DataViewShowsAtMostFifteenEncodedPicturesPerSecond) {
    CountingSink sink;
    const shardex::WindowHandle window = 0x5eed;
    shardex::frames::register_sink(window, &sink);
    auto job = enc_test::make_job(source_, tmp_ / "view.wmv");
    auto view = create_data_view();
    const int cookie = job->video->addDataView(view);
    EXPECT_THROW(job->audio->addDataView(create_data_view()), shardex::Error);
    job->encoder->prepare(true);
    view->setViewProperties(cookie, window);
    view->startView(cookie);
    job->video->setMarkOut(4000);
    job->encoder->start();
    EXPECT_TRUE(job->events.waitStopped());
    shardex::frames::unregister_sink(window);
    EXPECT_GT(sink.count, 0);
    EXPECT_LE(sink.count, 4 * 15 + 1);
    ASSERT_TRUE(sink.last);
    EXPECT_EQ(sink.last->width, 320);
    EXPECT_EQ(sink.last->stride, 320 * 4);
    EXPECT_EQ(sink.last->pixels.size(), 320u * 4 * 240);
}

TEST_F(Encode, EncoderGoneBeforeItsEventsRunDeliversNothing) {
    auto job = enc_test::make_job(source_, tmp_ / "gone.wmv");
    job->encoder->prepare(true);
    job->encoder->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    job->encoder.reset();  // stops and joins the worker
    job->events.waitStopped(std::chrono::seconds(1));
    EXPECT_TRUE(job->events.states.empty());
}

TEST_F(Encode, TenEncodesInARow) {
    // Under the sanitizer build this shows that encodes leave nothing behind.
    for (int i = 0; i < 10; ++i) {
        auto out = tmp_ / ("loop" + std::to_string(i) + ".wmv");
        auto job = enc_test::make_job(source_, out, "Windows Media Video 8 for Dial-up Modems (No audio, 28.8 Kbps)");
        EXPECT_EQ(enc_test::encode(*job, 1000 * i, 1000 * i + 300), kNormalRun);
        EXPECT_EQ(enc_test::frame_count(out), 5) << i;  // 0.3 s at 15 fps
    }
}

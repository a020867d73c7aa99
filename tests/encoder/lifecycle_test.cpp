// The encoder's life across jobs, as the agent drives one encoder per application slot: run
// control racing a finishing worker, reuse after every kind of end, and what a failure, a full
// disk, an abandoned prepare or a link in the output's place leaves where the output goes.
#include <gtest/gtest.h>

#include "platform/encoder/errors.h"
#include "platform/encoder/factory.h"
#include "support/job.h"
#include "support/media.h"
#include "support/private_mounts.h"

namespace shardex::testing {
namespace {

using namespace encoder;
// Small file systems of the tests' own: the program's namespace is entered before any thread.
[[maybe_unused]] const bool kPrivateMounts = enter_private_mount_namespace();
const char* const kSmall = "Windows Media Video 8 for Dial-up Modems (No audio, 28.8 Kbps)";

class Lifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_.emplace("shardex-lifecycle");
        make_clip(source_ = *dir_ / "src.avi", "-f lavfi -i testsrc2=s=160x120:r=15:d=3 -f lavfi -i sine=d=3:r=22050 "
                                               "-c:v mjpeg -q:v 6 -c:a pcm_s16le");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    // A job whose source is read through a FileSource that `source` receives.
    std::unique_ptr<Job> job_through(std::shared_ptr<FileSource>& source, const fs::path& out, const char* profile) {
        LocalEncoderOptions options;
        options.openInput = [&](const std::string& path) { return source = std::make_shared<FileSource>(path); };
        return make_job(source_, out, profile, options);
    }
    static inline std::optional<TempDir> dir_;
    static inline fs::path source_;
    TempDir tmp_;
};

// The owner's calls while the worker may be finishing, in every mix, against every end: each
// round ends stopped, and the encoder (reset between jobs or not) runs a whole job after all.
TEST_F(Lifecycle, RunControlAgainstAFinishingWorkerAlwaysEndsAndTheEncoderIsReused) {
    auto job = make_job(source_, tmp_ / "race.wmv", kSmall);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        if (round % 2) {
            job->encoder->reset();
            const auto s = set_up_job(*job->encoder, source_, tmp_ / "race.wmv", kSmall);
            job->video = s.video;
        }
        job->events.states.clear();
        job->encoder->prepare(true);
        job->video->setMarkOut(200 + 20 * (round % 5));
        job->encoder->start();
        Encoder& e = *job->encoder;
        const auto until = std::chrono::steady_clock::now() + 20s;
        for (int k = 0; k < 200000 && e.runState() != kStateStopped && std::chrono::steady_clock::now() < until; ++k) {
            const bool late = k > round / 3 * 50;  // so that some stops meet the worker's very end
            try {  // refused for the state the encoder was in: what matters is that it ends
                switch (round % 3) {
                    case 0: if (late) e.stop(); break;
                    case 1: e.pause(), e.resume(); break;
                    default: k % 7 == 3 && late ? e.stop() : k % 2 ? e.pause() : e.resume();
                }
            } catch (const Error&) {
            }
        }
        try {
            if (e.runState() == kStatePaused) e.resume();
        } catch (const Error&) {
        }
        ASSERT_TRUE(job->events.waitStopped(60s)) << "state " << e.runState();
        EXPECT_EQ(e.runState(), kStateStopped);
        EXPECT_EQ(job->events.states.front(), kStateStarting);
    }
    job->events.states.clear();
    EXPECT_EQ(encode(*job, 0, 1000), (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(frame_count(tmp_ / "race.wmv"), 15);
}

// A job that never wrote its header leaves nothing where its output was to go, and a file that
// was there stays as it was; the same failure after the header leaves a file that plays.
TEST_F(Lifecycle, AFileIsLeftOnlyOnceItsHeaderIsWritten) {
    enum class End { AnalysisFails, PrepareThenReset, PrepareThenDestroy, FailsAfterHeader };
    const struct {
        const char* name;
        End end;
    } cases[] = {{"analysis pass fails", End::AnalysisFails}, {"prepare then reset", End::PrepareThenReset},
                 {"prepare then destroy", End::PrepareThenDestroy}, {"fails after the header", End::FailsAfterHeader}};
    for (const auto& c : cases) {
        for (bool existing : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (existing ? ", over an existing file" : ""));
            const fs::path out = tmp_ / (std::to_string(static_cast<int>(c.end)) + (existing ? "e.wmv" : ".wmv"));
            if (existing) write_file(out, "the user's own file");
            std::shared_ptr<FileSource> source;
            const bool twoPass = c.end != End::FailsAfterHeader;
            auto job = job_through(source, out, twoPass ? "Windows Media Video 8 Unconstrained VBR (Two-pass, 768 Kbps)" : kSmall);
            if (twoPass) job->video->setPreProcessPass(1);
            job->encoder->prepare(true);
            if (c.end == End::PrepareThenReset) job->encoder->reset();
            if (c.end == End::PrepareThenDestroy) job->encoder.reset();
            if (c.end == End::AnalysisFails || c.end == End::FailsAfterHeader) {
                // The encode reads the source from its start again after the header is written.
                source->failFrom = c.end == End::AnalysisFails ? 0 : source->size() / 2;
                job->encoder->start();
                EXPECT_TRUE(job->events.waitStopped());
                EXPECT_EQ(job->events.errors, std::vector<int>{errors::kSourceUnreadable});
            }
            if (c.end == End::FailsAfterHeader) {
                EXPECT_EQ(value_of(probe(out, "format=format_name"), "format_name"), "asf");
            }
            else if (existing) {
                EXPECT_EQ(read_file(out), "the user's own file");
            }
            else {
                EXPECT_FALSE(fs::exists(out));
            }
        }
    }
}

// An encoder told to refuse links (the agents', and the factory's, which writes the Server's own
// segment) refuses a symbolic or a hard link at prepare, and one put in the output's place
// after prepare when it creates the file: the link's target is never written or emptied.
TEST_F(Lifecycle, ALinkInTheOutputsPlaceIsRefusedWhenAsked) {
    for (bool hard : {false, true}) {
        for (bool factory : {false, true}) {
            SCOPED_TRACE(std::string(hard ? "hard" : "symbolic") + (factory ? ", the Server's encoder" : ""));
            const fs::path target = tmp_ / "elsewhere.txt", out = tmp_ / "linked.wmv";
            const auto link = [&] { hard ? fs::create_hard_link(target, out) : fs::create_symlink(target, out); };
            write_file(target, "not yours");
            LocalEncoderOptions options;
            options.refuseLinkedOutput = true;
            auto job = make_job(source_, out, kSmall, options);
            if (factory) {
                job = std::make_unique<Job>();
                job->encoder = create_local_encoder();
                set_up_job(*job->encoder, source_, out, kSmall);
                job->encoder->setEventHandlers(job->events.executor(), job->events.handlers());
            }
            link();
            EXPECT_THROW(job->encoder->prepare(true), Error);
            fs::remove(out);
            job->encoder->prepare(true);
            link();
            job->encoder->start();
            EXPECT_TRUE(job->events.waitStopped());
            EXPECT_EQ(job->events.errors, std::vector<int>{errors::kOutputUnavailable});
            EXPECT_EQ(read_file(target), "not yours");
            fs::remove(out);
        }
    }
}

// A disk that fills up (/dev/full refuses every write with ENOSPC): the encode ends with the
// write error, saying so first, and what was there before (the device itself) stays.
TEST_F(Lifecycle, AFullDiskEndsTheEncodeSayingSo) {
    auto job = make_job(source_, "/dev/full", kSmall);
    encode(*job);
    EXPECT_EQ(job->events.states.back(), kStateStopped);
    EXPECT_EQ(job->events.errors, std::vector<int>{errors::kWriteFailed});
    ASSERT_EQ(job->events.errorTexts.size(), 1u);
    EXPECT_EQ(job->events.errorTexts[0].rfind("the disk is full: cannot write output file '/dev/full': No space left", 0), 0u)
        << job->events.errorTexts[0];
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// On a full disk the header of a new output cannot be written: an output of that name from
// before stays exactly as it was (the encode writes beside it and takes its name only once
// its header is on the disk), and nothing else is left behind.
TEST_F(Lifecycle, AHeaderThatCannotBeWrittenLeavesTheOldOutputAsItWas) {
    const fs::path folder = tmp_ / "small";
    fs::create_directories(folder);
    SmallDisk disk(folder, 64 << 10);
    if (!disk.error().empty()) GTEST_SKIP() << disk.error();
    const std::string old(40 << 10, 'o');
    write_file(folder / "out.wmv", old);
    std::ofstream(folder / "fill", std::ios::binary) << std::string(64 << 10, 'f');  // as much as fits
    auto job = make_job(source_, folder / "out.wmv", kSmall);
    job->encoder->prepare(true);
    job->encoder->start();
    EXPECT_TRUE(job->events.waitStopped());
    EXPECT_EQ(job->events.errors, std::vector<int>{errors::kWriteFailed});
    EXPECT_TRUE(read_file(folder / "out.wmv") == old) << "the old output was changed";
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace shardex::testing

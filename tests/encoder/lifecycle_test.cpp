// The encoder's life across jobs, as the agent drives one encoder per application slot: run
// control racing a finishing worker, reuse after every kind of end, and what a failure or
// an abandoned prepare leaves in the output's place.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "platform/encoder/errors.h"
#include "platform/encoder/factory.h"
#include "platform/encoder/local_encoder.h"
#include "support.h"
#include "support/private_mounts.h"

using namespace shardex::encoder;
using enc_test::TempDir;
namespace fs = std::filesystem;

namespace {

// Small file systems of the tests' own: the program's namespace is entered before any thread.
[[maybe_unused]] const bool kPrivateMounts = shardex::testing::enter_private_mount_namespace();

const char* const kSmall = "Windows Media Video 8 for Dial-up Modems (No audio, 28.8 Kbps)";
const char* const kTwoPass = "Windows Media Video 8 Unconstrained VBR (Two-pass, 768 Kbps)";

class Lifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        source_ = *dir_ / "src.avi";
        enc_test::make_clip(source_, "-f lavfi -i testsrc2=s=160x120:r=15:d=3 -f lavfi -i sine=d=3:r=22050 "
                                     "-c:v mjpeg -q:v 6 -c:a pcm_s16le");
    }
    static void TearDownTestSuite() { delete dir_; }
    static TempDir* dir_;
    static fs::path source_;
    TempDir tmp_;
};
TempDir* Lifecycle::dir_ = nullptr;
fs::path Lifecycle::source_;

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Pumps events until the encoder says it has stopped and runState() agrees, within `limit`.
bool reaches_stopped(enc_test::Job& job, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        job.events.waitStopped(std::chrono::seconds(1));
        if (job.encoder->runState() == kStateStopped && !job.events.states.empty() &&
            job.events.states.back() == kStateStopped)
            return true;
    }
    return false;
}

// The owner's calls while the worker may be finishing: every way the calls can meet the
// worker's last steps.
enum class Hammer { Stop, PauseResume, Mixed };

void hammer(Encoder& e, Hammer how, int round) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int k = 0; k < 200000 && e.runState() != kStateStopped && std::chrono::steady_clock::now() < until; ++k) {
        try {
            switch (how) {
                case Hammer::Stop:
                    // Let the worker run on a little first, so some stops meet its very end.
                    if (k > round * 50) e.stop();
                    break;
                case Hammer::PauseResume:
                    e.pause();
                    e.resume();
                    break;
                case Hammer::Mixed:
                    if (k % 7 == 3 && k > round * 50) e.stop();
                    else if (k % 2) e.pause();
                    else e.resume();
                    break;
            }
        } catch (const shardex::Error&) {
            // Refused for the state the encoder was in: what this is about is that it ends.
        }
    }
    // A paused encode is let go, so the round ends by itself.
    try {
        if (e.runState() == kStatePaused) e.resume();
    } catch (const shardex::Error&) {
    }
}

// A ByteSource over a local file that can be made to fail, as a share that goes away.
struct BreakableSource : ByteSource {
    explicit BreakableSource(const fs::path& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~BreakableSource() override { ::close(fd); }
    std::int64_t size() override { return static_cast<std::int64_t>(::lseek(fd, 0, SEEK_END)); }
    std::int64_t read(std::int64_t offset, std::uint8_t* buffer, std::int64_t length) override {
        if (broken || (breakBeyond >= 0 && offset + length > breakBeyond)) throw shardex::Error("the share went away");
        return ::pread(fd, buffer, static_cast<std::size_t>(length), static_cast<off_t>(offset));
    }
    int fd;
    std::atomic<bool> broken{false};
    std::atomic<std::int64_t> breakBeyond{-1};  // reads reaching past this offset fail
};

}  // namespace

TEST_F(Lifecycle, RunControlAgainstAFinishingWorkerAlwaysEndsAndTheEncoderIsReused) {
    auto out = tmp_ / "race.wmv";
    auto job = enc_test::make_job(source_, out, kSmall);
    const Hammer kinds[] = {Hammer::Stop, Hammer::PauseResume, Hammer::Mixed};
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        if (round % 2) {  // the agent resets and sets the job up again between jobs
            job->encoder->reset();
            enc_test::set_up(*job, source_, out, kSmall);
        }
        job->events.states.clear();
        job->encoder->prepare(true);
        job->video->setMarkOut(200 + 20 * (round % 5));
        job->encoder->start();
        hammer(*job->encoder, kinds[round % 3], round / 3);
        ASSERT_TRUE(reaches_stopped(*job)) << "state " << job->encoder->runState();
        EXPECT_EQ(job->events.states.front(), kStateStarting);
    }
    // And a plain job after all that runs whole.
    job->events.states.clear();
    EXPECT_EQ(enc_test::encode(*job, 0, 1000), (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(enc_test::frame_count(out), 15);
}

TEST_F(Lifecycle, StopPauseAndResumeOfAStoppedEncoderChangeNothing) {
    auto job = enc_test::make_job(source_, tmp_ / "idle.wmv", kSmall);
    EXPECT_EQ(enc_test::encode(*job, 0, 300), (std::vector<int>{1, 2, 5}));
    job->encoder->stop();
    EXPECT_THROW(job->encoder->pause(), shardex::Error);
    EXPECT_THROW(job->encoder->resume(), shardex::Error);
    EXPECT_EQ(job->encoder->runState(), kStateStopped);
    job->events.states.clear();
    EXPECT_EQ(enc_test::encode(*job, 0, 300), (std::vector<int>{1, 2, 5}));
}

// What a job that never got its header written leaves where its output was to go: nothing,
// and a file that was there before stays as it was.
TEST_F(Lifecycle, NoFileIsLeftWithoutAHeaderAndAnExistingOneIsKept) {
    enum class End { AnalysisFails, PrepareThenReset, PrepareThenDestroy };
    const struct {
        const char* name;
        End end;
    } cases[] = {
        {"analysis pass fails", End::AnalysisFails},
        {"prepare then reset", End::PrepareThenReset},
        {"prepare then destroy", End::PrepareThenDestroy},
    };
    for (const auto& c : cases) {
        for (bool existing : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (existing ? ", over an existing file" : ""));
            auto out = tmp_ / ("out" + std::to_string(static_cast<int>(c.end)) + (existing ? "e" : "") + ".wmv");
            const std::string before = "the user's own file";
            if (existing) std::ofstream(out) << before;
            std::shared_ptr<BreakableSource> source;
            LocalEncoderOptions options;
            options.openInput = [&](const std::string& path) {
                source = std::make_shared<BreakableSource>(path);
                return source;
            };
            auto job = enc_test::make_job(source_, out, kTwoPass, options);
            job->video->setPreProcessPass(1);
            job->encoder->prepare(true);
            switch (c.end) {
                case End::AnalysisFails:
                    source->broken = true;
                    job->encoder->start();
                    EXPECT_TRUE(job->events.waitStopped());
                    EXPECT_EQ(job->events.errors, std::vector<int>{errors::kSourceUnreadable});
                    EXPECT_EQ(job->encoder->runState(), kStateStopped);
                    break;
                case End::PrepareThenReset: job->encoder->reset(); break;
                case End::PrepareThenDestroy: job->encoder.reset(); break;
            }
            EXPECT_EQ(fs::exists(out), existing);
            if (existing) {
                EXPECT_EQ(contents(out), before);
            }
        }
    }
}

// The same failure once the header is written leaves a finished file that plays.
TEST_F(Lifecycle, AFailureAfterTheHeaderLeavesAReadableFile) {
    auto out = tmp_ / "cut.wmv";
    std::ofstream(out) << "an older encode";
    std::shared_ptr<BreakableSource> source;
    LocalEncoderOptions options;
    options.openInput = [&](const std::string& path) {
        source = std::make_shared<BreakableSource>(path);
        return source;
    };
    auto job = enc_test::make_job(source_, out, kSmall, options);
    job->encoder->prepare(true);
    // The encode reads the source from its start after the header is written: the second
    // half of the file is never there.
    source->breakBeyond = source->size() / 2;
    job->encoder->start();
    EXPECT_TRUE(job->events.waitStopped());
    EXPECT_EQ(job->events.errors, std::vector<int>{errors::kSourceUnreadable});
    EXPECT_EQ(enc_test::value_of(enc_test::probe(out, "format=format_name"), "format_name"), "asf");
}

TEST_F(Lifecycle, PrepareRefusesAnOutputThatCannotBeMadeAndTouchesNothing) {
    fs::create_directories(tmp_ / "folder");
    std::ofstream(tmp_ / "plain") << "x";
    const struct {
        fs::path output;
        const char* reason;
    } cases[] = {
        {tmp_ / "missing" / "x.wmv", "No such file or directory"},
        {tmp_ / "folder", "Is a directory"},
        {tmp_ / "plain" / "x.wmv", "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        auto job = enc_test::make_job(source_, c.output, kSmall);
        try {
            job->encoder->prepare(true);
            ADD_FAILURE() << "prepare accepted it";
        } catch (const shardex::Error& e) {
            EXPECT_EQ(std::string(e.what()), "cannot create output file '" + c.output.string() + "': " + c.reason);
            EXPECT_EQ(e.code(), errors::kOutputUnavailable);
        }
    }
    EXPECT_EQ(contents(tmp_ / "plain"), "x");
    EXPECT_TRUE(fs::is_directory(tmp_ / "folder"));
}

// An encoder told to refuse links (the agents', and the factory's, which writes the Server's
// own segment) refuses a symbolic or a hard link at prepare, and one put in the output's
// place after prepare when it creates the file; the link's target is never written or emptied.
TEST_F(Lifecycle, ALinkInTheOutputsPlaceIsRefusedWhenAsked) {
    const struct {
        const char* intent;
        bool hard, factory;
    } cases[] = {
        {"symbolic link", false, false},
        {"hard link", true, false},
        {"symbolic link, the Server's encoder", false, true},
        {"hard link, the Server's encoder", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        const auto target = tmp_ / "elsewhere.txt", out = tmp_ / "linked.wmv";
        const auto link = [&] { c.hard ? fs::create_hard_link(target, out) : fs::create_symlink(target, out); };
        std::ofstream(target) << "not yours";
        LocalEncoderOptions options;
        options.refuseLinkedOutput = true;
        auto job = enc_test::make_job(source_, out, kSmall, options);
        if (c.factory) {
            job = std::make_unique<enc_test::Job>();
            job->encoder = create_local_encoder();
            enc_test::set_up(*job, source_, out, kSmall);
            job->encoder->setEventHandlers(job->events.executor(), job->events.handlers());
        }
        link();
        EXPECT_THROW(job->encoder->prepare(true), shardex::Error);
        fs::remove(out);

        job->encoder->prepare(true);
        link();
        job->encoder->start();
        EXPECT_TRUE(job->events.waitStopped());
        EXPECT_EQ(job->events.errors, std::vector<int>{errors::kOutputUnavailable});
        EXPECT_EQ(contents(target), "not yours");
        EXPECT_TRUE(fs::exists(fs::symlink_status(out)));
        fs::remove(out);
    }
}

// A write that fails (a full disk) ends the encode with the write error, never as a success,
// and what was there before the encode (here the device itself) is not removed.
TEST_F(Lifecycle, AFailedWriteIsReportedAndAFileItDidNotCreateStays) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    auto job = enc_test::make_job(source_, "/dev/full", kSmall);
    job->encoder->prepare(true);
    job->encoder->start();
    EXPECT_TRUE(job->events.waitStopped());
    EXPECT_EQ(job->events.errors, std::vector<int>{errors::kWriteFailed});
    EXPECT_EQ(job->encoder->runState(), kStateStopped);
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// On a full disk the header of a new output cannot be written: an output of that name from
// before stays exactly as it was (the encode writes beside it and takes its name only once
// its header is on the disk), and nothing else is left behind.
TEST_F(Lifecycle, AHeaderThatCannotBeWrittenLeavesTheOldOutputAsItWas) {
    const fs::path folder = tmp_ / "small";
    fs::create_directories(folder);
    shardex::testing::SmallDisk disk(folder, 64 << 10);
    if (!disk.error().empty()) GTEST_SKIP() << disk.error();
    const std::string old(40 << 10, 'o');
    std::ofstream(folder / "out.wmv", std::ios::binary) << old;
    {
        std::ofstream fill(folder / "fill", std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && fill.write(block.data(), block.size()).flush(); ++i) {
        }
    }
    auto job = enc_test::make_job(source_, folder / "out.wmv", kSmall);
    job->encoder->prepare(true);
    job->encoder->start();
    EXPECT_TRUE(job->events.waitStopped());
    EXPECT_EQ(job->events.errors, std::vector<int>{errors::kWriteFailed});
    std::ifstream in(folder / "out.wmv", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == old) << "the old output was changed";
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}

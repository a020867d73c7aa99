// The libmpv preview graph on generated clips: opening, measuring, exact seeks, run and
// stop, failures with their descriptions, and the software picture path into a window.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/frames/frame_sink.h"
#include "platform/media/factory.h"
#include "support/job.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::media {
namespace {

using namespace shardex::testing;

GraphOptions quiet() {
    GraphOptions o;
    o.videoOutput = "null";
    o.audioOutput = "null";
    return o;
}

bool eventually(const std::function<bool()>& done) { return wait_for(done, 10s); }

class MpvGraphTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::setlocale(LC_NUMERIC, "C");  // the player reads numbers in the C locale
        dir_.emplace("shardex-media");
        // Key frames only every 2 s, so that exact seeks have frames to decode past.
        make_clip(clip_ = (*dir_ / "clip.avi").string(), "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
                                                          "sine=frequency=440:sample_rate=44100 -t 10 -c:v mpeg4 -q:v 5 "
                                                          "-g 50 -c:a pcm_s16le");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static inline std::optional<TempDir> dir_;
    static inline std::string clip_;
};

TEST_F(MpvGraphTest, MeasuresAClipAndSeeksExactly) {
    auto g = create_filter_graph(quiet());
    g->renderFile(clip_);
    EXPECT_NEAR(g->duration(), 10.0, 0.05);
    EXPECT_EQ(g->videoWidth(), 320);
    EXPECT_EQ(g->videoHeight(), 240);
    // Frames between key frames are reached exactly.
    g->setCurrentPosition(4.0);
    EXPECT_NEAR(g->currentPosition(), 4.0, 1e-3);
    g->setCurrentPosition(7.48);
    EXPECT_NEAR(g->currentPosition(), 7.48, 1e-3);
    // Between two frames, the position is that of the frame shown: the next one.
    g->setCurrentPosition(3.01);
    EXPECT_NEAR(g->currentPosition(), 3.04, 1e-3);
    g->setCurrentPosition(0.0);
    EXPECT_NEAR(g->currentPosition(), 0.0, 1e-3);
    // The end of the source: the seek completes and the position stays at the last picture.
    g->setCurrentPosition(g->duration());
    EXPECT_GE(g->currentPosition(), 9.9);
    EXPECT_LE(g->currentPosition(), 10.0 + 1e-3);
}

TEST_F(MpvGraphTest, RunAdvancesAndStopKeepsThePosition) {
    auto g = create_filter_graph(quiet());
    g->renderFile(clip_);
    g->run();
    ASSERT_TRUE(eventually([&] { return g->currentPosition() > 0.3; }));
    g->stop();
    // Once stopped, the position no longer moves and is not sent back to the start.
    double p1 = g->currentPosition();
    std::this_thread::sleep_for(300ms);
    double p2 = g->currentPosition();
    EXPECT_GT(p1, 0.3);
    EXPECT_NEAR(p2, p1, 0.05);
    // A jump while stopped lands exactly; playing resumes from there.
    g->setCurrentPosition(p2 + 1.0);
    EXPECT_NEAR(g->currentPosition(), p2 + 1.0, 1e-3);
    g->run();
    ASSERT_TRUE(eventually([&] { return g->currentPosition() > p2 + 1.2; }));
    g->stop();
}

// What cannot be opened says why; nothing loaded has no position; values outside what the
// graph accepts are refused, not passed on.
TEST_F(MpvGraphTest, FailuresCarryADescription) {
    write_file(*dir_ / "notes.avi", std::string(4096, 'x'));
    const std::string notMedia = (*dir_ / "notes.avi").string(), missing = (*dir_ / "missing.avi").string();
    const std::pair<std::string, std::string> opens[] = {
        {notMedia, "cannot open '" + notMedia + "': "},
        {missing, "cannot open '" + missing + "': loading failed"},
    };
    for (const auto& [file, says] : opens)
        EXPECT_EQ(error_of([&] { create_filter_graph(quiet())->renderFile(file); }).rfind(says, 0), 0u) << file;
    auto g = create_filter_graph(quiet());
    for (auto refused : std::vector<std::function<void()>>{
             [&] { g->duration(); }, [&] { g->currentPosition(); }, [&] { g->setVolume(1); },
             [&] { g->setBalance(10001); }, [&] { g->setRate(0.0); }, [&] { g->setWidth(-1); }})
        EXPECT_THROW(refused(), Error);
}

// A picture box stand-in that counts what it is given.
class CountingSink : public frames::FrameSink {
public:
    void present(std::shared_ptr<const frames::VideoFrame> frame) override {
        std::lock_guard lock(mutex);
        last = std::move(frame);
        ++count;
    }
    int shown() {
        std::lock_guard lock(mutex);
        return count;
    }
    std::shared_ptr<const frames::VideoFrame> latest() {
        std::lock_guard lock(mutex);
        return last;
    }
    std::mutex mutex;
    std::shared_ptr<const frames::VideoFrame> last;
    int count = 0;
};

TEST_F(MpvGraphTest, DrawsPicturesIntoItsOwnerAndTakesTheWindowBack) {
    CountingSink sink;
    const WindowHandle window = reinterpret_cast<WindowHandle>(&sink);
    frames::register_sink(window, &sink);

    GraphOptions o;
    o.videoOutput = "libmpv";
    o.audioOutput = "null";
    {
        auto g = create_filter_graph(o);
        g->renderFile(clip_);
        g->setOwner(window);
        g->setWidth(320);
        g->setHeight(240);
        g->setCurrentPosition(3.0);
        g->run();
        ASSERT_TRUE(eventually([&] { return sink.shown() >= 3; }));
        g->stop();

        auto f = sink.latest();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->width, 320);
        EXPECT_EQ(f->height, 240);
        ASSERT_GE(f->stride, 320 * 4);
        ASSERT_EQ(f->pixels.size(), static_cast<std::size_t>(f->stride) * 240);
        // The test picture is colourful: not a blank buffer, and every pixel is opaque.
        int distinct = 0;
        std::uint32_t first = 0;
        for (int y = 0; y < 240; y += 8) {
            for (int x = 0; x < 320; x += 8) {
                const std::uint8_t* p = f->pixels.data() + y * f->stride + x * 4;
                std::uint32_t rgb = p[0] | (p[1] << 8) | (p[2] << 16);
                if (x == 0 && y == 0) first = rgb;
                if (rgb != first) ++distinct;
                EXPECT_EQ(p[3], 0xFF);
            }
        }
        EXPECT_GT(distinct, 100);

        // Another producer takes the window; the graph's pictures stop reaching it...
        frames::ClaimToken other = frames::claim(window);
        int before = sink.shown();
        g->setCurrentPosition(5.0);
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(sink.shown(), before);
        EXPECT_TRUE(frames::is_current(window, other));
        // ...until it is made the owner again, which shows its picture at once, stopped or not.
        g->setOwner(window);
        EXPECT_EQ(sink.shown(), before + 1);
        EXPECT_FALSE(frames::is_current(window, other));
    }
    frames::unregister_sink(window);
}

}  // namespace
}  // namespace shardex::media

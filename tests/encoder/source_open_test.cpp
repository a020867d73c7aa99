// What the encoder agrees to read as a source, local or shared (through a ByteSource): one
// video file and nothing it names; and how long a source's reads may hold a prepare or an
// encode.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "platform/encoder/errors.h"
#include "support/job.h"
#include "support/media.h"

namespace shardex::testing {
namespace {

using namespace encoder;

const char* const kSmall = "Windows Media Video 8 for Dial-up Modems (No audio, 28.8 Kbps)";

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A job on `input`; when `shared`, read through a FileSource that `made` sees first, on the
// thread that runs the prepare.
using Made = std::function<void(const std::shared_ptr<FileSource>&)>;
std::unique_ptr<Job> job_for(const fs::path& input, const fs::path& output, bool shared, Made made = {},
                                       std::chrono::milliseconds openLimit = kDefaultOpenLimit) {
    LocalEncoderOptions options;
    options.openLimit = openLimit;
    if (shared)
        options.openInput = [made](const std::string& path) {
            auto s = std::make_shared<FileSource>(path);
            if (made) made(s);
            return s;
        };
    return make_job(input, output, kSmall, options);
}

// The text prepare fails with; "" when it succeeds.
std::string prepare_failure(Encoder& e) {
    try {
        e.prepare(true);
    } catch (const Error& err) {
        EXPECT_EQ(err.code(), errors::kSourceUnreadable) << err.what();
        return err.what();
    }
    return "";
}

// A TCP listener on 127.0.0.1 that nothing should ever reach.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    Listener() {
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, 8), 0);
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    }
    ~Listener() { ::close(fd); }
    bool reached() const {
        const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) ::close(c);
        return c >= 0;
    }
};

// Files that name other files or addresses are refused before anything they name is
// opened, wherever they come from; a shared source must moreover be a common video
// container, while a local one may be any single file FFmpeg reads.
TEST(SourceInput, OnlyASingleVideoFileIsRead) {
    TempDir dir;
    Listener listener;
    const std::string http = "http://127.0.0.1:" + std::to_string(ntohs(listener.a.sin_port)) + "/seg.avi";
    make_clip(dir / "secret.avi", "-f lavfi -i testsrc2=s=160x120:r=15:d=2 -c:v mjpeg");
    make_clip(dir / "clip.y4m", "-f lavfi -i testsrc2=s=160x120:r=15:d=2 -pix_fmt yuv420p");
    const auto write = [&](const std::string& name, const std::string& text) {
        write_file(dir / name, text);
        return dir / name;
    };
    const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n";
    const fs::path hlsHttp = write("web.m3u8", hls + http + "\n#EXT-X-ENDLIST\n");
    const fs::path hlsFile = write("near.m3u8", hls + "secret.avi\n#EXT-X-ENDLIST\n");
    const fs::path listHttp = write("web.ffconcat", "ffconcat version 1.0\nfile '" + http + "'\n");
    const fs::path listFile = write("near.ffconcat", "ffconcat version 1.0\nfile secret.avi\n");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, (dir / "secret.avi").c_str(), IN_OPEN | IN_ACCESS), 0);

    const std::string single = "not a single video file";
    const struct {
        fs::path input;
        bool shared;
        std::string says;  // "" when it is read
    } cases[] = {
        {hlsHttp, false, single + ": it names other files or addresses ('" + http + "')"},
        {hlsFile, false, single + ": it names other files or addresses ('" + (dir / "secret.avi").string() + "')"},
        {listHttp, false, single + ": it names other files or addresses (Virtual concatenation script)"},
        {listFile, false, single + ": it names other files or addresses (Virtual concatenation script)"},
        {hlsHttp, true, single}, {hlsFile, true, single}, {listHttp, true, single}, {listFile, true, single},
        {dir / "clip.y4m", true, single + " of a kind read from another computer (YUV4MPEG pipe)"},
        {dir / "clip.y4m", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.filename().string() + (c.shared ? ", shared" : ", local"));
        auto job = job_for(c.input, dir / "out.wmv", c.shared);
        const std::string text = prepare_failure(*job->encoder);
        if (c.says.empty()) {
            EXPECT_EQ(text, "");
        }
        else {
            EXPECT_TRUE(has(text, "cannot open source '" + c.input.string() + "': it is " + c.says)) << text;
        }
        EXPECT_FALSE(listener.reached()) << "a connection reached the address the file names";
        char events[4096];
        EXPECT_LT(::read(watch, events, sizeof events), 0) << "the file the list names was opened";
    }
    ::close(watch);
}

// A source whose reads stall (a share that stopped answering) holds neither a prepare nor
// an encode beyond a stop from another thread: the prepare fails, the encode ends as
// stopped with its file finished. One that answers too slowly fails the prepare at the
// open limit.
TEST(SourceInput, StalledReadsEndAtAStopOrTheOpenLimit) {
    TempDir dir;
    const fs::path clip = dir / "clip.avi";
    make_clip(clip, "-f lavfi -i testsrc2=s=320x240:r=25:d=4 -c:v mjpeg -q:v 2");
    {  // stopped mid-encode
        std::shared_ptr<FileSource> source;
        auto job = job_for(clip, dir / "out.wmv", true, [&](const std::shared_ptr<FileSource>& s) { source = s; });
        ASSERT_EQ(prepare_failure(*job->encoder), "");
        source->stallFrom = static_cast<std::int64_t>(fs::file_size(clip)) * 3 / 4;
        job->encoder->start();
        ASSERT_TRUE(source->waitStalled());
        job->encoder->stop();
        ASSERT_TRUE(job->events.waitStopped(30s));
        EXPECT_EQ(job->events.errorTexts, std::vector<std::string>{});
        EXPECT_GT(frame_count(dir / "out.wmv"), 0);
    }
    const struct {
        const char* intent;
        bool stall;
        std::chrono::milliseconds delay;
        std::string says;
    } prepares[] = {
        {"stalled, then stopped", true, 0ms, "reading it was stopped"},
        {"slower than the open limit", false, 1200ms, "it could not be read within 1 s"},
    };
    for (const auto& c : prepares) {
        SCOPED_TRACE(c.intent);
        std::promise<std::shared_ptr<FileSource>> made;
        auto job = job_for(clip, dir / "out.wmv", true, [&](const std::shared_ptr<FileSource>& s) {
            s->stallFrom = c.stall ? 0 : -1;
            s->delay = c.delay;
            made.set_value(s);
        }, 1000ms);
        Encoder* e = job->encoder.get();
        auto failure = std::async(std::launch::async, [e] { return prepare_failure(*e); });
        auto source = made.get_future();
        ASSERT_EQ(source.wait_for(10s), std::future_status::ready);
        if (c.stall) {
            ASSERT_TRUE(source.get()->waitStalled());
            job->encoder->stop();
        }
        ASSERT_EQ(failure.wait_for(30s), std::future_status::ready);
        const std::string text = failure.get();
        EXPECT_TRUE(has(text, "cannot open source '" + clip.string() + "': " + c.says)) << text;
    }
}

}  // namespace
}  // namespace shardex::testing

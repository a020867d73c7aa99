// A source larger than 4 GiB: an OpenDML AVI of raw video made with the ffmpeg tool, chosen
// in the window and encoded by the Server and two loopback agents, which read it through the
// Server's share at offsets past 4 GiB. Checks the sizes, lengths and rates the window shows
// for the source and for each slot's outcome, and that the three outputs hold every frame
// once. The source is deleted afterwards, whatever happened.
//
//   soak_big_source
#include <cmath>
#include <cstdint>

#include "app/formats.h"
#include "soak_support.h"

using namespace shardex;
using namespace shardex::soak;

namespace {

constexpr const char* kCheck = "big-source";
// The smallest stock profile the window offers (audio-and-video profiles other than the
// dial-up ones): 320x240 at 29.97 fps. The source has the same rate, so the outputs' frame
// counts add up to the source's.
constexpr const char* kProfile = "Windows Media Video 8 for Local Area Network (384 Kbps)";
// Segment bounds are whole seconds, so the source ends just before one: 4795 frames at
// 30000/1001 last 159.983 s and the last segment, which ends at 160 s, takes them all.
constexpr int kWidth = 640, kHeight = 480, kFrames = 4795;  // raw, 4.4 GB
constexpr int kLengthMs = 159983;
constexpr std::int64_t k4GiB = std::int64_t{1} << 32;
constexpr std::int64_t kSpareBytes = std::int64_t{1} << 30;  // outputs, logs and room to breathe
// Server 10%, client 1 88%, client 2 2%: client 1's segment runs across the 4 GiB mark and
// client 2's lies wholly past it, so both clients read at 64-bit offsets.
constexpr const char* kLoads[3] = {"10", "88", "2"};
constexpr auto kRunLimit = std::chrono::seconds(400);

std::string label(const QLabel* l) { return l->text().toStdString(); }

// What a status label must read for a successful slot: the source kilobytes its segment
// stands for against the kilobytes of its output.
std::string expected_status(std::int64_t segMs, std::int64_t movieMs, std::int64_t sourceBytes, std::int64_t outBytes) {
    const double share = static_cast<double>(segMs) / static_cast<double>(movieMs) * static_cast<double>(sourceBytes) / 1024.0;
    const double outKB = std::nearbyint(static_cast<double>(outBytes) / 1024.0);
    char buf[64];
    std::snprintf(buf, sizeof buf, "Status:  Success %.1f to 1", share / outKB);
    return buf;
}

// 1234567 as "1,234,567".
std::string grouped(long long v) {
    std::string s = std::to_string(v);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<std::size_t>(i), ",");
    return s;
}

int run_check() {
    const auto t0 = Clock::now();
    TempFolder folder("shardex-soak-big");  // the big source goes with it, whatever happens
    if (!folder.valid()) return report(kCheck, "", "no temporary folder") ? 0 : 1;
    const fs::path root = folder.path();

    const std::int64_t frameBytes = std::int64_t{kWidth} * kHeight * 3;
    const std::int64_t need = frameBytes * kFrames + kSpareBytes;
    const long long avail = free_bytes(root);
    char buf[1024];
    if (avail < need) {
        std::snprintf(buf, sizeof buf, "%.1f GiB free in %s, %.1f GiB needed", static_cast<double>(avail) / (1 << 30),
                      root.c_str(), static_cast<double>(need) / (1 << 30));
        return report(kCheck, buf, "not enough free disk space for a source over 4 GiB; free some or set TMPDIR "
                                   "to a bigger disk") ? 0 : 1;
    }

    const std::string clip = (root / "big.avi").string();
    const auto makeStart = Clock::now();
    std::snprintf(buf, sizeof buf,
                  "timeout 600 ffmpeg -v error -y -f lavfi -i testsrc2=size=%dx%d:rate=30000/1001 -f lavfi -i "
                  "sine=r=8000:duration=%.3f -frames:v %d -c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8 -ac 1 '%s'",
                  kWidth, kHeight, kLengthMs / 1000.0, kFrames, clip.c_str());
    const bool made = shell_ok(buf);
    const double makeSeconds = seconds_since(makeStart);
    std::error_code ec;
    const auto bytes = static_cast<std::int64_t>(fs::file_size(clip, ec));
    if (!made || ec) return report(kCheck, "", "ffmpeg could not make the source") ? 0 : 1;
    if (bytes <= k4GiB) return report(kCheck, std::to_string(bytes) + " bytes", "the source is not over 4 GiB") ? 0 : 1;
    const bool openDml = testing::run("grep -c -a -m1 AVIX '" + clip + "'").rfind('0', 0) != 0;
    const int sourceFrames = frame_count(clip);
    note("made %s: %lld bytes, %d frames in %.1f s", clip.c_str(), static_cast<long long>(bytes), sourceFrames,
         makeSeconds);

    const fs::path network = root / "network";
    remote::init_network(network);
    Agents agents;
    if (auto why = agents.start(root, network); !why.empty()) return report(kCheck, "", why) ? 0 : 1;
    use_home(root / "server");
    ServerWindow w("SRV", network, root / "server", agents.peers());
    if (auto why = w.setUp(kProfile); !why.empty()) return report(kCheck, "", why) ? 0 : 1;
    if (auto why = w.choose(clip); !why.empty()) return report(kCheck, "", why) ? 0 : 1;
    Form1& f = *w.form;

    // What the window shows for the source, against what the file is.
    std::string failure;
    const long long mb = std::llround(static_cast<double>(bytes) / 1048576.0);
    // The rate over the length the window measured (checked against the file's just below).
    const long long kbps = std::llround(static_cast<double>(bytes) / 1024.0 / (f.S.Movie_Length / 1000.0) * 8.0);
    const std::pair<std::string, std::string> shown[] = {
        {label(f.Label_SourceSize), "Disk Size: " + grouped(mb) + " MB"},
        {label(f.Label_Length), "Movie Length: 0:02:40"},
        {label(f.Label_Dimension), "Frame: " + std::to_string(kWidth) + " x " + std::to_string(kHeight)},
        {label(f.Label19), "Bit rate: " + grouped(kbps) + " Kbps"},
    };
    for (const auto& [is, want] : shown)
        if (is != want) failure += "the window shows \"" + is + "\", not \"" + want + "\"; ";
    if (std::abs(f.S.Movie_Length - kLengthMs) > 50)
        failure += "the source's length reads " + std::to_string(f.S.Movie_Length) + " ms, not about " +
                   std::to_string(kLengthMs) + "; ";

    RunResult r;
    if (failure.empty()) {
        r = w.go(kLoads[0], kLoads[1], kLoads[2], kRunLimit);
        if (!r.success) failure = "the run did not succeed: " + r.why();
    }
    int frames = 0;
    std::string perSlot;
    if (failure.empty()) {
        const auto outs = w.outputs(root / "server");
        const std::int64_t seg[3] = {f.S.Local_SegLength, f.S.Remote_SegLength, f.S.Remote2_SegLength};
        const QLabel* status[3] = {f.Local_Status, f.Remote_Status, f.Remote2_Status};
        for (int i = 0; i < 3; ++i) {
            const int n = frame_count(outs[i]);
            frames += std::max(n, 0);
            const auto outBytes = static_cast<std::int64_t>(fs::file_size(outs[i], ec));
            const std::string want = expected_status(seg[i], f.S.Movie_Length, bytes, ec ? 0 : outBytes);
            std::snprintf(buf, sizeof buf, "%s%s %d frames %lld bytes \"%s\"", perSlot.empty() ? "" : "; ",
                          fs::path(outs[i]).filename().c_str(), n, static_cast<long long>(outBytes),
                          label(status[i]).c_str());
            perSlot += buf;
            if (formats(outs[i]).rfind("asf wmv2", 0) != 0) failure += outs[i] + " is \"" + formats(outs[i]) + "\", not asf wmv2; ";
            if (label(status[i]) != want) failure += "a status reads \"" + label(status[i]) + "\", not \"" + want + "\"; ";
        }
        if (frames != sourceFrames)
            failure += "the outputs hold " + std::to_string(frames) + " frames, the source " + std::to_string(sourceFrames);
    }
    std::snprintf(buf, sizeof buf,
                  "source %lld bytes (%.2f GiB, %s), %d frames %dx%d raw, made in %.1f s; window: \"%s\", \"%s\", "
                  "\"%s\"; loads %s/%s/%s, segments %d/%d/%d ms; run %.1f s; outputs: %s; %d frames in all; %.1f s "
                  "with set-up",
                  static_cast<long long>(bytes), static_cast<double>(bytes) / (1 << 30),
                  openDml ? "OpenDML" : "no OpenDML index seen", sourceFrames, kWidth, kHeight, makeSeconds,
                  label(f.Label_SourceSize).c_str(), label(f.Label_Length).c_str(), label(f.Label19).c_str(), kLoads[0],
                  kLoads[1], kLoads[2], f.S.Local_SegLength, f.S.Remote_SegLength, f.S.Remote2_SegLength, r.seconds,
                  perSlot.c_str(), frames, seconds_since(t0));
    return report(kCheck, buf, failure) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    prepare_environment();
    QApplication app(argc, argv);
    return run_check();
}

// The Server killed during a run: the real `shardex` program (offscreen, its source and Go
// given on the command line) drives NODE1 and NODE2 and is killed while both encode. Each
// agent must stop the encode and free the Server's application within 2 s, and keep a
// partial file that ffprobe reads as a Windows Media file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/distributed_run.h"

extern char** environ;

namespace shardex::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The largest .wmv in `folder`, or "".
fs::path output_in(const fs::path& folder) {
    fs::path best;
    std::uintmax_t size = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        if (e.path().extension() != ".wmv") continue;
        const auto s = fs::file_size(e.path(), ec);
        if (!ec && s >= size) {
            size = s;
            best = e.path();
        }
    }
    return best;
}

std::uintmax_t size_of(const fs::path& p) {
    std::error_code ec;
    const auto s = p.empty() ? 0 : fs::file_size(p, ec);
    return ec ? 0 : s;
}

class ServerKilled : public DistributedRun {
protected:
    void TearDown() override {
        if (server_ > 0) {
            ::kill(server_, SIGKILL);
            ::waitpid(server_, nullptr, 0);
        }
        DistributedRun::TearDown();
    }

    // `shardex` with the source chosen and Go pressed, reaching NODE1 and NODE2.
    bool start_server() {
        const std::string h = home.path().toStdString();
        std::vector<std::string> args = {SHARDEX_PROGRAM_PATH, "--source", long_clip(), "--go",
                                         "--peer", "NODE1=" + node1->endpoint(), "--peer", "NODE2=" + node2->endpoint(),
                                         "--network-dir", network.string(), "--share-listen", "127.0.0.1:0"};
        std::vector<std::string> env = {"HOME=" + h, "XDG_CONFIG_HOME=" + h + "/config", "QT_QPA_PLATFORM=offscreen",
                                        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/shardex-soak-no-bus"};
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            if (v.rfind("PATH=", 0) == 0 || v.rfind("LANG=", 0) == 0) env.push_back(v);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = h + "/shardex.log";
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = posix_spawn(&server_, SHARDEX_PROGRAM_PATH, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) server_ = 0;
        return rc == 0;
    }

    pid_t server_ = 0;
};

TEST_F(ServerKilled, AgentsStopAndFreeTheirApplicationsAndKeepValidFiles) {
    ASSERT_TRUE(start_server());
    // Both clients encode: their outputs have grown past their first packets. (An idle
    // computer encodes a client's segment in about a second, so the kill comes early.)
    const auto until = Clock::now() + std::chrono::seconds(90);
    while (Clock::now() < until && (size_of(output_in(node_root(1) / "Shardex")) < (32 << 10) ||
                                    size_of(output_in(node_root(2) / "Shardex")) < (32 << 10)))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(size_of(output_in(node_root(2) / "Shardex")), 32u << 10) << node1->log() << node2->log();
    ASSERT_GE(size_of(output_in(node_root(1) / "Shardex")), 32u << 10) << node1->log() << node2->log();

    ::kill(server_, SIGKILL);
    const auto killed = Clock::now();
    ::waitpid(server_, nullptr, 0);
    server_ = 0;

    for (int n : {1, 2}) {
        SCOPED_TRACE(n == 1 ? "NODE1" : "NODE2");
        const auto freedBy = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < freedBy && node(n)->log().find("application(s) freed") == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count();
        const std::string log = node(n)->log();
        ASSERT_NE(log.find("application(s) freed"), std::string::npos) << log;
        // The encode ends either way first: the session's end, or the source's share gone.
        const bool wentAway = log.find("went away: the encode is stopped") != std::string::npos;
        const bool sourceLost = log.find("error: cannot read source") != std::string::npos;
        // A fast client may have finished its segment just before the kill: no error then.
        const bool finished = !wentAway && !sourceLost && log.find("error: ") == std::string::npos;
        EXPECT_TRUE(wentAway || sourceLost || finished) << log;
        RecordProperty(std::string("NODE") + char('0' + n) + " encode ended by",
                       wentAway     ? "the Server's session ending"
                       : sourceLost ? "the source's share going away"
                                    : "its own end, just before the kill");
        EXPECT_LT(ms, 2000) << "NODE" << n << " freed the Server's application " << ms << " ms after the kill";
        RecordProperty(std::string("NODE") + char('0' + n) + " freed after (ms)", std::to_string(ms));
    }
    for (int n : {1, 2}) {
        const fs::path out = output_in(node_root(n) / "Shardex");
        const std::string read = formats(out.string());
        const int frames = frame_count(out.string());
        RecordProperty(std::string("NODE") + char('0' + n) + " partial file",
                       out.filename().string() + ", " + std::to_string(size_of(out)) + " bytes, " + read + ", " +
                           std::to_string(frames) + " frames");
        EXPECT_EQ(read, "asf wmv2 wmav2") << out;
        EXPECT_GT(frames, 0) << out;
        EXPECT_LT(frames, frame_count(long_clip())) << out;
    }
}

}  // namespace
}  // namespace shardex::testing

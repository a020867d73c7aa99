// This computer's own counters under load the test makes: a busy thread, synced writes and
// bytes through loopback. Every wait is a bounded number of samples.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/counters/proc_counters.h"

using namespace shardex::platform;
namespace fs = std::filesystem;

namespace {

// The best of up to 30 samples of `counter`, each after one `load()`, until one passes `least`.
template <class Load>
double best_of(Counter& counter, double least, Load load) {
    double best = 0;
    for (int i = 0; i < 30 && best <= least; ++i) {
        load();
        best = std::max(best, counter.value());
    }
    return best;
}

// A writable folder whose file system sits on a whole disk with a device behind it; "" if none.
fs::path folder_on_physical_disk() {
    for (const fs::path& c : {fs::current_path(), fs::path("/var/tmp"), fs::path("/tmp")}) {
        struct stat st {};
        std::error_code ec;
        if (stat(c.c_str(), &st) != 0 || access(c.c_str(), W_OK) != 0) continue;
        fs::path dev = fs::canonical("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                                         std::to_string(minor(st.st_dev)), ec);
        if (!ec && fs::exists(dev / "partition", ec)) dev = dev.parent_path();
        if (!ec && fs::exists(fs::path("/sys/block") / dev.filename() / "device", ec)) return c;
    }
    return {};
}

}  // namespace

TEST(RealCountersTest, BusyThreadRaisesProcessorTime) {
    auto cpu = create_proc_counter_collection()->add("\\Processor(_Total)\\% Processor Time");
    ASSERT_NE(cpu, nullptr);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        for (volatile unsigned long x = 0; !stop.load(std::memory_order_relaxed);) x = x + 1;
    });
    // One busy thread keeps one processor of n busy: 100 / n percent, half of it asked for.
    const double least = 50.0 / std::max(1u, std::thread::hardware_concurrency());
    const double best = best_of(*cpu, least, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    stop = true;
    busy.join();
    EXPECT_GE(best, least);
    EXPECT_LE(best, 100.0);
}

TEST(RealCountersTest, SyncedWritesRaiseDiskTime) {
    auto disk = create_proc_counter_collection()->add("\\PhysicalDisk(_Total)\\% Disk Time");
    ASSERT_NE(disk, nullptr);
    const fs::path folder = folder_on_physical_disk();
    if (folder.empty()) GTEST_SKIP() << "no writable folder on a physical disk";
    const fs::path file = folder / ("shardex-disk-load-" + std::to_string(getpid()));
    const std::vector<char> block(4 << 20, 'x');
    const double best = best_of(*disk, 0, [&] {
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0 && write(fd, block.data(), block.size()) > 0) fsync(fd);
        if (fd >= 0) close(fd);
    });
    fs::remove(file);
    EXPECT_GT(best, 0.0) << "writes synced to " << folder << " were not counted";
}

// The bytes counted on loopback between two samples are at least the bytes sent there,
// twice (received and sent): checked against the counter's own clock, not the test's.
TEST(RealCountersTest, BytesThroughLoopbackRaiseItsCounter) {
    double lastSample = 0;
    ProcCounterOptions o;
    o.seconds = [&] {
        return lastSample = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
    auto c = create_proc_counter_collection(o);
    c->add("\\Network Interface(*)\\Bytes Total/sec");
    std::shared_ptr<Counter> lo;
    for (int i = 1; i <= c->count(); ++i)
        if (c->item(i)->path().find("Loopback") != std::string::npos) lo = c->item(i);
    ASSERT_NE(lo, nullptr) << "no loopback interface among " << c->count();

    const int server = socket(AF_INET, SOCK_STREAM, 0), client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 1), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const int peer = accept(server, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    constexpr std::size_t kBytes = 8 << 20;
    std::size_t received = 0, sent = 0;
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t got; (got = read(peer, buf, sizeof buf)) > 0;) received += static_cast<std::size_t>(got);
    });
    lo->value();
    const double t0 = lastSample;
    const std::vector<char> chunk(65536, 'y');
    for (ssize_t n = 1; sent < kBytes && n > 0; sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0)))
        n = write(client, chunk.data(), std::min(chunk.size(), kBytes - sent));
    shutdown(client, SHUT_WR);
    reader.join();
    const double rate = lo->value();
    for (int fd : {client, peer, server}) close(fd);
    EXPECT_EQ(received, kBytes);
    ASSERT_GT(lastSample, t0);
    EXPECT_GE(rate * (lastSample - t0), 2.0 * kBytes);
}

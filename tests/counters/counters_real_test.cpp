// This computer's own counters under load the test makes: a busy thread, synced writes and
// bytes through loopback. Every wait is a bounded number of samples.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/counters/proc_counters.h"

using namespace shardex::platform;
namespace fs = std::filesystem;

namespace {

const std::string kCpu = "\\Processor(_Total)\\% Processor Time";
const std::string kDisk = "\\PhysicalDisk(_Total)\\% Disk Time";
const std::string kNet = "\\Network Interface(*)\\Bytes Total/sec";

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A writable folder whose file system sits on a whole disk with a device behind it.
std::optional<fs::path> folder_on_physical_disk() {
    std::vector<fs::path> candidates = {fs::current_path(), "/var/tmp", "/tmp"};
    if (const char* t = std::getenv("TMPDIR")) candidates.insert(candidates.begin() + 1, t);
    for (const auto& c : candidates) {
        struct stat st {};
        std::error_code ec;
        if (stat(c.c_str(), &st) != 0 || access(c.c_str(), W_OK) != 0) continue;
        fs::path dev = fs::canonical(
            "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)), ec);
        if (ec) continue;
        if (fs::exists(dev / "partition", ec)) dev = dev.parent_path();
        if (fs::exists(fs::path("/sys/block") / dev.filename() / "device", ec)) return c;
    }
    return std::nullopt;
}

bool diskstats_lists_a_physical_disk() {
    std::ifstream in("/proc/diskstats");
    std::string major, minor, name, rest;
    while (in >> major >> minor >> name && std::getline(in, rest)) {
        std::error_code ec;
        if (fs::exists("/sys/block/" + name + "/device", ec)) return true;
    }
    return false;
}

}  // namespace

TEST(RealCountersTest, BusyThreadRaisesProcessorTime) {
    auto cpu = create_proc_counter_collection()->add(kCpu);
    ASSERT_NE(cpu, nullptr);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        volatile unsigned long x = 0;
        while (!stop.load(std::memory_order_relaxed)) x = x + 1;
    });
    // One busy thread keeps at least one processor of n busy: 100 / n percent, half of it
    // asked for to allow for scheduling.
    const double least = 50.0 / std::max(1u, std::thread::hardware_concurrency());
    double best = 0;
    for (int i = 0; i < 30 && best < least; ++i) {
        sleep_ms(100);
        best = std::max(best, cpu->value());
    }
    stop = true;
    busy.join();
    EXPECT_GE(best, least);
    EXPECT_LE(best, 100.0);
}

TEST(RealCountersTest, SyncedWritesRaiseDiskTime) {
    auto disk = create_proc_counter_collection()->add(kDisk);
    ASSERT_NE(disk, nullptr);
    if (!diskstats_lists_a_physical_disk()) {
        sleep_ms(20);
        EXPECT_EQ(disk->value(), 0.0) << "no physical disk to count";
        GTEST_SKIP() << "/proc/diskstats lists no physical disk; the disk counter reads 0";
    }
    auto folder = folder_on_physical_disk();
    if (!folder) GTEST_SKIP() << "no writable folder on a physical disk";

    fs::path file = *folder / ("shardex-disk-load-" + std::to_string(getpid()));
    std::vector<char> block(4 << 20, 'x');
    double best = 0;
    for (int i = 0; i < 30 && best <= 0; ++i) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0) << file;
        ASSERT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
        fsync(fd);
        close(fd);
        best = std::max(best, disk->value());
    }
    fs::remove(file);
    EXPECT_GT(best, 0.0) << "writes synced to " << *folder << " were not counted";
}

// The bytes counted on loopback between two samples are at least the bytes sent there,
// twice (received and sent): checked against the counter's own clock, not the test's.
TEST(RealCountersTest, BytesThroughLoopbackRaiseItsCounter) {
    double last_sample = 0;
    ProcCounterOptions o;
    o.seconds = [&] {
        using namespace std::chrono;
        return last_sample = duration<double>(steady_clock::now().time_since_epoch()).count();
    };
    auto c = create_proc_counter_collection(o);
    c->add(kNet);
    std::shared_ptr<Counter> lo;
    for (int i = 1; i <= c->count(); ++i)
        if (c->item(i)->path().find("Loopback") != std::string::npos) lo = c->item(i);
    ASSERT_NE(lo, nullptr) << "no loopback interface among " << c->count();

    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 1), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int peer = accept(server, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    constexpr std::size_t kBytes = 8 << 20;
    std::atomic<std::size_t> received{0};
    std::thread reader([&] {
        char buf[65536];
        ssize_t got;
        while ((got = read(peer, buf, sizeof buf)) > 0) received += static_cast<std::size_t>(got);
    });

    lo->value();
    const double t0 = last_sample;
    std::vector<char> chunk(65536, 'y');
    ssize_t n = 1;
    for (std::size_t sent = 0; sent < kBytes && n > 0; sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0)))
        n = write(client, chunk.data(), std::min(chunk.size(), kBytes - sent));
    shutdown(client, SHUT_WR);
    reader.join();
    ASSERT_GT(n, 0);
    const double rate = lo->value();
    const double t1 = last_sample;
    for (int fd : {client, peer, server}) close(fd);

    EXPECT_EQ(received.load(), kBytes);
    ASSERT_GT(t1, t0);
    EXPECT_GE(rate * (t1 - t0), 2.0 * kBytes);
}

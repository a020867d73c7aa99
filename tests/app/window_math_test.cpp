// The window's arithmetic on plain values: the load check, the split into segments, a
// polling tick's panel figures, a finished job's outcome line and the time left.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "jobs/figures.h"
#include "jobs/time_left.h"
#include "platform/error.h"
#include "run/balance_math.h"
#include "run/segments.h"

using namespace shardex;

// 16-bit sums in the order remote + local + remote2, each text read as text_to_int16 reads it.
TEST(LoadCheck, OnlyLoadsThatMakeAHundredPass) {
    struct Case {
        const char *local, *remote, *remote2;
        bool ok;
    } cases[] = {
        {"40", "40", "20", true},          {"-20", "60", "60", true},  {"100", "00", "0", true},
        {" 40.5 ", "41.5", "18", true},    // halves to even: 40 + 42 + 18
        {"40.5", "40.5", "20", true},      // 40 + 40 + 20
        {"30", "30", "30", false},         {"50", "50", "", false},    {"50", "x", "50", false},
        {"34", "33", "32", false},         {"34", "33", "34", false},  // one off either way
        {"32767", "32767", "-32734", false},  // remote + local leaves 16 bits on the way
        {"32767", "1", "-32668", false},      // only the order remote + local overflows
        {"40000", "-39900", "0", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loads_add_up(c.local, c.remote, c.remote2), c.ok) << c.local << "," << c.remote << "," << c.remote2;
}

// Cuts on whole seconds (halves to the even second), Client 1's share measured from the
// Server's rounded cut, a load that is not a number counting as 0, Client 2 taking the rest.
TEST(Split, CutsTheStretchByTheLoads) {
    struct Case {
        std::int32_t in, end;
        const char *local, *remote;
        SegmentBounds want;
    } cases[] = {
        {0, 123456, "40", "40", {0, 49000, 49000, 98000, 98000, 123000}},
        {0, 123456, "50", "50", {0, 62000, 62000, 124000, 124000, 123000}},  // Client 2 runs backwards
        {0, 123456, "0", "50", {0, 0, 0, 62000, 62000, 123000}},
        {0, 5000, "50", "50", {0, 2000, 2000, 4000, 4000, 5000}},
        {2500, 10000, "100", "0", {2000, 10000, 10000, 10000, 10000, 10000}},
        {3500, 10000, "100", "0", {4000, 10000, 10000, 10000, 10000, 10000}},
        {1400, 10600, "0", "100", {1000, 1000, 1000, 10000, 10000, 11000}},
        {0, 123456, "100", "abc", {0, 123000, 123000, 123000, 123000, 123000}},
        {0, 123456, "", "40000", {0, 0, 0, 0, 0, 123000}},
    };
    for (const auto& c : cases) {
        const SegmentBounds b = split_segments(c.in, c.end, c.local, c.remote);
        EXPECT_EQ(b, c.want) << c.in << ".." << c.end << " " << c.local << "/" << c.remote << ": " << b.localStart
                             << " " << b.localEnd << " " << b.remoteStart << " " << b.remoteEnd << " "
                             << b.remote2Start << " " << b.remote2End;
    }
    EXPECT_THROW(split_segments(0, INT32_MAX, "100", "0"), Error);
    EXPECT_EQ(stretch_end(0, 123456), 123456);
    EXPECT_EQ(stretch_end(5000, 123456), 5000);
}

// First ticks, roundings, an empty segment, and tick counters that
// wrap (at 2^32, and across the sign of a 32-bit number) during the job.
TEST(PanelFigures, OneTickAsThePanelShowsIt) {
    struct Case {
        const char* intent;
        EncoderReadings r;
        std::int32_t seg;
        std::uint32_t start, now;
        const char *size, *media, *rate, *clock, *serverSpeed, *clientSpeed;
        int percent;
    } cases[] = {
        {"nothing written yet", {0, 0, 0, 0}, 600000, 1000, 91000, "Size:      KB", "0:00:00 /0:10:00",
         "Bit rate: 0 Kb", "0:01:30", "Speed:  0.0x", "Speed:  0.x", 0},
        {"12.5 % to even", {2560, 75000, 0, 75000}, 600000, 1000, 26000, "Size:     3 KB", "0:01:15 /0:10:00",
         "Bit rate: 0 Kb", "0:00:25", "Speed:  3.0x", "Speed:  3.x", 12},
        {"13.5 % to even", {0, 81000, 0, 81000}, 600000, 1000, 28000, "Size:      KB", "0:01:21 /0:10:00",
         "Bit rate: 0 Kb", "0:00:27", "Speed:  3.0x", "Speed:  3.x", 14},
        {"beyond the segment", {0, 612000, 0, 612000}, 600000, 1000, 1000, "Size:      KB", "0:10:12 /0:10:00",
         "Bit rate: 0 Kb", "0:00:00", "Speed:  0.0x", "Speed:  0.x", 100},
        {"empty segment, fast stream", {0, 150000, 40000000, 150000}, 0, 1000, 1000, "Size:      KB",
         "0:02:30 /0:00:00", "Bit rate: 40000 Kb", "0:00:00", "Speed:  0.0x", "Speed:  0.x", 0},
        {"wrap at 2^32", {0, 150000, 0, 150000}, 600000, 0xFFFFF000u, 85904, "Size:      KB", "0:02:30 /0:10:00",
         "Bit rate: 0 Kb", "0:01:30", "Speed:  1.7x", "Speed:  1.7x", 25},
        {"across the sign", {0, 150000, 0, 150000}, 600000, 0x7FFFF000u, 0x7FFFF000u + 90000, "Size:      KB",
         "0:02:30 /0:10:00", "Bit rate: 0 Kb", "0:01:30", "Speed:  1.7x", "Speed:  1.7x", 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        for (bool server : {true, false}) {
            const PanelFigures p = panel_figures(c.r, c.seg, c.start, c.now, server);
            EXPECT_EQ(p.size, c.size);
            EXPECT_EQ(p.media, c.media);
            EXPECT_EQ(p.bitRate, c.rate);
            EXPECT_EQ(p.clock, c.clock);
            EXPECT_EQ(p.speed, server ? c.serverSpeed : c.clientSpeed);
            EXPECT_EQ(p.percent, c.percent);
            const std::string sign = server ? " " : "";  // the Server writes a sign position
            EXPECT_EQ(p.status, "Status:  Encoding " + sign + std::to_string(c.percent) + " %");
        }
    }
}

// A user's stop and a failure read differently; the ratio is the source's kilobytes the
// segment stands for over the kilobytes written.
TEST(JobOutcome, StoppedFailedOrSuccessWithTheRatio) {
    struct Case {
        bool stopped, asked;
        std::uintmax_t bytes;
        std::int32_t seg, movie;
        const char* status;
        bool success;
    } cases[] = {
        {true, true, 4096, 40000, 100000, "Status:  Stopped ", false},
        {true, false, 4096, 40000, 100000, "Status:  Failed ", false},  // stopped by itself
        {false, false, 0, 40000, 100000, "Status:  Failed - no output file ", false},
        {false, false, 1600 * 1024, 40000, 100000, "Status:  Success 12.5 to 1", true},
        {false, false, 1600 * 1024, 20000, 100000, "Status:  Success 6.3 to 1", true},
        {false, false, 40000 * 1024, 40000, 100000, "Status:  Success .5 to 1", true},
        {false, false, 400, 40000, 100000, "Status:  Success ", true},  // under half a kilobyte
        {false, false, 4096, 40000, 0, "Status:  Success ", true},      // no movie length
        {false, true, 4096, 0, 100000, "Status:  Success ", true},      // an empty segment, ended before the stop
    };
    for (const auto& c : cases) {
        const JobOutcome o = job_outcome(c.stopped, c.asked, c.bytes, c.seg, c.movie, 50000);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.success, c.success) << c.status;
    }
}

// A job's time left at its speed so far; a run's jobs go side by side, so its time left is
// its slowest job's, unknown while any running job's is, and its share counts ended jobs whole.
TEST(TimeLeft, FromEachJobsSpeedAndTheRunsSlowest) {
    struct Case {
        const char* intent;
        std::vector<JobProgress> jobs;
        const char* title;
    } cases[] = {
        {"a quarter in 90 s: 270 s left", {{150000, 600000, 90, false}}, "25% 0:04:30 left - S"},
        {"nothing written yet", {{0, 600000, 90, false}}, "0% - S"},
        {"no time passed", {{1000, 600000, 0, false}}, "0% - S"},
        {"written past the segment", {{612000, 600000, 10, false}}, "100% 0:00:00 left - S"},
        {"the slowest job sets the time, ended jobs count whole",
         {{30000, 40000, 10, false}, {10000, 40000, 20, false}, {5000, 20000, 60, true}},
         "60% 0:01:00 left - S"},
        {"one job unknown", {{30000, 40000, 10, false}, {0, 40000, 20, false}}, "37% - S"},
        {"no media at all", {{0, 0, 5, false}}, "0% 0:00:00 left - S"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        EXPECT_EQ(run_title(run_progress(c.jobs), "S"), c.title);
        if (c.jobs.size() == 1) {
            EXPECT_EQ(left_text(seconds_left(c.jobs[0])), left_text(run_progress(c.jobs).secondsLeft));
        }
    }
    EXPECT_EQ(panel_figures({0, 150000, 0, 150000}, 600000, 1000, 91000, false).left, "0:04:30 left");
}

// Loads in proportion to the speeds, whole and adding up to 100; a computer without a speed
// gets 0.
TEST(Balance, LoadsFromMeasuredSpeeds) {
    struct Case {
        std::array<double, 3> speeds;
        std::array<int, 3> loads;
    } cases[] = {
        {{1, 1, 1}, {34, 33, 33}},           // the remainders tie: the earlier slot first
        {{4, 4, 1}, {45, 44, 11}},           // 44.4, 44.4, 11.1: one point to the Server
        {{3.2, 0.8, 0}, {80, 20, 0}},        // Client 2 not measured
        {{0, 2, 2}, {0, 50, 50}},            // the Server did not answer
        {{2, -1, std::nan("")}, {100, 0, 0}},
        {{1, 1000, 1}, {0, 100, 0}},         // 0.1 rounds away; the sum still 100
        {{0, 0, 0}, {0, 0, 0}},              // nothing measured: nothing to write
    };
    for (const auto& c : cases) EXPECT_EQ(loads_from_speeds(c.speeds), c.loads) << c.speeds[0] << "," << c.speeds[1];
    EXPECT_EQ(speed_text(2.44) + "|" + speed_text(0), "2.4x|-");
}

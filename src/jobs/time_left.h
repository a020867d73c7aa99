// Time left: of one job, from its own progress and speed so far, and of a whole run, whose
// jobs go on side by side. Plain values, for the panels and the window's title.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace shardex {

struct JobProgress {
    std::int64_t doneMs = 0;    // media written
    std::int32_t lengthMs = 0;  // the segment's length
    double elapsedSec = 0;      // since the job started
    bool ended = false;         // over: its whole length counts as done, nothing left
};

// Seconds left at the job's speed so far; -1 while that is unknown (nothing written yet or
// no time passed), 0 once it ended or wrote its whole length.
double seconds_left(const JobProgress& job);

// "0:01:05 left", or "" while unknown.
std::string left_text(double seconds);

// The share of all the run's media written (whole percent, rounded down) and the seconds
// until its last job ends; -1 while a running job's time left is unknown.
struct RunProgress {
    int percent = 0;
    double secondsLeft = -1;
};
RunProgress run_progress(const std::vector<JobProgress>& jobs);

// The window's title during a run, which reads in a task bar: "42% 0:01:05 left - BASE", or
// "42% - BASE" while the time left is unknown.
std::string run_title(const RunProgress& p, const std::string& base);

}  // namespace shardex

#include "jobs/time_left.h"

#include <algorithm>
#include <cmath>

#include "app/clock_text.h"

namespace shardex {

double seconds_left(const JobProgress& job) {
    if (job.ended || job.doneMs >= job.lengthMs) return 0;
    if (job.doneMs <= 0 || job.elapsedSec <= 0) return -1;
    const double perMediaMs = job.elapsedSec / static_cast<double>(job.doneMs);
    return perMediaMs * static_cast<double>(job.lengthMs - job.doneMs);
}

std::string left_text(double seconds) { return seconds < 0 ? std::string() : Clock_Text(seconds) + " left"; }

RunProgress run_progress(const std::vector<JobProgress>& jobs) {
    RunProgress p;
    std::int64_t done = 0, total = 0;
    bool known = true;
    double left = 0;
    for (const JobProgress& j : jobs) {
        const std::int64_t length = std::max<std::int64_t>(j.lengthMs, 0);
        total += length;
        done += j.ended ? length : std::clamp<std::int64_t>(j.doneMs, 0, length);
        const double s = seconds_left(j);
        if (s < 0) known = false;
        left = std::max(left, s);
    }
    p.percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    p.secondsLeft = known ? left : -1;
    return p;
}

std::string run_title(const RunProgress& p, const std::string& base) {
    const std::string left = left_text(p.secondsLeft);
    return std::to_string(p.percent) + "%" + (left.empty() ? "" : " " + left) + " - " + base;
}

}  // namespace shardex

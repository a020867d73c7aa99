#include "run/balance_math.h"

#include <algorithm>
#include <cmath>

#include "app/formats.h"

namespace shardex {

std::array<int, 3> loads_from_speeds(const std::array<double, 3>& speeds) {
    std::array<int, 3> loads{};
    double total = 0;
    for (double s : speeds) total += s > 0 && std::isfinite(s) ? s : 0;
    if (total <= 0) return loads;
    std::array<double, 3> rest{};
    int given = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const double share = speeds[i] > 0 && std::isfinite(speeds[i]) ? speeds[i] / total * 100 : 0;
        loads[i] = static_cast<int>(std::floor(share));
        rest[i] = share - loads[i];
        given += loads[i];
    }
    for (; given < 100; ++given) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < 3; ++i)
            if (rest[i] > rest[best]) best = i;
        ++loads[best];
        rest[best] = -1;
    }
    return loads;
}

std::string speed_text(double speed) {
    return speed > 0 && std::isfinite(speed) ? format_number(speed, "0.0") + "x" : "-";
}

}  // namespace shardex

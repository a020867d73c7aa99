#include "jobs/figures.h"

#include <algorithm>

#include "app/clock_text.h"
#include "app/formats.h"

namespace shardex {

PanelFigures panel_figures(const EncoderReadings& r, std::int32_t segLengthMs, std::uint32_t startTicks,
                           std::uint32_t nowTicks, bool server) {
    const double mediaSec = static_cast<double>(r.mediaMs) / 1000.0;
    const double segSec = segLengthMs / 1000.0;
    const double elapsedSec = static_cast<std::uint32_t>(nowTicks - startTicks) / 1000.0;
    const double speed = elapsedSec > 0 ? mediaSec / elapsedSec : 0.0;
    const double share = segSec > 0 ? static_cast<double>(r.progressMs) / 1000.0 / segSec * 100.0 : 0.0;

    PanelFigures fig;
    fig.percent = to_int16(std::clamp(share, 0.0, 100.0));
    fig.size = "Size:     " + format_number(static_cast<double>(r.bytes) / 1024.0, "###,###") + " KB";
    fig.media = Clock_Text(mediaSec) + " /" + Clock_Text(segSec);
    fig.bitRate =
        "Bit rate: " + std::to_string(static_cast<long long>(round_half_even(r.bitsPerSecond / 1000.0))) + " Kb";
    fig.clock = Clock_Text(elapsedSec);
    fig.speed = "Speed:  " + format_number(speed, server ? "0.0" : "0.#") + "x";
    fig.status = "Status:  Encoding " + (server ? with_sign_position(fig.percent) : std::to_string(fig.percent)) + " %";
    return fig;
}

JobOutcome job_outcome(bool stopped, std::uintmax_t outputBytes, std::int32_t segLengthMs, std::int32_t movieLengthMs,
                       double sourceSizeKB) {
    if (stopped) return {"Status:  Stopped ", false};
    if (outputBytes == 0) return {"Status:  Failed - no output file ", false};
    const double share =
        movieLengthMs != 0 ? static_cast<double>(segLengthMs) / movieLengthMs * sourceSizeKB : 0.0;
    const double outKB = round_half_even(static_cast<double>(outputBytes) / 1024.0);
    std::string text = "Status:  Success ";
    if (share > 0 && outKB > 0) text += format_number(share / outKB, "##.0") + " to 1";
    return {text, true};
}

}  // namespace shardex

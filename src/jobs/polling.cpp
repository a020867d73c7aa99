// Progress polling: twice a second each running slot's panel is refreshed from its
// encoder's statistics, and once more when the encoder reports that it has stopped.
#include "jobs/polling.h"

#include <QLabel>
#include <QProgressBar>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "app/clock_text.h"
#include "app/form1.h"
#include "app/formats.h"

namespace shardex {
namespace {

// One tick's figures, all read before anything is shown.
struct Figures {
    std::string size;      // "Size:     7,168 KB"
    std::string media;     // "0:02:30 /0:10:00"
    std::string bitRate;   // "Bit rate: 391 Kb"
    std::string clock;     // "0:01:30"
    double speed = 0;      // media seconds per wall-clock second
    int percent = 0;       // 0..100
    std::int32_t now = 0;  // tick count of this tick
};

// Reads the statistics and works the figures out. Empty when there is no encoder or a
// statistics call fails (a client that stopped answering, say): the panel then keeps the
// figures of the last good tick.
std::optional<Figures> read_figures(Form1& f, const std::shared_ptr<encoder::Encoder>& enc,
                                    std::int32_t segLengthMs, std::int32_t startTicks) {
    if (!enc) return std::nullopt;
    double mediaSec = 0, bytes = 0, mediaSec2 = 0, bitsPerSec = 0;
    try {
        auto stats = enc->statistics();
        mediaSec = static_cast<double>(stats->archiveFileDuration().raw) / 1000.0;
        bytes = static_cast<double>(stats->archiveFileSize().raw);
        bitsPerSec = stats->outputBitrate();
        mediaSec2 = static_cast<double>(stats->archiveFileDuration().raw) / 1000.0;
    } catch (const std::exception&) {
        return std::nullopt;
    }

    Figures fig;
    fig.size = "Size:     " + format_number(bytes / 1024.0, "###,###") + " KB";
    const double segSec = segLengthMs / 1000.0;
    fig.media = Clock_Text(mediaSec) + " /" + Clock_Text(segSec);
    // Kilobits in plain decimal, without the 16-bit limit: a fast stream is shown as it is.
    fig.bitRate = "Bit rate: " + std::to_string(static_cast<long long>(round_half_even(bitsPerSec / 1000.0))) + " Kb";

    fig.now = f.services.tickCount ? static_cast<std::int32_t>(f.services.tickCount()) : startTicks;
    // The difference of the 32-bit tick counts taken unsigned, so a wrap of the counter
    // during a job does no harm.
    const double elapsedSec =
        static_cast<std::uint32_t>(static_cast<std::uint32_t>(fig.now) - static_cast<std::uint32_t>(startTicks)) /
        1000.0;
    fig.clock = Clock_Text(elapsedSec);
    fig.speed = elapsedSec > 0 ? mediaSec / elapsedSec : 0.0;

    // An empty segment has no share to show: it stays at 0 until the completion speaks.
    double p = segSec > 0 ? mediaSec2 / segSec * 100.0 : 0.0;
    p = std::clamp(p, 0.0, 100.0);
    fig.percent = to_int16(p);
    return fig;
}

struct ClientPanel {
    const std::shared_ptr<encoder::Encoder>& encoder;
    std::int32_t segLength;
    std::int32_t startTicks;
    VbBool running;
    QLabel *size, *media, *rate, *clock, *speed, *status;
    QProgressBar* bar;
};

void client_tick(Form1& f, const ClientPanel& p) {
    auto fig = read_figures(f, p.encoder, p.segLength, p.startTicks);
    if (!fig) return;
    p.size->setText(QString::fromStdString(fig->size));
    p.media->setText(QString::fromStdString(fig->media));
    p.rate->setText(QString::fromStdString(fig->bitRate));
    p.bar->setValue(fig->percent);
    p.clock->setText(QString::fromStdString(fig->clock));
    p.speed->setText(QString::fromStdString("Speed:  " + format_number(fig->speed, "0.#") + "x"));
    if (p.running == kTrue)
        p.status->setText(QString::fromStdString("Status:  Encoding " + std::to_string(fig->percent) + " %"));
    else
        p.bar->setValue(0);
}

}  // namespace

void TimerLocal_Timer(Form1& f) {
    auto& S = f.S;
    auto fig = read_figures(f, S.Local_Encoder, S.Local_SegLength, S.Local_StartTicks);
    if (!fig) return;
    f.Label1->setText(QString::fromStdString(fig->size));
    f.Label2->setText(QString::fromStdString(fig->media));
    f.Label3->setText(QString::fromStdString(fig->bitRate));
    S.Local_NowTicks = fig->now;
    f.Local_Clock->setText(QString::fromStdString(fig->clock));
    f.Label8->setText(QString::fromStdString("Speed:  " + format_number(fig->speed, "0.0") + "x"));
    f.ProgressBar_Local->setValue(fig->percent);
    f.Local_Status->setText(
        QString::fromStdString("Status:  Encoding " + with_sign_position(fig->percent) + " %"));
}

void TimerRemote_Timer(Form1& f) {
    auto& S = f.S;
    client_tick(f, {S.Remote_Encoder, S.Remote_SegLength, S.Remote_StartTicks, S.Remote_Running, f.Label4, f.Label5,
                    f.Label7, f.Remote_Clock, f.Label6, f.Remote_Status, f.ProgressBar_Remote});
}

void TimerRemote2_Timer(Form1& f) {
    auto& S = f.S;
    client_tick(f, {S.Remote2_Encoder, S.Remote2_SegLength, S.Remote2_StartTicks, S.Remote2_Running, f.Label17,
                    f.Label16, f.Label15, f.Remote2_Clock, f.Label11, f.Remote2_Status, f.ProgressBar_Remote2});
}

}  // namespace shardex

// Progress polling: twice a second each running slot's panel is refreshed from its
// encoder's statistics, and once more when the encoder reports that it has stopped.
#include "jobs/polling.h"

#include <QLabel>
#include <QProgressBar>
#include <cstdint>
#include <string>

#include "app/form1.h"
#include "jobs/figures.h"
#include "jobs/slots.h"

namespace shardex {

void poll_slot(Form1& f, SlotId id) {
    const SlotRef slot = slot_of(f, id);
    if (!slot.encoder) return;
    EncoderReadings r;
    try {
        // All read before anything is shown; the media written is read again for the bar.
        auto stats = slot.encoder->statistics();
        r.mediaMs = stats->archiveFileDuration().raw;
        r.bytes = stats->archiveFileSize().raw;
        r.bitsPerSecond = stats->outputBitrate();
        r.progressMs = stats->archiveFileDuration().raw;
    } catch (const std::exception&) {
        return;
    }
    const std::int32_t now = f.services.tickCount ? static_cast<std::int32_t>(f.services.tickCount()) : slot.startTicks;
    const PanelFigures fig = panel_figures(r, slot.segLength, static_cast<std::uint32_t>(slot.startTicks),
                                           static_cast<std::uint32_t>(now), slot.server());
    if (slot.server()) f.S.Local_NowTicks = now;
    slot.size->setText(QString::fromStdString(fig.size));
    slot.media->setText(QString::fromStdString(fig.media));
    slot.rate->setText(QString::fromStdString(fig.bitRate));
    slot.clock->setText(QString::fromStdString(fig.clock));
    slot.speed->setText(QString::fromStdString(fig.speed));
    slot.bar->setValue(fig.percent);
    if (slot.server() || slot.running == kTrue)
        slot.status->setText(QString::fromStdString(fig.status));
    else
        slot.bar->setValue(0);
}

void TimerLocal_Timer(Form1& f) { poll_slot(f, SlotId::Server); }

void TimerRemote_Timer(Form1& f) { poll_slot(f, SlotId::Client1); }

void TimerRemote2_Timer(Form1& f) { poll_slot(f, SlotId::Client2); }

}  // namespace shardex

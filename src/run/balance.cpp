// Balance: each assigned computer encodes a short stretch of this source with this profile,
// all at once, through the same share and encoder as a run; the loads follow their speeds.
#include "run/balance.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/form1.h"
#include "jobs/segment_job.h"
#include "jobs/slots.h"
#include "platform/paths.h"
#include "run/balance_math.h"
#include "run/segments.h"

namespace shardex {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The whole measure, set-ups included, ends within this time; each probe encodes at most
// this much media, from the middle of the stretch.
constexpr milliseconds kBudget{2800};
constexpr std::int32_t kProbeMediaMs = 2000;
// Written in each computer's Shardex folder, and removed.
constexpr const char* kProbeName = "shardex-balance-probe.wmv";
// How long a stopped probe may take to end before its file is removed.
constexpr std::chrono::milliseconds kStopWait{1000};

struct Probe {
    SlotId id = SlotId::Server;
    std::string computer;  // "" for this computer
    SegmentJob job;
    Clock::time_point started, doneAt;
    bool seenRunning = false, done = false;
    std::int64_t lastMs = 0;  // media written at the last reading
    std::string error;

    // Media seconds per second: the stretch over the time its encode took. One that has not
    // ended in the time given is slower than the stretch over that time: what it wrote so
    // far counts, and half the stretch when the muxer has written nothing yet.
    double speed(std::int32_t stretchMs, Clock::time_point now) const {
        const double took = std::chrono::duration<double>((done ? doneAt : now) - started).count();
        if (took <= 0) return 0;
        if (done) return stretchMs / 1000.0 / took;
        return (lastMs > 0 ? static_cast<double>(lastMs) : stretchMs / 2.0) / 1000.0 / took;
    }
    void read() {
        const std::int32_t state = job.encoder->runState();
        lastMs = job.encoder->statistics()->archiveFileDuration().raw;
        if (state != encoder::kStateStopped) seenRunning = true;
        else if (seenRunning || lastMs > 0) done = true, doneAt = Clock::now();
    }
};

std::string computer_name(Form1& f, const SlotRef& slot) { return slot.server() ? f.S.Server_Computer : *slot.computer; }

}  // namespace

void add_balance_controls(Form1& f, QBoxLayout* where) {
    f.Cmd_Balance = new QPushButton(QStringLiteral("Balance"), &f);
    f.Cmd_Balance->setObjectName(QStringLiteral("Cmd_Balance"));
    f.Cmd_Balance->setToolTip(QStringLiteral("Measure each computer's speed on this source and set the loads"));
    f.Label_Balance = new QLabel(&f);
    f.Label_Balance->setObjectName(QStringLiteral("Label_Balance"));
    f.Label_Balance->setTextFormat(Qt::PlainText);
    f.Label_Balance->setWordWrap(true);
    where->addWidget(f.Cmd_Balance, 0, Qt::AlignLeft);
    where->addWidget(f.Label_Balance);
    QObject::connect(f.Cmd_Balance, &QPushButton::clicked, &f, [&f] { Cmd_Balance_Click(f); });
    // The speeds hold for this source and this profile only.
    QObject::connect(f.TextBox_File, &QLineEdit::textChanged, f.Label_Balance, &QLabel::clear);
    QObject::connect(f.Combo_Profile, &QComboBox::currentTextChanged, f.Label_Balance, &QLabel::clear);
}

void Cmd_Balance_Click(Form1& f) {
    auto& S = f.S;
    if (f.CommonDialog1.FileName.empty() || any_slot_running(S)) return;
    const auto begin = Clock::now();
    const std::int32_t in = S.Mark_In;
    const std::int32_t end = stretch_end(S.Mark_Out, S.Movie_Length);
    const std::int32_t from = in + std::max(0, (end - in - kProbeMediaMs) / 2);
    const std::int32_t to = std::min(end, from + kProbeMediaMs);
    f.Cmd_Balance->setEnabled(false);
    f.Label_Balance->setText(QStringLiteral("Measuring..."));
    QCoreApplication::processEvents();

    std::vector<Probe> probes;
    for (SlotId id : kAllSlots) {
        const SlotRef slot = slot_of(f, id);
        if (!slot.server() && slot.computer->empty()) continue;  // not assigned
        Probe& p = probes.emplace_back();
        p.id = id;
        p.computer = slot.server() ? std::string() : *slot.computer;
        try {
            if (!slot.server() && f.services.shareSource) f.services.shareSource(f.CommonDialog1.FileName);
            p.job = set_up_segment_job(f, p.computer, kProbeName, nullptr);
            for (auto* s : {p.job.video.get(), p.job.audio.get()}) {
                s->setMarkIn(from);
                s->setMarkOut(to);
                s->setStretch(from, to);
            }
            p.started = Clock::now();
            p.job.encoder->start();
        } catch (const std::exception& e) {
            p.error = e.what();
            p.job = {};
        }
    }
    // All encode side by side until each has ended or the time is up; the window keeps answering.
    auto pending = [&] {
        return std::any_of(probes.begin(), probes.end(), [](const Probe& p) { return p.job.encoder && !p.done; });
    };
    while (pending() && Clock::now() - begin < kBudget) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);  // not a busy wait: this computer is measured too
        for (Probe& p : probes) {
            if (!p.job.encoder || p.done) continue;
            try {
                p.read();
            } catch (const std::exception& e) {
                p.error = e.what();
            }
        }
    }
    const auto now = Clock::now();
    std::array<double, 3> speeds{};
    std::string shown, failures;
    for (Probe& p : probes) {
        const SlotRef slot = slot_of(f, p.id);
        // Stopped, its file removed, then reset: a client's agent then frees the probe's file
        // name at once for the next measure (else it would keep it for a copy that never comes).
        if (p.job.encoder) {
            try {
                if (!p.done) p.job.encoder->stop();
                const auto until = Clock::now() + kStopWait;
                while (p.job.encoder->runState() != encoder::kStateStopped && Clock::now() < until)
                    QThread::msleep(20);
                p.job.encoder->file()->discard();
                p.job.encoder->reset();
            } catch (const std::exception& e) {
                if (p.error.empty() && !p.done) p.error = e.what();
            }
        }
        const double speed = p.error.empty() ? p.speed(to - from, now) : 0;
        if (speed <= 0 && p.error.empty()) p.error = "no media was encoded in time";
        speeds[static_cast<std::size_t>(p.id)] = speed;
        shown += (shown.empty() ? "" : "   ") + computer_name(f, slot) + " " + speed_text(speed);
        if (!p.error.empty()) failures += "\n" + computer_name(f, slot) + ": " + p.error;
    }
    probes.clear();  // the encoders and sessions end before their files go
    std::error_code ec;
    std::filesystem::remove(platform::shardex_folder_prefix() + kProbeName, ec);

    const auto loads = loads_from_speeds(speeds);
    const bool measured = loads[0] + loads[1] + loads[2] == 100;
    if (measured) {
        for (SlotId id : kAllSlots)
            slot_of(f, id).load->setText(QString::number(loads[static_cast<std::size_t>(id)]));
    }
    f.Label_Balance->setText(QString::fromStdString(shown));
    f.Cmd_Balance->setEnabled(true);
    if (!failures.empty())
        show_message(f, std::string(measured ? "Balance: these computers could not be measured; their load is 0:"
                                             : "Balance: no computer could be measured; the loads stay as they were:") +
                            failures);
}

}  // namespace shardex

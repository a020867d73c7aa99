// The join of a run's segment files into the finished video, when the run has ended.
#include "jobs/join_run.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QProgressDialog>
#include <QSettings>
#include <bit>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/form1.h"
#include "platform/paths.h"

namespace shardex {
namespace {

// The user's settings file, ~/.config/shardex/shardex.conf, which browse_ms shares.
QSettings settings() { return {QSettings::NativeFormat, QSettings::UserScope, "shardex", "shardex"}; }
constexpr const char* kJoinKey = "join";

bool is_output(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) > 0 && !ec;
}

}  // namespace

void bind_join_check_box(Form1& f) {
    f.CheckBox_Join->setChecked(settings().value(kJoinKey, true).toBool());
    QObject::connect(f.CheckBox_Join, &QCheckBox::toggled, f.CheckBox_Join,
                     [](bool on) { settings().setValue(kJoinKey, on); });
}

std::string joined_file_name(const std::string& sourcePath, const std::string& folder) {
    namespace fs = std::filesystem;
    const std::string name = fs::path(sourcePath).stem().string();
    std::error_code ec;
    const bool isSource = fs::equivalent(fs::path(folder) / (name + ".wmv"), sourcePath, ec);
    return name + (isSource ? "_joined.wmv" : ".wmv");
}

void Plan_Join(Form1& f) {
    auto& S = f.S;
    S.Join_Slots = 1;
    S.Join_Ended = 0;
    if (f.remote_load->text() != QStringLiteral("0") && !S.Client1_Computer.empty()) S.Join_Slots |= 2;
    if (f.remote2_load->text() != QStringLiteral("0") && !S.Client2_Computer.empty()) S.Join_Slots |= 4;
}

void Join_Run_Outputs(Form1& f, int slot) {
    auto& S = f.S;
    S.Join_Ended |= static_cast<std::uint8_t>(1 << slot);
    if (S.Join_Slots == 0 || (S.Join_Ended & S.Join_Slots) != S.Join_Slots) return;
    const std::uint8_t ran = std::exchange(S.Join_Slots, std::uint8_t{0});
    if (std::popcount(ran) < 2 || !f.CheckBox_Join->isChecked() || !f.services.joinSegments) return;
    const std::string folder = platform::shardex_folder_prefix();
    const struct {
        VbBool stopped;
        const std::string& file;
    } ends[] = {{S.Local_Stopped, S.Local_OutFile}, {S.Remote_Stopped, S.Remote_OutFile},
                {S.Remote2_Stopped, S.Remote2_OutFile}};
    join::JoinRequest request;
    for (int i = 0; i < 3; ++i) {
        if (!(ran & (1 << i))) continue;
        if (ends[i].stopped != kFalse || !is_output(folder + ends[i].file)) return;
        request.inputs.push_back(folder + ends[i].file);
    }
    const std::string name = joined_file_name(f.CommonDialog1.FileName, folder);
    request.output = folder + name;

    QProgressDialog progress(QString::fromStdString("Joining the segments into " + name + "..."),
                             QStringLiteral("Cancel"), 0, 1000, &f);
    progress.setWindowTitle(QStringLiteral("Shardex"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    request.onProgress = [&progress](double done) {
        progress.setValue(static_cast<int>(done * 1000));
        QCoreApplication::processEvents();
    };
    request.cancelled = [&progress] { return progress.wasCanceled(); };
    try {
        const auto result = f.services.joinSegments(request);
        progress.close();
        if (!result.completed) return;
        std::string note;
        const std::string usual = std::filesystem::path(f.CommonDialog1.FileName).stem().string() + ".wmv";
        if (name != usual) note = "The source is " + usual + " in the Shardex folder: the joined video is " + name + ".";
        if (!result.rateWarning.empty()) note += (note.empty() ? "" : "\n") + result.rateWarning;
        if (!note.empty()) show_message(f, note);
    } catch (const std::exception& e) {
        progress.close();
        show_message(f, "The segments could not be joined into " + name + ": " + e.what() +
                            "\nThey stay in the Shardex folder.");
    }
}

}  // namespace shardex

// Choosing the source: its name, the three output names, a fresh preview graph that measures
// it, its size and average bit rate, then cleared markers, reset slot panels and playback.
//
// A new file is opened and measured in a graph of its own before anything of the current
// source is replaced. A file that cannot be opened, has no picture, has no length or whose
// size cannot be read is refused with a message, and the current source stays as it was:
// its graph, its facts on screen and the fields the jobs read.
#include "source/source_selection.h"

#include <QLabel>
#include <QLineEdit>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

#include "app/clock_text.h"
#include "app/formats.h"
#include "app/startup.h"
#include "app/video_frame_widget.h"
#include "source/preview_player.h"
#include "source/source_state.h"
#include "source/trim_markers.h"

namespace shardex {
namespace {

constexpr const char* kSourceFolderSetting = "source_folder";

// The output name of a slot: every ".avi" of the title replaced by `suffix`. A title without
// a lower-case ".avi" has its last extension replaced instead, whatever its case, or `suffix`
// appended when it has none, so that the three names always differ from each other and
// from the source's own name.
std::string output_name(const std::string& title, const std::string& suffix) {
    static const std::string avi = ".avi";
    std::string out;
    std::size_t from = 0;
    bool replaced = false;
    for (std::size_t at = title.find(avi); at != std::string::npos; at = title.find(avi, from)) {
        out.append(title, from, at - from).append(suffix);
        from = at + avi.size();
        replaced = true;
    }
    if (replaced) return out.append(title, from, std::string::npos);
    std::size_t dot = title.rfind('.');
    if (dot == std::string::npos || dot == 0) return title + suffix;
    return title.substr(0, dot) + suffix;
}

// One set-up step of the new graph: a step that fails is skipped and the rest goes on.
template <typename F>
void step(F&& f) {
    try {
        f();
    } catch (const Error&) {
    }
}

// Running jobs read the source's length, size and output names when they finish; a new
// source now would give them another file's facts.
bool refused_while_running(Form1& f) {
    if (!any_slot_running(f.S)) return false;
    show_message(f, "A new source can't be chosen while encoding jobs run. Wait until they end or stop them.");
    return true;
}

// Where the file-open dialog starts: the folder of the last source (of this session, else of
// an earlier one) while it is there, else the user's videos folder.
std::string dialog_folder(Form1& f) {
    const std::string candidates[] = {
        f.sourceFolder,
        f.services.readSetting ? f.services.readSetting(kSourceFolderSetting) : std::string(),
        QStandardPaths::writableLocation(QStandardPaths::MoviesLocation).toStdString(),
    };
    for (const std::string& folder : candidates) {
        std::error_code ec;
        if (!folder.empty() && std::filesystem::is_directory(folder, ec)) return folder;
    }
    return {};
}

}  // namespace

void Cmd_File_Click(Form1& f) {
    if (refused_while_running(f)) return;
    const std::string path = f.services.dialogs->openFileIn(f.CommonDialog1.DialogTitle, f.CommonDialog1.Filter,
                                                            dialog_folder(f));
    if (path.empty()) return;
    Open_Source(f, path);
}

void Open_Source(Form1& f, const std::string& chosen) {
    if (refused_while_running(f)) return;
    // The clients are given the source's full path: a name relative to where Shardex was
    // started means nothing to them.
    std::error_code ec;
    std::string path = std::filesystem::absolute(chosen, ec).lexically_normal().string();
    if (ec) path = chosen;
    const auto bytes = std::filesystem::file_size(path, ec);
    if (ec) {
        show_message(f, "cannot read the size of '" + path + "': " + ec.message());
        return;
    }

    // Kept to be put back if the new file turns out not to be usable.
    const FileOpenDialog previousDialog = f.CommonDialog1;
    const QString previousText = f.TextBox_File->text();
    const std::string previousNames[3] = {f.S.Remote_OutFile, f.S.Remote2_OutFile, f.S.Local_OutFile};

    const std::string title = std::filesystem::path(path).filename().string();
    f.CommonDialog1.FileName = path;
    f.CommonDialog1.FileTitle = title;
    f.TextBox_File->setText(QString::fromStdString(title));
    f.S.Remote_OutFile = output_name(title, "_SX1.wmv");
    f.S.Remote2_OutFile = output_name(title, "_SX2.wmv");
    f.S.Local_OutFile = output_name(title, "_SX.wmv");

    try {
        Load_Source(f, path);
    } catch (const Error& e) {
        f.CommonDialog1 = previousDialog;
        f.TextBox_File->setText(previousText);
        f.S.Remote_OutFile = previousNames[0];
        f.S.Remote2_OutFile = previousNames[1];
        f.S.Local_OutFile = previousNames[2];
        show_message(f, e.what());
        return;
    }

    f.S.Source_SizeKB = static_cast<double>(bytes) / 1024.0;
    f.Label_SourceSize->setText(
        QString::fromStdString("Disk Size: " + format_number(f.S.Source_SizeKB / 1024.0, "###,###") + " MB"));
    // Load_Source accepts only sources whose length is above 0.
    const double kbps = round_half_even(f.S.Source_SizeKB / (f.S.Movie_Length / 1000.0) * 8.0);
    f.Label19->setText(QString::fromStdString("Bit rate: " + format_number(kbps, "###,###") + " Kbps"));

    Cmd_Clear_Click(f);
    Reset_Status_Panels(f);

    // The next choice starts where this one was found, also after a restart.
    f.sourceFolder = std::filesystem::path(path).parent_path().string();
    if (f.services.writeSetting) f.services.writeSetting(kSourceFolderSetting, f.sourceFolder);
}

void Cmd_File2_Click(Form1& f) { Cmd_File_Click(f); }

void Load_Source(Form1& f, const std::string& path) {
    const std::string cannotOpen = "cannot open '" + path + "': ";

    // Open and measure the file in a graph of its own; nothing of the current source
    // changes until it has proved usable.
    std::shared_ptr<media::FilterGraph> g;
    double length = 0;
    std::int32_t lengthMs = 0;
    std::int16_t width = 0, height = 0;
    try {
        g = f.services.createGraph ? f.services.createGraph() : nullptr;
        if (!g) throw Error("no media player is available");
    } catch (const Error& e) {
        throw Error(cannotOpen + e.what(), e.code());
    }
    g->renderFile(path);  // its failures already name the file
    try {
        length = g->duration();
        lengthMs = to_int32(length * 1000.0);
    } catch (const Error& e) {
        throw Error(cannotOpen + "its length cannot be read (" + e.what() + ")", e.code());
    }
    if (lengthMs <= 0) throw Error(cannotOpen + "its length is 0");
    std::int32_t w = 0, h = 0;
    try {
        w = g->videoWidth();
        h = g->videoHeight();
    } catch (const Error& e) {
        throw Error(cannotOpen + "it has no picture (" + e.what() + ")", e.code());
    }
    try {
        width = to_int16(w);
        height = to_int16(h);
    } catch (const Error&) {
        throw Error(cannotOpen + "its picture of " + std::to_string(w) + " x " + std::to_string(h) + " is too large");
    }

    // The new graph replaces the previous one, which ends with its last handle.
    f.S.Media_Control = g;
    f.S.Media_Audio = g;
    step([&] { f.S.Media_Audio->setVolume(0); });
    step([&] { f.S.Media_Audio->setBalance(0); });
    f.S.Media_Video = g;
    step([&] { f.S.Media_Video->setDestinationHeight(240); });
    step([&] { f.S.Media_Video->setDestinationWidth(320); });
    f.S.Source_Width = width;
    f.S.Source_Height = height;
    f.Label_Dimension->setText(
        QString::fromStdString("Frame: " + std::to_string(width) + " x " + std::to_string(height)));
    f.S.Media_Events = g;
    f.S.Media_Position = g;
    step([&] { f.S.Media_Position->setRate(1.0); });
    f.S.Movie_Length = lengthMs;
    step([&] { length = f.S.Media_Position->duration(); });
    f.Label_Length->setText(QString::fromStdString("Movie Length: " + Clock_Text(length)));
    f.S.Media_Window = g;
    step([&] { f.S.Media_Window->setWindowStyle(0); });
    step([&] { f.S.Media_Window->setOwner(f.Frame_Video->hWnd()); });
    step([&] { f.S.Media_Window->setTop(0); });
    step([&] { f.S.Media_Window->setLeft(0); });
    step([&] { f.S.Media_Window->setWidth(320); });
    step([&] { f.S.Media_Window->setHeight(240); });

    Cmd_Play_Click(f);
}

}  // namespace shardex

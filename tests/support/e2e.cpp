#include "support/e2e.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>

#include "platform/media/factory.h"
#include "platform/remote/network_certs.h"
#include "profiles/profile_catalogue.h"
#include "run/run_control.h"
#include "source/preview_player.h"
#include "source/source_selection.h"
#include "support/qt_wait.h"

namespace shardex::testing {

std::string text(const QLabel* label) { return label->text().toStdString(); }
bool success(const QLabel* status) { return success_status(text(status)); }

HomeAt::HomeAt(const fs::path& root) : home_(qgetenv("HOME")), config_(qgetenv("XDG_CONFIG_HOME")) {
    fs::create_directories(root / "Shardex");
    fs::create_directories(root / "config");
    qputenv("HOME", QByteArray::fromStdString(root.string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((root / "config").string()));
}

HomeAt::~HomeAt() {
    qputenv("HOME", home_);
    qputenv("XDG_CONFIG_HOME", config_);
}

std::string RunResult::why() const {
    std::string s = finished ? "" : "the run did not end in time; ";
    s += "statuses [" + statuses + "]";
    for (const auto& m : messages) s += " message [" + m + "]";
    return s;
}

ServerWindow::ServerWindow(const NetworkSettings& settings) {
    Services s = default_services(settings);
    s.dialogs = dialogs;
    s.createGraph = []() -> std::shared_ptr<media::FilterGraph> {
        media::GraphOptions o;
        o.videoOutput = o.audioOutput = "null";
        return media::create_filter_graph(o);
    };
    f = std::make_unique<Form1>(s);
    f->load();
}

ServerWindow::~ServerWindow() { f.reset(); }

std::string ServerWindow::choose_profile(const std::string& name) {
    const int index = f->Combo_Profile->findText(QString::fromStdString(name));
    if (index < 0) return "the window does not offer the profile " + name;
    f->Combo_Profile->setCurrentIndex(index);
    Combo_Profile_Click(*f);
    return "";
}

std::string ServerWindow::choose(const fs::path& source, const char* a, const char* b, const char* c) {
    dialogs->shown.clear();
    dialogs->nextOpenPath = source.string();
    Cmd_File_Click(*f);
    Cmd_Stop_Click(*f);  // the preview plays the chosen file; a run does not need it
    f->local_load->setText(QString::fromLatin1(a));
    f->remote_load->setText(QString::fromLatin1(b));
    f->remote2_load->setText(QString::fromLatin1(c));
    if (f->CommonDialog1.FileName == source.string()) return "";
    return "the window did not take " + source.string() + ": " + messages();
}

bool ServerWindow::wait_for_go(int ms) const {
    return wait_until([&] { return f->Cmd_Go->text() == QStringLiteral("Go"); }, ms);
}

RunResult ServerWindow::go(std::chrono::seconds limit) {
    f->S.Post_View = kFalse;
    dialogs->shown.clear();
    RunResult r;
    const auto t0 = std::chrono::steady_clock::now();
    Cmd_Go_Click(*f);
    r.finished = wait_for_go(static_cast<int>(std::chrono::milliseconds(limit).count()));
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!r.finished) {
        Cmd_Go_Click(*f);  // Stop
        wait_for_go(60000);
    }
    for (const auto& m : dialogs->shown) r.messages.push_back(m.text);
    const QLineEdit* loads[] = {f->local_load, f->remote_load, f->remote2_load};
    const QLabel* status[] = {f->Local_Status, f->Remote_Status, f->Remote2_Status};
    r.success = r.finished && r.messages.empty();
    for (int i = 0; i < 3; ++i) {
        r.statuses += (i ? " | " : "") + text(status[i]);
        if (loads[i]->text().toInt() > 0 && !success(status[i])) r.success = false;
    }
    return r;
}

std::string ServerWindow::messages() const {
    std::string all;
    for (const auto& m : dialogs->shown) all += "[" + m.text + "] ";
    return all;
}

std::vector<fs::path> ServerWindow::outputs() const {
    const fs::path folder = fs::path(qgetenv("HOME").toStdString()) / "Shardex";
    return {folder / f->S.Local_OutFile, folder / f->S.Remote_OutFile, folder / f->S.Remote2_OutFile};
}

void DistributedRun::SetUpTestSuite() {
    suite.emplace("shardex-e2e");
    clip = *suite / "clip.avi";
    make_test_clip(clip, 12);
    network = *suite / "network";
    otherNetwork = *suite / "other-network";
    remote::init_network(network);
    remote::init_network(otherNetwork);
}

void DistributedRun::TearDownTestSuite() {
    suite.reset();
    longClip.clear();
}

const fs::path& DistributedRun::long_clip() {
    if (longClip.empty()) make_test_clip(longClip = *suite / "long.avi", 60);
    return longClip;
}

void DistributedRun::SetUp() {
    home.emplace("shardex-e2e-home");
    at.emplace(home->path());
    for (int n : {1, 2}) {
        node(n) = make_node(n);
        ASSERT_TRUE(node(n)->start()) << node(n)->log();
    }
}

void DistributedRun::TearDown() {
    w.reset();
    node1.reset();
    node2.reset();
    at.reset();
    home.reset();
}

std::unique_ptr<AgentProcess> DistributedRun::make_node(int n, const std::string& listen) {
    auto o = AgentProcess::at("NODE" + std::to_string(n), node_root(n), network);
    o.listen = listen;
    o.extra = {"--headless"};
    return std::make_unique<AgentProcess>(o);
}

bool DistributedRun::restart_node(int n) {
    const std::string where = node(n)->endpoint();
    node(n).reset();
    node(n) = make_node(n, where);
    return node(n)->start();
}

void DistributedRun::open_window(const fs::path& networkFolder) {
    w.reset();
    w = std::make_unique<ServerWindow>(
        NetworkSettings{networkFolder.string(), "", {"NODE1=" + node1->endpoint(), "NODE2=" + node2->endpoint()}, "127.0.0.1:0", "SRV"});
    f = w->f.get();
    dialogs = w->dialogs.get();
    ASSERT_EQ(f->S.Client1_Computer, "NODE1");
    ASSERT_EQ(f->S.Client2_Computer, "NODE2");
}

void DistributedRun::choose(const fs::path& source, const char* a, const char* b, const char* c) {
    ASSERT_EQ(w->choose(source, a, b, c), "");
}

}  // namespace shardex::testing

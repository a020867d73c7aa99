// The Server's window as end-to-end tests, the soak and the benchmarks drive it: Form1 on the
// production services (default_services) pointed at the test's network folder, peers and
// computer name, with dialogs that answer themselves and a preview without picture or sound;
// and the fixture of a distributed run with two real agents, NODE1 and NODE2, on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QLabel>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/services.h"
#include "support/fake_dialogs.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::testing {

// Set by the soak before its tests are listed: the cases' long variants are listed too.
inline bool soakMode = false;

std::string text(const QLabel* label);
bool success(const QLabel* status);

// HOME and XDG_CONFIG_HOME of this process point at `root` (with its Shardex and config
// folders) for the object's life.
class HomeAt {
public:
    explicit HomeAt(const fs::path& root);
    ~HomeAt();

private:
    QByteArray home_, config_;
};

struct RunResult {
    bool finished = false;  // "Go" came back in time
    bool success = false;   // and every slot with a load succeeded, without a message
    double seconds = 0;
    std::vector<std::string> messages;
    std::string statuses;  // the three panels'
    std::string why() const;
};

class ServerWindow {
public:
    // HOME must point at the Server's home already; settings.computerName is its name.
    explicit ServerWindow(const NetworkSettings& settings);
    ~ServerWindow();
    Form1* operator->() const { return f.get(); }

    std::string choose_profile(const std::string& name);  // "" or why not
    // The source chosen through the window's button, the preview stopped, and the loads set;
    // "" or what the window said.
    std::string choose(const fs::path& source, const char* a = "34", const char* b = "33", const char* c = "33");
    bool wait_for_go(int ms) const;
    RunResult go(std::chrono::seconds limit);  // Go, then Stop when "Go" is not back by `limit`
    std::string messages() const;
    std::vector<fs::path> outputs() const;  // the three slots' files in this computer's Shardex folder

    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::unique_ptr<Form1> f;
};

// Suite: a 12 s clip (and a 60 s one on demand) and the certificates of this network and of
// another. Each test: a home of its own for the Server, and NODE1 and NODE2 running in it.
class DistributedRun : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    static const fs::path& long_clip();
    void SetUp() override;
    void TearDown() override;

    fs::path node_root(int n) const { return home->path() / ("node" + std::to_string(n)); }
    std::unique_ptr<AgentProcess>& node(int n) { return n == 1 ? node1 : node2; }
    std::unique_ptr<AgentProcess> make_node(int n, const std::string& listen = "127.0.0.1:0");
    bool restart_node(int n);  // where the peers entry says it is: its old port
    // The window of SRV reaching NODE1 and NODE2 through peers entries.
    void open_window(const fs::path& networkFolder = network);
    void choose(const fs::path& source, const char* a = "34", const char* b = "33", const char* c = "33");
    bool wait_for_go(int ms) const { return w->wait_for_go(ms); }
    fs::path here(const std::string& name) const { return home->path() / "Shardex" / name; }
    std::string messages() const { return w->messages(); }

    static inline std::optional<TempDir> suite;
    static inline fs::path clip, longClip, network, otherNetwork;
    std::optional<TempDir> home;
    std::optional<HomeAt> at;
    std::unique_ptr<AgentProcess> node1, node2;
    std::unique_ptr<ServerWindow> w;
    Form1* f = nullptr;
    FakeDialogs* dialogs = nullptr;
};

}  // namespace shardex::testing

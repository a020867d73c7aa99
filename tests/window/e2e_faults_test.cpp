// What a user meets when a disk fills up or a client computer is lost during a distributed run:
// the message and the slot's status, that the other slots finish, that nothing outside the
// Shardex folders changes and no half-written file stands under a final name, and that a lost
// client serves the next run without starting Shardex again. The tests run the quick cases;
// the soak, built from this file's objects, runs them all.
#include <gtest/gtest.h>
#include <signal.h>

#include <QPushButton>
#include <map>

#include "run/run_control.h"
#include "support/e2e.h"
#include "support/private_mounts.h"
#include "support/qt_wait.h"

namespace shardex::testing {
namespace {

// Before main starts a thread: the full disks below are mounts of this process alone.
[[maybe_unused]] const bool kPrivateMounts = enter_private_mount_namespace();

using Clock = std::chrono::steady_clock;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Faults : public DistributedRun {
protected:
    // A figure of the case: printed, and kept with its result for the soak's line.
    void figure(const std::string& key, const std::string& value) {
        RecordProperty(key, value);
        std::printf("  %s: %s\n", key.c_str(), value.c_str());
    }
    // Every file of the test's folders with its size and time, but the Shardex folders and logs.
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> outside() const {
        std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
        for (const fs::path& root : {home->path(), suite->path()}) {
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
                 it.increment(ec)) {
                if (it->path().filename() == "Shardex") it.disable_recursion_pending();
                else if (it->path().extension() != ".log")
                    files[it->path()] = {it->is_regular_file() ? it->file_size() : 0, it->last_write_time()};
            }
        }
        return files;
    }
    // A copy's temporary file (".name.part-XXXX") left in this computer's Shardex folder.
    bool part_files_left() const {
        for (const auto& e : fs::directory_iterator(home->path() / "Shardex"))
            if (has(e.path().filename(), ".part-")) return true;
        return false;
    }
};

// ---- Full disks: a tmpfs of 128 KiB over a Shardex folder ----------------------------------

struct DiskCase {
    const char* name;
    int node;                          // whose folder fills up: 0 the Server's, 1 NODE1's
    std::vector<std::string> says;     // one message starts with each, in any order
    std::vector<const char*> panels;   // "ok" for a success, else the status expected
    bool soakOnly;
};
void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.name; }

std::vector<DiskCase> disk_cases() {
    const std::string full = ": SRV: the disk is full: cannot write '";
    std::vector<DiskCase> all = {
        {"ServerFolder", 0,
         {"Local Encoder Error: -1072889852\nSRV: the disk is full: cannot write output file '",
          "Remote Encoder" + full, "Remote Encoder-2" + full},
         {"Status:  Stopped ", "Status:  Stopped ", "Status:  Stopped "}, false},
        {"ClientFolder", 1, {"Remote Encoder: NODE1: the disk is full: cannot write output file '"},
         {"ok", "Status:  Stopped ", "ok"}, true},
    };
    std::erase_if(all, [](const DiskCase& c) { return c.soakOnly && !soakMode; });
    return all;
}

class FullDisk : public Faults, public ::testing::WithParamInterface<DiskCase> {};

// That computer's own job stops saying why and names it; the Server's copies home of what it
// cannot hold leave nothing under the final names; whatever else can finish, does.
TEST_P(FullDisk, StopsTheJobsOfThatFolderSayingWhy) {
    const DiskCase& c = GetParam();
    if (c.node > 0) node(c.node).reset();  // started again on its small disk
    SmallDisk disk(c.node > 0 ? node_root(c.node) / "Shardex" : home->path() / "Shardex", 128 << 10);
    if (!disk.error().empty()) GTEST_SKIP() << disk.error();
    if (c.node > 0) {
        ASSERT_TRUE((node(c.node) = make_node(c.node))->start()) << node(c.node)->log();
    }
    open_window();
    choose(clip);
    const auto before = outside();
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(180000)) << messages();

    ASSERT_EQ(dialogs->shown.size(), c.says.size()) << messages();
    for (const auto& says : c.says)
        EXPECT_EQ(std::count_if(dialogs->shown.begin(), dialogs->shown.end(),
                                [&](const auto& m) { return m.text.rfind(says, 0) == 0; }), 1)
            << says << " in " << messages();
    figure("messages", messages());
    const QLabel* status[] = {f->Local_Status, f->Remote_Status, f->Remote2_Status};
    const std::string outputs[] = {f->S.Local_OutFile, f->S.Remote_OutFile, f->S.Remote2_OutFile};
    for (int i = 0; i < 3; ++i) {
        if (std::string(c.panels[i]) == "ok") {
            EXPECT_TRUE(success(status[i])) << text(status[i]);
        }
        else {
            EXPECT_EQ(text(status[i]), c.panels[i]);
        }
        figure("panel " + std::to_string(i + 1), text(status[i]));
        // A client's whole file stays on the client; none stands here unless it came whole.
        if (i > 0 && c.node == 0) {
            EXPECT_EQ(formats(node_root(i) / "Shardex" / outputs[i]), "asf wmv2 wmav2");
            EXPECT_FALSE(fs::exists(here(outputs[i]))) << outputs[i] << " was left half-written";
        }
    }
    EXPECT_FALSE(part_files_left());
    EXPECT_TRUE(outside() == before) << "a file outside the Shardex folders changed";
}

INSTANTIATE_TEST_SUITE_P(Folders, FullDisk, ::testing::ValuesIn(disk_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Lost clients: NODE2 killed or frozen at each stage -------------------------------------

enum class Stage { SetUp, Encode, CopyHome };
struct LossCase {
    const char* name;
    Stage stage;
    int signal;  // SIGKILL or SIGSTOP
    bool soakOnly;
};
void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

std::vector<LossCase> loss_cases() {
    std::vector<LossCase> all = {
        {"KilledAtSetUp", Stage::SetUp, SIGKILL, false},     {"FrozenAtSetUp", Stage::SetUp, SIGSTOP, true},
        {"KilledAtEncode", Stage::Encode, SIGKILL, false},   {"FrozenAtEncode", Stage::Encode, SIGSTOP, false},
        {"KilledAtCopyHome", Stage::CopyHome, SIGKILL, false}, {"FrozenAtCopyHome", Stage::CopyHome, SIGSTOP, true},
    };
    std::erase_if(all, [](const LossCase& c) { return c.soakOnly && !soakMode; });
    return all;
}

class LostClient : public Faults, public ::testing::WithParamInterface<LossCase> {};

// NODE2's slot ends as stopped with a message naming it while the Server and NODE1 finish; then
// NODE2 comes back (woken, or started again on its port) and the next run uses it.
TEST_P(LostClient, EndsItsSlotAsStoppedAndServesTheNextRun) {
    const LossCase& c = GetParam();
    open_window();
    if (c.stage == Stage::Encode) choose(long_clip(), "20", "20", "60");
    else choose(clip);
    Clock::time_point lost{};
    bool armed = true;
    auto lose = [&] {
        armed = false;
        node2->signal(c.signal);
        lost = Clock::now();
    };
    if (c.stage == Stage::SetUp) {
        f->services.createAgent = [&, connect = f->services.createAgent](const std::string& computer) {
            auto agent = connect(computer);
            if (computer == "NODE2" && armed) lose();  // connected, nothing made yet
            return agent;
        };
    } else if (c.stage == Stage::CopyHome) {
        f->services.copyFromClient = [&, copy = f->services.copyFromClient](const std::string& computer,
                                                                            const std::string& name,
                                                                            const std::string& target, const auto& progress) {
            if (computer == "NODE2" && armed) lose();  // its encode has ended
            copy(computer, name, target, progress);
        };
    }
    Cmd_Go_Click(*f);
    if (c.stage == Stage::Encode) {
        ASSERT_TRUE(wait_until([&] { return f->S.Remote2_Encoder &&
                                            f->S.Remote2_Encoder->statistics()->archiveFileDuration().raw > 2000; },
                               60000))
            << messages();
        lose();
    }
    ASSERT_TRUE(wait_until([&] { return !armed && text(f->Remote2_Status) == "Status:  Stopped "; }, 60000))
        << text(f->Remote2_Status) << messages();
    const auto noticedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lost).count();
    figure("noticed after (ms)", std::to_string(noticedMs));
    // A process that dies closes its connections at once.
    if (c.signal == SIGKILL && c.stage == Stage::Encode) {
        EXPECT_LT(noticedMs, 2000);
    }
    ASSERT_TRUE(wait_for_go(240000)) << messages();
    ASSERT_EQ(dialogs->shown.size(), 1u) << messages();
    const std::string message = dialogs->shown[0].text;
    figure("message", message);
    EXPECT_EQ(message.rfind("Remote Encoder-2: ", 0), 0u) << message;
    EXPECT_TRUE(has(message, c.signal == SIGKILL && c.stage == Stage::Encode ? "lost the connection to NODE2" : "NODE2"))
        << message;
    EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status);
    EXPECT_TRUE(success(f->Remote_Status)) << text(f->Remote_Status);
    EXPECT_FALSE(part_files_left());
    if (c.stage == Stage::CopyHome) {
        EXPECT_FALSE(fs::exists(here(f->S.Remote2_OutFile))) << "a half copy stands";
    }

    if (c.signal == SIGSTOP) node2->signal(SIGCONT);
    else {
        ASSERT_TRUE(restart_node(2)) << node2->log();
    }
    const auto oldApp = f->S.Remote2_App;
    choose(clip);
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(180000)) << messages();
    EXPECT_TRUE(dialogs->shown.empty()) << messages();
    for (auto* status : {f->Local_Status, f->Remote_Status, f->Remote2_Status}) EXPECT_TRUE(success(status)) << text(status);
    EXPECT_NE(f->S.Remote2_App, oldApp) << "the slot must have connected again";
    EXPECT_EQ(formats(here(f->S.Remote2_OutFile)), "asf wmv2 wmav2");
}

INSTANTIATE_TEST_SUITE_P(Stages, LostClient, ::testing::ValuesIn(loss_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace shardex::testing

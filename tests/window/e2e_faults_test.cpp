// What a user meets when a disk fills up or a client computer is lost, through the window
// with two real agents: the message and the slot's status, that the other slots finish and
// a lost client's segment is encoded again elsewhere, that nothing outside the Shardex
// folders is touched and no half-written file is left under a final name, and that a lost
// client is usable by the next run without starting Shardex again.
//
// The quick cases run in the test suite; built with SHARDEX_FAULTS_SOAK the program also
// holds the long ones (every stage with both losses, an agent's full disk) and prints its
// figures as soak lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "run/run_control.h"
#include "support/distributed_run.h"
#include "support/private_mounts.h"

namespace shardex::testing {
namespace {

// Before main starts a thread: the full disks below are mounts of this process alone.
[[maybe_unused]] const bool kPrivateMounts = enter_private_mount_namespace();

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every file under `root` with its size and modification time, leaving out the Shardex
// folders (where outputs belong) and the agents' logs.
std::map<std::string, std::tuple<std::uintmax_t, fs::file_time_type>> files_outside_shardex(const fs::path& root) {
    std::map<std::string, std::tuple<std::uintmax_t, fs::file_time_type>> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const auto& p = it->path();
        if (it->is_directory() && p.filename() == "Shardex") {
            it.disable_recursion_pending();
            continue;
        }
        if (p.extension() == ".log") continue;
        std::error_code e;
        files[p.string()] = {it->is_regular_file(e) ? fs::file_size(p, e) : 0, fs::last_write_time(p, e)};
    }
    return files;
}

// Temporary files of copies in `folder` (".name.part-XXXX").
std::set<std::string> part_files(const fs::path& folder) {
    std::set<std::string> parts;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (has(e.path().filename().string(), ".part-")) parts.insert(e.path().filename().string());
    return parts;
}

class Faults : public DistributedRun {
protected:
    // A figure of the case: printed, and kept with the test's result for the soak's line.
    void figure(const std::string& key, const std::string& value) {
        RecordProperty(key, value);
        std::printf("  %s: %s\n", key.c_str(), value.c_str());
        std::fflush(stdout);
    }
    void figure(const std::string& key, long long value) { figure(key, std::to_string(value)); }

    std::map<std::string, std::tuple<std::uintmax_t, fs::file_time_type>> outside() const {
        auto all = files_outside_shardex(home.path().toStdString());
        for (auto& f : files_outside_shardex(dir->path().toStdString())) all.insert(f);
        return all;
    }
    std::string server_folder() const { return home.path().toStdString() + "/Shardex"; }
};

// ---- Full disks ---------------------------------------------------------------------

// The Server's Shardex folder fills up: its own encode ends with a message that says so and
// names the Server; the clients' encodes finish on the clients, their copies home cannot
// complete and leave nothing under the final names.
TEST_F(Faults, AFullServerFolderStopsTheServerAndItsCopiesSayingWhy) {
    SmallDisk disk(server_folder(), 128 << 10);
    if (!disk.error().empty()) GTEST_SKIP() << disk.error();
    open_window();
    choose(clip);
    const auto before = outside();
    const auto go = Clock::now();
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_until([&] { return text(f->Local_Status) == "Status:  Failed "; }, 60000))
        << text(f->Local_Status) << messages();
    figure("server stopped after (ms from Go)", ms_since(go));
    ASSERT_TRUE(wait_for_go(120000)) << messages();

    // One message for the Server's encode, one for each copy home, in the order they ended,
    // and one for the first client's segment, which no computer is left to encode again.
    ASSERT_EQ(dialogs->shown.size(), 4u) << messages();
    EXPECT_TRUE(has(dialogs->shown.back().text, "no computer of the run is left")) << messages();
    int serverMessages = 0;
    for (const auto& shown : dialogs->shown) {
        const std::string& m = shown.text;
        if (m.rfind("Local Encoder Error: ", 0) == 0) {
            ++serverMessages;
            EXPECT_EQ(m.rfind("Local Encoder Error: -1072889852\nSRV: the disk is full: cannot write output file '", 0),
                      0u)
                << m;
        } else {
            EXPECT_TRUE(m.rfind("Remote Encoder", 0) == 0 && has(m, ": SRV: the disk is full: cannot write '")) << m;
        }
        figure("message " + std::to_string(&shown - dialogs->shown.data() + 1), m);
    }
    EXPECT_EQ(serverMessages, 1);
    for (auto [panel, status] : {std::pair{"Server", f->Local_Status}, std::pair{"Client 1", f->Remote_Status},
                                  std::pair{"Client 2", f->Remote2_Status}}) {
        EXPECT_EQ(text(status), "Status:  Failed ");
        figure(std::string(panel) + " panel", text(status));
    }
    // The clients' encodes finished: whole files on the clients; none here under those names.
    for (auto [n, name] : {std::pair{1, f->S.Remote_OutFile}, std::pair{2, f->S.Remote2_OutFile}}) {
        EXPECT_EQ(formats((node_root(n) / "Shardex" / name).string()), "asf wmv2 wmav2") << name;
        EXPECT_FALSE(fs::exists(here(name))) << name << " was left half-written";
    }
    EXPECT_TRUE(part_files(server_folder()).empty());
    EXPECT_TRUE(outside() == before) << "a file outside the Shardex folders changed";
    std::error_code ec;
    figure("server's partial output (bytes)", static_cast<long long>(fs::file_size(here(f->S.Local_OutFile), ec)));
    figure("server's partial output reads as", formats(here(f->S.Local_OutFile)));
}

// ---- Lost links -----------------------------------------------------------------------

enum class Stage { SetUp, Encode, CopyHome };
enum class Loss { Kill, Freeze };

struct StageCase {
    const char* name;
    Stage stage;
    Loss loss;
    int node;  // the client lost: 1 NODE1, 2 NODE2
};

std::string case_name(const ::testing::TestParamInfo<StageCase>& info) { return info.param.name; }
void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

class LostClient : public Faults, public ::testing::WithParamInterface<StageCase> {
protected:
    // A client is lost at the case's stage (during its encode, at 30% of its segment); another
    // computer of the run encodes its segment again, with no user action, and the run ends
    // with every segment whole and the joined file. Then the client comes back (woken, or
    // started again on its port) and the next run uses it.
    void run_case(const StageCase& c) {
        const std::string lostName = c.node == 1 ? "NODE1" : "NODE2";
        open_window();
        const std::string source = c.stage == Stage::Encode ? long_clip() : clip;
        if (c.stage != Stage::Encode) choose(source);
        else if (c.node == 1) choose(source, "20", "60", "20");
        else choose(source, "20", "20", "60");
        QLabel* status = c.node == 1 ? f->Remote_Status : f->Remote2_Status;
        QLineEdit* fileBox = c.node == 1 ? f->TextBox_RemoteFile : f->TextBox_Remote2File;
        auto& encoder = c.node == 1 ? f->S.Remote_Encoder : f->S.Remote2_Encoder;

        Clock::time_point lost{};
        bool armed = true;
        auto lose = [&] {
            armed = false;
            node(c.node)->signal(c.loss == Loss::Kill ? SIGKILL : SIGSTOP);
            lost = Clock::now();
        };
        if (c.stage == Stage::SetUp) {
            auto connect = f->services.createAgent;
            f->services.createAgent = [&, connect](const std::string& computer) {
                auto agent = connect(computer);
                if (computer == lostName && armed) lose();  // connected, nothing made yet
                return agent;
            };
        } else if (c.stage == Stage::CopyHome) {
            auto copy = f->services.copyFromClient;
            f->services.copyFromClient = [&, copy](const std::string& computer, const std::string& name,
                                                   const std::string& target, const auto& progress) {
                if (computer == lostName && armed) lose();  // the encode has ended there
                copy(computer, name, target, progress);
            };
        }

        Cmd_Go_Click(*f);
        if (c.stage == Stage::Encode) {
            const std::int32_t at = (c.node == 1 ? f->S.Remote_SegLength : f->S.Remote2_SegLength) * 3 / 10;
            ASSERT_TRUE(wait_until([&] { return encoder && encoder->statistics()->archiveFileDuration().raw > at; },
                                   60000))
                << messages();
            lose();
        }
        // The file box names the computer that encodes the segment again.
        ASSERT_TRUE(wait_until([&] { return !armed && has(fileBox->text().toStdString(), " (on "); }, 60000))
            << text(status) << messages();
        figure("re-encoding started after (ms)", ms_since(lost));
        figure("lost panel", text(status) + " | " + fileBox->text().toStdString());
        ASSERT_TRUE(wait_for_go(240000)) << messages();
        ASSERT_EQ(dialogs->shown.size(), 1u) << messages();
        const std::string message = dialogs->shown[0].text;
        figure("message", message);
        EXPECT_EQ(message.rfind(c.node == 1 ? "Remote Encoder: " : "Remote Encoder-2: ", 0), 0u) << message;
        EXPECT_TRUE(has(message, lostName)) << message;
        EXPECT_TRUE(has(message, "encoded again")) << message;
        for (auto* panel : {f->Local_Status, f->Remote_Status, f->Remote2_Status})
            EXPECT_TRUE(success(panel)) << text(panel);
        EXPECT_TRUE(part_files(server_folder()).empty());
        const int sourceFrames = frame_count(source);
        int total = 0;
        for (const auto& name : {f->S.Local_OutFile, f->S.Remote_OutFile, f->S.Remote2_OutFile})
            total += frame_count(here(name));
        EXPECT_EQ(total, sourceFrames) << "every segment whole, the lost one encoded again";
        EXPECT_EQ(frame_count(here(fs::path(source).stem().string() + ".wmv")), sourceFrames) << "the joined file";

        // Back again, without starting Shardex again.
        if (c.loss == Loss::Freeze) {
            node(c.node)->signal(SIGCONT);
        } else {
            ASSERT_TRUE(restart_node(c.node)) << node(c.node)->log();
        }
        dialogs->shown.clear();
        choose(clip);
        Cmd_Go_Click(*f);
        ASSERT_TRUE(wait_for_go(180000)) << messages();
        EXPECT_TRUE(dialogs->shown.empty()) << messages();
        for (auto* panel : {f->Local_Status, f->Remote_Status, f->Remote2_Status})
            EXPECT_TRUE(success(panel)) << text(panel);
        EXPECT_TRUE(fs::exists(node_root(c.node) / "Shardex" / (c.node == 1 ? f->S.Remote_OutFile : f->S.Remote2_OutFile)))
            << "the client encoded its own segment";
        figure("lost panel in the next run", text(status));
    }
};

TEST_P(LostClient, HasItsSegmentEncodedAgainElsewhereAndIsUsableByTheNextRun) { run_case(GetParam()); }

// Quick enough for every test run; the soak adds the rest.
INSTANTIATE_TEST_SUITE_P(Quick, LostClient,
                         ::testing::Values(StageCase{"Node1KilledAtEncode", Stage::Encode, Loss::Kill, 1},
                                           StageCase{"Node1FrozenAtEncode", Stage::Encode, Loss::Freeze, 1},
                                           StageCase{"KilledAtSetUp", Stage::SetUp, Loss::Kill, 2},
                                           StageCase{"KilledAtCopyHome", Stage::CopyHome, Loss::Kill, 2}),
                         case_name);

#ifdef SHARDEX_FAULTS_SOAK
INSTANTIATE_TEST_SUITE_P(Soak, LostClient,
                         ::testing::Values(StageCase{"FrozenAtSetUp", Stage::SetUp, Loss::Freeze, 2},
                                           StageCase{"Node2FrozenAtEncode", Stage::Encode, Loss::Freeze, 2},
                                           StageCase{"FrozenAtCopyHome", Stage::CopyHome, Loss::Freeze, 2}),
                         case_name);

// A client's Shardex folder fills up: that slot alone ends, with a message naming it.
TEST_F(Faults, AFullClientFolderStopsThatClientAlone) {
    node1.reset();  // started again on a small disk
    SmallDisk disk(node_root(1) / "Shardex", 128 << 10);
    if (!disk.error().empty()) GTEST_SKIP() << disk.error();
    node1 = make_node(1);
    ASSERT_TRUE(node1->start()) << node1->log();
    open_window();
    choose(clip);
    const auto before = outside();
    const auto go = Clock::now();
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_until([&] { return text(f->Remote_Status) == "Status:  Failed "; }, 60000))
        << text(f->Remote_Status) << messages();
    figure("client stopped after (ms from Go)", ms_since(go));
    ASSERT_TRUE(wait_for_go(120000)) << messages();
    ASSERT_GE(dialogs->shown.size(), 1u) << messages();
    const auto& m = dialogs->shown[0].text;
    EXPECT_EQ(m.rfind("Remote Encoder: NODE1: the disk is full: cannot write output file '", 0), 0u) << m;
    figure("message", m);
    figure("Client 1 panel", text(f->Remote_Status));
    EXPECT_TRUE(success(f->Local_Status)) << text(f->Local_Status);
    EXPECT_TRUE(success(f->Remote2_Status)) << text(f->Remote2_Status);
    EXPECT_TRUE(part_files(server_folder()).empty());
    EXPECT_TRUE(outside() == before) << "a file outside the Shardex folders changed";
}
#endif

}  // namespace
}  // namespace shardex::testing

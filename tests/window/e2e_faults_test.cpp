// What a user meets when a disk fills up or a client computer is lost during a distributed run:
// the message and the slot's status, that the other slots finish and a lost client's segment
// is encoded again elsewhere, that nothing outside the Shardex folders changes and no
// half-written file stands under a final name, and that a lost client serves the next run
// without starting Shardex again. The tests run the quick cases;
// the soak, built from this file's objects, runs them all.
#include <gtest/gtest.h>
#include <signal.h>

#include <QLineEdit>
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
    std::vector<std::string> says;     // one message holds each, in any order
    std::vector<const char*> panels;   // "ok" for a success, else the status expected
    bool soakOnly;
};
void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.name; }

std::vector<DiskCase> disk_cases() {
    const std::string full = ": SRV: the disk is full: cannot write '";
    std::vector<DiskCase> all = {
        {"ServerFolder", 0,
         // ...and one for the client segment that waited for a computer to encode it again
         // when none was left.
         {"Local Encoder Error: -1072889852\nSRV: the disk is full: cannot write output file '",
          "Remote Encoder" + full, "Remote Encoder-2" + full, "no computer of the run is left"},
         {"Status:  Failed ", "Status:  Failed ", "Status:  Failed "}, false},
        // NODE1's segment is encoded again by a computer of the run with room.
        {"ClientFolder", 1, {"Remote Encoder: NODE1: the disk is full: cannot write output file '"},
         {"ok", "ok", "ok"}, true},
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
                                [&](const auto& m) { return has(m.text, says); }), 1)
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

// ---- Lost clients: killed or frozen at each stage ----------------------------------------

enum class Stage { SetUp, Encode, CopyHome };
struct LossCase {
    const char* name;
    Stage stage;
    int signal;  // SIGKILL or SIGSTOP
    int node;    // the client lost: 1 NODE1, 2 NODE2
    bool soakOnly;
};
void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

std::vector<LossCase> loss_cases() {
    std::vector<LossCase> all = {
        {"Node1KilledAtEncode", Stage::Encode, SIGKILL, 1, false},
        {"Node1FrozenAtEncode", Stage::Encode, SIGSTOP, 1, false},
        {"KilledAtSetUp", Stage::SetUp, SIGKILL, 2, false},
        {"KilledAtCopyHome", Stage::CopyHome, SIGKILL, 2, false},
        {"FrozenAtSetUp", Stage::SetUp, SIGSTOP, 2, true},
        {"Node2FrozenAtEncode", Stage::Encode, SIGSTOP, 2, true},
        {"FrozenAtCopyHome", Stage::CopyHome, SIGSTOP, 2, true},
    };
    std::erase_if(all, [](const LossCase& c) { return c.soakOnly && !soakMode; });
    return all;
}

class LostClient : public Faults, public ::testing::WithParamInterface<LossCase> {};

// A client is lost at the case's stage (during its encode, at 30% of its segment); another
// computer of the run encodes its segment again, with no user action, and the run ends with
// every segment whole and the joined file. Then the client comes back (woken, or started
// again on its port) and the next run uses it.
TEST_P(LostClient, HasItsSegmentEncodedAgainAndServesTheNextRun) {
    const LossCase& c = GetParam();
    const std::string lostName = "NODE" + std::to_string(c.node);
    open_window();
    const fs::path source = c.stage == Stage::Encode ? long_clip() : clip;
    if (c.stage != Stage::Encode) choose(source);
    else if (c.node == 1) choose(source, "20", "60", "20");
    else choose(source, "20", "20", "60");
    QLineEdit* fileBox = c.node == 1 ? f->TextBox_RemoteFile : f->TextBox_Remote2File;
    auto& encoder = c.node == 1 ? f->S.Remote_Encoder : f->S.Remote2_Encoder;
    Clock::time_point lost{};
    bool armed = true;
    auto lose = [&] {
        armed = false;
        node(c.node)->signal(c.signal);
        lost = Clock::now();
    };
    if (c.stage == Stage::SetUp) {
        f->services.createAgent = [&, connect = f->services.createAgent](const std::string& computer) {
            auto agent = connect(computer);
            if (computer == lostName && armed) lose();  // connected, nothing made yet
            return agent;
        };
    } else if (c.stage == Stage::CopyHome) {
        f->services.copyFromClient = [&, copy = f->services.copyFromClient](const std::string& computer,
                                                                            const std::string& name,
                                                                            const std::string& target, const auto& progress) {
            if (computer == lostName && armed) lose();  // its encode has ended
            copy(computer, name, target, progress);
        };
    }
    Cmd_Go_Click(*f);
    if (c.stage == Stage::Encode) {
        const std::int32_t at = (c.node == 1 ? f->S.Remote_SegLength : f->S.Remote2_SegLength) * 3 / 10;
        ASSERT_TRUE(wait_until([&] { return encoder && encoder->statistics()->archiveFileDuration().raw > at; }, 60000))
            << messages();
        lose();
    }
    // The file box names the computer that encodes the segment again.
    ASSERT_TRUE(wait_until([&] { return !armed && has(fileBox->text().toStdString(), " (on "); }, 120000))
        << messages();
    figure("re-encoding started after (ms)",
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lost).count()));
    ASSERT_TRUE(wait_for_go(240000)) << messages();
    ASSERT_EQ(dialogs->shown.size(), 1u) << messages();
    const std::string message = dialogs->shown[0].text;
    figure("message", message);
    EXPECT_EQ(message.rfind(c.node == 1 ? "Remote Encoder: " : "Remote Encoder-2: ", 0), 0u) << message;
    EXPECT_TRUE(has(message, lostName) && has(message, "encoded again")) << message;
    for (auto* status : {f->Local_Status, f->Remote_Status, f->Remote2_Status}) EXPECT_TRUE(success(status)) << text(status);
    EXPECT_FALSE(part_files_left());
    const int sourceFrames = frame_count(source);
    int total = 0;
    for (const auto& name : {f->S.Local_OutFile, f->S.Remote_OutFile, f->S.Remote2_OutFile}) total += frame_count(here(name));
    EXPECT_EQ(total, sourceFrames) << "every segment whole, the lost one encoded again";
    EXPECT_EQ(frame_count(here(source.stem().string() + ".wmv")), sourceFrames) << "the joined file";

    if (c.signal == SIGSTOP) node(c.node)->signal(SIGCONT);
    else {
        ASSERT_TRUE(restart_node(c.node)) << node(c.node)->log();
    }
    dialogs->shown.clear();
    choose(clip);
    Cmd_Go_Click(*f);
    ASSERT_TRUE(wait_for_go(180000)) << messages();
    EXPECT_TRUE(dialogs->shown.empty()) << messages();
    for (auto* status : {f->Local_Status, f->Remote_Status, f->Remote2_Status}) EXPECT_TRUE(success(status)) << text(status);
    EXPECT_TRUE(fs::exists(node_root(c.node) / "Shardex" / (c.node == 1 ? f->S.Remote_OutFile : f->S.Remote2_OutFile)))
        << "the client encoded its own segment";
}

INSTANTIATE_TEST_SUITE_P(Stages, LostClient, ::testing::ValuesIn(loss_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace shardex::testing

// A lost client's segment encoded again on another computer of a Go run: who takes it, what
// the panels and messages say, that the join waits for it, and what a user's Stop or a
// second failure leaves.
#include <QCheckBox>

#include "jobs/join_run.h"
#include "platform/encoder/errors.h"
#include "platform/network_paths.h"
#include "run/run_control.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

using Strings = std::vector<std::string>;

const std::string kNote = "\nIts segment will be encoded again by another computer of the run.";

class ReRun : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        given_source();
        f->S.Client1_Computer = "NODE1";
        f->S.Client2_Computer = "NODE2";
        for (const char* name : {"clip_SX.wmv", "clip_SX1.wmv", "clip_SX2.wmv"}) write_output(name, 4096);
        f->CheckBox_Join->setChecked(true);
        f->services.joinSegments = [this](const join::JoinRequest& r) {
            joins.push_back(r.inputs.size());
            join::JoinResult result;
            result.completed = true;
            return result;
        };
    }
    // "Success", "Stopped", ...: a status line's first word.
    static std::string word(const QLabel* status) {
        const std::string s = text(status).substr(9);
        return s.substr(0, s.find(' '));
    }
    std::vector<std::size_t> joins;  // the inputs of each join
};

// Encoders are numbered as they are made: 0 the Server's, 1 NODE1's, 2 NODE2's, then each
// re-encoding's. A step ends one ("ok", or "lost" / "fail" with an error first), or is the
// user's Stop through Go.
TEST_F(ReRun, ALostClientsSegmentIsEncodedAgainByTheFirstComputerFree) {
    const auto lost = encoder::errors::kConnectionLost;
    const auto fail = encoder::errors::kInternal;
    const std::string home = platform::network_source_path("SRV", "/videos/clip.avi");
    struct Step {
        int encoder;
        std::int32_t code;  // 0: ends well; -1: the user's Stop
    };
    struct Case {
        const char* intent;
        std::vector<Step> steps;
        const char* panels;
        Strings messages;
        Strings agents;
        std::string rerunReads;  // the source the re-encoding read; "" for none
        std::size_t joined;      // inputs of the join, 0 for none
    } cases[] = {
        {"NODE1 lost: the Server takes it when its own ends; the join waits",
         {{1, lost}, {0, 0}, {2, 0}, {3, 0}}, "Success|Success|Success",
         {"Remote Encoder: it broke" + kNote}, {"NODE1", "NODE2"}, "/videos/clip.avi", 3},
        {"NODE2 fails after NODE1 ended well: NODE1 takes it at once, through the share",
         {{1, 0}, {2, fail}, {3, 0}, {0, 0}}, "Success|Success|Success",
         {"Remote Encoder-2: it broke" + kNote}, {"NODE1", "NODE2", "NODE1"}, home, 3},
        {"the re-encoding fails too: the slot stops with both reasons",
         {{1, lost}, {0, 0}, {3, fail}, {2, 0}}, "Success|Failed|Success",
         {"Remote Encoder: it broke" + kNote,
          "Remote Encoder: its segment could not be encoded again on SRV: it broke\nIt had stopped: it broke"},
         {"NODE1", "NODE2"}, "/videos/clip.avi", 0},
        {"the user's Stop: nothing is encoded again", {{1, lost}, {0, -1}}, "Stopped|Stopped|Stopped",
         {"Remote Encoder: it broke" + kNote}, {"NODE1", "NODE2"}, "", 0},
        {"no computer left to take it", {{1, lost}, {0, fail}, {2, fail}}, "Failed|Failed|Failed",
         {"Remote Encoder: it broke" + kNote, "Local Encoder Error: " + std::to_string(fail),
          "Remote Encoder-2: it broke",
          "Remote Encoder: no computer of the run is left to encode its segment again. It had stopped: it broke"},
         {"NODE1", "NODE2"}, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        fx.made.clear();
        fx.agents.clear();
        dialogs->shown.clear();
        joins.clear();
        f->S.Remote_Connected = f->S.Remote2_Connected = 0;
        loads("34", "33", "33");
        Cmd_Go_Click(*f);
        ASSERT_EQ(fx.made.size(), 3u);
        for (const Step& s : c.steps) {
            ASSERT_LT(static_cast<std::size_t>(s.encoder), fx.made.size());
            if (s.code == -1) {
                Cmd_Go_Click(*f);
            } else {
                if (s.code != 0) fx.made[static_cast<std::size_t>(s.encoder)]->reportError(s.code, "it broke");
                fx.made[static_cast<std::size_t>(s.encoder)]->finish();
            }
            settle();
        }
        EXPECT_EQ(word(f->Local_Status) + "|" + word(f->Remote_Status) + "|" + word(f->Remote2_Status), c.panels);
        EXPECT_EQ(messages(), c.messages);
        EXPECT_EQ(fx.agents, c.agents);
        EXPECT_EQ(text(f->Cmd_Go), "Go");
        EXPECT_EQ(joins, c.joined ? std::vector<std::size_t>{c.joined} : std::vector<std::size_t>{});
        ASSERT_EQ(fx.made.size(), c.rerunReads.empty() ? 3u : 4u);
        if (c.rerunReads.empty()) continue;
        // The lost slot's own segment into its own name, in the Shardex folder of the computer.
        FakeEncoder& again = *fx.made[3];
        FakeEncoder& lostOne = *fx.made[c.messages[0].rfind("Remote Encoder: ", 0) == 0 ? 1 : 2];
        EXPECT_EQ(again.video().path, c.rerunReads);
        EXPECT_EQ(again.outputPath + " " + std::to_string(again.video().in) + ".." + std::to_string(again.audio().out),
                  lostOne.outputPath + " " + std::to_string(lostOne.video().in) + ".." +
                      std::to_string(lostOne.audio().out));
    }
}

}  // namespace
}  // namespace shardex::testing

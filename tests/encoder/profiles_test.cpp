// The profile collection, editor and files a user may drop in; and the shardex-encode tool as
// a script driving it sees it.
#include <gtest/gtest.h>

#include "platform/encoder/factory.h"
#include "platform/encoder/profiles.h"
#include "support/media.h"
#include "support/process.h"

namespace shardex::testing {
namespace {

using namespace encoder;

std::string custom(const std::string& name, int content = kContentAudioVideo) {
    ProfileData p = stock_profiles().front();
    p.name = name;
    p.contentType = content;
    return profile_to_json(p);
}

// Stock profiles first, then the user's files by file name; a file that is not a profile is
// skipped, not fatal; a new file is read on refresh.
TEST(ProfileCollection, StockFirstThenUserFilesByNameSkippingBrokenOnes) {
    TempDir dir;
    write_file(dir / "b.json", custom("User B"));
    write_file(dir / "a.json", custom("User A", kContentAudio));
    write_file(dir / "broken.json", "{ not json");
    write_file(dir / "c.json", R"({"name": "No audiences", "contentType": 17})");
    write_file(dir / "notes.txt", custom("Not a profile file"));
    auto col = make_installed_profile_collection(dir.path());
    const int stock = static_cast<int>(stock_profiles().size());
    const auto names = [&] {
        std::vector<std::string> v;
        for (int i = stock; i < col->count(); ++i) v.push_back(col->item(i)->name());
        return v;
    };
    EXPECT_EQ(col->item(0)->name(), stock_profiles()[0].name);
    EXPECT_EQ(names(), (std::vector<std::string>{"User A", "User B"}));
    write_file(dir / "0.json", custom("User 0"));
    EXPECT_EQ(names().size(), 2u);
    col->refresh();
    EXPECT_EQ(names(), (std::vector<std::string>{"User 0", "User A", "User B"}));
}

// A definition that cannot be encoded is refused naming the profile; numbers beyond 32 bits
// are refused, not wrapped (4295667296 would read as 700000).
TEST(ProfileFiles, InvalidDefinitionsAreRefusedNamingTheProfile) {
    const std::string video = R"("audiences": [{"width": 320, "height": 240, "fps": 25000, "videoBitrate": )";
    const struct {
        std::string text, says;
    } cases[] = {
        {R"({"name": "Odd", "contentType": 17, "audiences": [{"width": 161, "height": 120, "fps": 25000, "videoBitrate":
             100000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]})", "'Odd'"},
        {R"({"name": "Low", "contentType": 1, "audiences": [{"audioBitrate": 16000, "audioSampleRate": 44100, "audioChannels": 2}]})",
         "'Low'"},
        {"[]", "profile"},
        {R"({"name": "Wide", "contentType": 16, )" + video + "4295667296}]}", "out of range"},
        {R"({"name": "Wide", "contentType": 16, )" + video + "-2147483649}]}", "out of range"},
        {R"({"name": "Wide", "contentType": 16, )" + video + "18446744073709551615}]}", "out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse_profile(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(EncodeTool, ListsProfilesEncodesASegmentAndFailsSayingWhy) {
    TempDir tmp;
    const std::string tool = SHARDEX_ENCODE_PATH;
    make_clip(tmp / "clip.avi", "-f lavfi -i testsrc2=size=160x120:rate=30 -f lavfi -i sine -t 4 -c:v mjpeg -c:a pcm_s16le");
    const struct {
        std::string args;
        bool ok;
        std::string says;
    } cases[] = {
        {"--list-profiles", true,
         "  0  audio+video  CBR              built in        Windows Media Video 8 for Local Area Network (768 Kbps)\n"},
        {"'" + (tmp / "clip.avi").string() + "' '" + (tmp / "part.wmv").string() + "' --mark-in 1000 --mark-out 3000", true,
         "size"},
        {"'" + (tmp / "missing.avi").string() + "' '" + (tmp / "o.wmv").string() + "'", false, "No such file or directory"},
        {"x.avi y.wmv --profile 'No Such Profile'", false,
         "no profile named 'No Such Profile' on this computer: shardex-encode --list-profiles"},
        {"x.avi y.wmv --mark-in soon", false, "whole number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        int rc = 0;
        const std::string said = run(tool + " " + c.args + " 2>&1", &rc);
        EXPECT_EQ(rc == 0, c.ok) << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        if (c.args == "--list-profiles") {
            EXPECT_EQ(said.rfind("NO.  CONTENT      VIDEO RATE       FROM            NAME\n", 0), 0u) << "a header first";
        }
    }
    EXPECT_EQ(frame_count(tmp / "part.wmv"), 60);  // 2 s at 30 fps
}

}  // namespace
}  // namespace shardex::testing

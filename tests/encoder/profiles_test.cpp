#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "platform/encoder/factory.h"
#include "platform/encoder/local_encoder.h"
#include "platform/encoder/profiles.h"
#include "support.h"

using namespace shardex::encoder;

namespace {

const char* kLan768 = "Windows Media Video 8 for Local Area Network (768 Kbps)";

std::string custom(const std::string& name, int content = 17) {
    ProfileData p = stock_profiles().front();
    p.name = name;
    p.contentType = content;
    return profile_to_json(p);
}

}  // namespace

TEST(StockProfiles, DefaultProfileDescribesLan768) {
    auto editor = create_profile_editor();
    editor->load(find_stock_profile(kLan768));
    EXPECT_EQ(editor->contentType(), kContentAudioVideo);
    EXPECT_EQ(editor->bitrateMode(kSourceVideo, 0), kModeCbr);
    auto a = editor->audience(0);
    EXPECT_EQ(a->videoWidth(0), 320);
    EXPECT_EQ(a->videoHeight(0), 240);
    EXPECT_EQ(a->videoFps(0), 29970);
    EXPECT_EQ(a->audioBitrate(0), 64000);
    EXPECT_EQ(a->videoBitrate(0), 700000);
    EXPECT_EQ(a->videoBufferSize(0), 5000);
    std::string fourcc;
    EXPECT_EQ(editor->videoCodecName(a->videoCodec(0), &fourcc), "Windows Media Video 8");
    EXPECT_EQ(fourcc, "WMV2");
}

TEST(StockProfiles, CoverContentTypesModesDialupAndBothCodecs) {
    std::set<int> contents, modes, codecs;
    int dialup = 0;
    std::set<std::string> names;
    for (const auto& p : stock_profiles()) {
        EXPECT_TRUE(names.insert(p.name).second) << "duplicate " << p.name;
        contents.insert(p.contentType);
        if (p.hasVideo()) {
            modes.insert(p.videoMode);
            codecs.insert(p.audiences[0].videoCodec);
        }
        if (p.name.find("Dial-up") != std::string::npos) ++dialup;
        // The stored text reads back to the same profile.
        EXPECT_EQ(profile_to_json(parse_profile(profile_to_json(p))), profile_to_json(p));
    }
    EXPECT_EQ(contents, (std::set<int>{1, 16, 17}));
    EXPECT_EQ(modes, (std::set<int>{1, 2, 3, 4}));
    EXPECT_EQ(codecs, (std::set<int>{0, 1}));
    EXPECT_GE(dialup, 3);
}

TEST(ProfileCollection, StockFirstThenUserFilesByNameSkippingBrokenOnes) {
    enc_test::TempDir dir;
    std::ofstream(dir / "b.json") << custom("User B");
    std::ofstream(dir / "a.json") << custom("User A", kContentAudio);
    std::ofstream(dir / "broken.json") << "{ not json";
    std::ofstream(dir / "c.json") << R"({"name": "No audiences", "contentType": 17})";
    std::ofstream(dir / "notes.txt") << custom("Not a profile file");
    auto col = make_installed_profile_collection(dir.path());
    const int stock = static_cast<int>(stock_profiles().size());
    ASSERT_EQ(col->count(), stock + 2);
    EXPECT_EQ(col->item(0)->name(), stock_profiles()[0].name);
    EXPECT_EQ(col->item(stock)->name(), "User A");
    EXPECT_EQ(col->item(stock + 1)->name(), "User B");
    EXPECT_THROW(col->item(stock + 2), shardex::Error);
    EXPECT_THROW(col->item(-1), shardex::Error);

    std::ofstream(dir / "0.json") << custom("User 0");
    EXPECT_EQ(col->count(), stock + 2);  // read again only on refresh
    col->refresh();
    ASSERT_EQ(col->count(), stock + 3);
    EXPECT_EQ(col->item(stock)->name(), "User 0");
}

TEST(ProfileCollection, CustomSetKeepsGivenOrder) {
    auto col = make_profile_collection({custom("One", kContentVideo), "garbage", custom("Two")});
    ASSERT_EQ(col->count(), 2);
    EXPECT_EQ(col->item(0)->name(), "One");
    EXPECT_EQ(col->item(1)->name(), "Two");
    LocalEncoderOptions options;
    options.profiles = col;
    auto encoder = create_local_encoder(options);
    EXPECT_EQ(encoder->profileCollection()->count(), 2);
}

TEST(ProfileEditor, RefusesReadsItCannotAnswer) {
    auto editor = create_profile_editor();
    EXPECT_THROW(editor->contentType(), shardex::Error);  // nothing loaded
    EXPECT_THROW(editor->audience(0), shardex::Error);
    EXPECT_THROW(editor->load(nullptr), shardex::Error);
    EXPECT_THROW(editor->videoCodecName(editor->videoCodecCount()), shardex::Error);
    EXPECT_EQ(editor->videoCodecName(1), "Windows Media Video 7");

    editor->load(find_stock_profile("Windows Media Audio 8 for Broadband (CD Quality, 128 Kbps)"));
    EXPECT_EQ(editor->contentType(), kContentAudio);
    EXPECT_THROW(editor->bitrateMode(kSourceVideo, 0), shardex::Error);
    EXPECT_THROW(editor->audience(1), shardex::Error);
    EXPECT_THROW(editor->audience(0)->audioBitrate(1), shardex::Error);
}

TEST(ProfileFiles, InvalidDefinitionsNameTheProblem) {
    try {
        parse_profile(R"({"name": "Odd", "contentType": 17, "audiences": [{"width": 161, "height": 120,
            "fps": 25000, "videoBitrate": 100000, "audioBitrate": 64000, "audioSampleRate": 44100, "audioChannels": 2}]})");
        FAIL() << "odd width accepted";
    } catch (const shardex::Error& e) {
        EXPECT_NE(std::string(e.what()).find("'Odd'"), std::string::npos) << e.what();
    }
    EXPECT_THROW(parse_profile(R"({"name": "Low", "contentType": 1, "audiences": [{"audioBitrate": 16000,
        "audioSampleRate": 44100, "audioChannels": 2}]})"), shardex::Error);
    EXPECT_THROW(parse_profile("[]"), shardex::Error);
    // Numbers beyond 32 bits are refused, not wrapped (4295667296 would read as 700000).
    for (const char* rate : {"4295667296", "-2147483649", "18446744073709551615"}) {
        try {
            parse_profile(std::string(R"({"name": "Wide", "contentType": 16, "audiences": [{"width": 320, "height": 240,
                "fps": 25000, "videoBitrate": )") + rate + "}]}");
            ADD_FAILURE() << rate << " accepted";
        } catch (const shardex::Error& e) {
            EXPECT_NE(std::string(e.what()).find("out of range"), std::string::npos) << e.what();
        }
    }
}

// The profile list and the summary of the chosen profile.
#include <QGroupBox>

#include "profiles/profile_catalogue.h"
#include "run_fixture.h"

namespace shardex::testing {
namespace {

constexpr const char* kLan = "Windows Media Video 8 for Local Area Network (768 Kbps)";

class Profiles : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        f->Combo_Profile->clear();
    }
    std::vector<std::string> offered() const {
        std::vector<std::string> v;
        for (int i = 0; i < f->Combo_Profile->count(); ++i) v.push_back(f->Combo_Profile->itemText(i).toStdString());
        return v;
    }
    void choose(const FakeProfileData& p) {
        fx.script->profiles = {p};
        if (!f->S.Local_Encoder) f->S.Local_Encoder = std::make_shared<FakeEncoder>(fx.script);
        f->Combo_Profile->clear();
        f->Combo_Profile->addItem(QString::fromStdString(p.name));
        Combo_Profile_Click(*f);
    }
    std::vector<std::string> summary() const {
        return {text(f->Label24), text(f->Label25), text(f->Label26), text(f->Label20),
                text(f->Label23), text(f->Label22), text(f->Label18)};
    }
};

TEST_F(Profiles, OffersAudioVideoProfilesWithoutDialupAndSelectsTheDefault) {
    FakeProfileData audioOnly{"Audio only"};
    audioOnly.contentType = encoder::kContentAudio;
    FakeProfileData videoOnly{"Video for dial-up only"};
    videoOnly.contentType = encoder::kContentVideo;
    FakeProfileData lan{kLan};
    lan.videoBitrate = 700000;
    fx.script->profiles = {{"Video for Dial-up Modems (28.8 Kbps)"}, {"Video for dial-up, lower case"}, audioOnly,
                           videoOnly, lan, {"Video for Broadband (1 Mbps)"}};
    Fill_Profile_List(*f);
    EXPECT_EQ(offered(), (std::vector<std::string>{"Video for dial-up, lower case", kLan, "Video for Broadband (1 Mbps)"}));
    EXPECT_EQ(f->Combo_Profile->currentText().toStdString(), kLan);
    EXPECT_EQ(f->Frame_Profile->title().toStdString(), "Profiles: 3");
    EXPECT_TRUE(f->S.Local_Encoder);
    EXPECT_EQ(text(f->Label22), "Video: 700 Kbps");  // the default is summarised at once
    EXPECT_TRUE(dialogs->shown.empty());
}

TEST_F(Profiles, WithoutTheDefaultNothingIsSelectedOrSummarised) {
    FakeProfileData audioOnly{"Audio only"};
    audioOnly.contentType = encoder::kContentAudio;
    fx.script->profiles = {audioOnly};
    Fill_Profile_List(*f);
    EXPECT_TRUE(offered().empty());
    EXPECT_EQ(f->Frame_Profile->title().toStdString(), "Profiles: 0");
    EXPECT_EQ(text(f->Label24), "Codec:");
    EXPECT_EQ(text(f->Label20), "Constant or Variable");
}

TEST_F(Profiles, AFailureKeepsWhatWasDoneAndSaysSo) {
    fx.script->profiles = {{"First"}, {"Second"}};
    fx.script->failAt = {"load Second"};
    Fill_Profile_List(*f);
    EXPECT_EQ(offered(), std::vector<std::string>{"First"});
    EXPECT_EQ(f->Frame_Profile->title().toStdString(), "Profiles: ");
    EXPECT_EQ(messages(), std::vector<std::string>{"Unable to initialize Profile(s)"});
}

TEST_F(Profiles, SummaryPerBitRateMode) {
    FakeProfileData cbr{"CBR"};
    choose(cbr);
    EXPECT_EQ(summary(), (std::vector<std::string>{"Codec: Windows Media Video 8", "Frame: 320x240", "Fps: 30",
                                                   "Constant bitrate", "Audio: 64 Kbps", "Video: 700 Kbps",
                                                   "Video buffer: 5 sec"}));
    EXPECT_EQ(f->S.Two_Pass, 0);

    FakeProfileData peak{"Peak"};
    peak.mode = encoder::kModeVbrPeak;
    peak.codec = 1;
    peak.fps = 12500;
    peak.audioBitrate = 126500;
    peak.videoBitrate = 1500000;
    peak.peak = 2000000;
    choose(peak);
    EXPECT_EQ(summary(), (std::vector<std::string>{"Codec: Windows Media Video 7", "Frame: 320x240", "Fps: 12",
                                                   "Variable bitrate (2-pass)", "Audio: 127 Kbps",
                                                   "Video: 1500 Kbps", "Peak bitrate: 2000 Kbps"}));
    EXPECT_EQ(f->S.Two_Pass, 1);

    FakeProfileData quality{"Quality"};
    quality.mode = encoder::kModeVbrQuality;
    quality.quality = 95;
    choose(quality);
    EXPECT_EQ(summary()[3], "Variable bitrate (1-pass)");
    EXPECT_EQ(summary()[4], "Audio: ---");
    EXPECT_EQ(summary()[5], "Video: ---");
    EXPECT_EQ(summary()[6], "Quality: 95");
    EXPECT_EQ(f->S.Two_Pass, 0);

    FakeProfileData unconstrained{"Unconstrained"};
    unconstrained.mode = encoder::kModeVbrUnconstrained;
    unconstrained.audioBitrate = 0;
    choose(unconstrained);
    EXPECT_EQ(summary()[4], "Audio:  Kbps");
    EXPECT_EQ(summary()[6], "");
    EXPECT_EQ(f->S.Two_Pass, 1);

    FakeProfileData other{"Other"};
    other.mode = 7;
    other.width = 640;
    other.height = 480;
    other.bufferMs = 2500;
    choose(other);  // codec, frame and rate only; the rest stays
    EXPECT_EQ(summary()[1], "Frame: 640x480");
    EXPECT_EQ(summary()[3], "Variable bitrate (2-pass)");
    EXPECT_EQ(f->S.Two_Pass, 1);

    other.mode = encoder::kModeCbr;
    choose(other);  // a half second of buffer goes to the even second
    EXPECT_EQ(summary()[6], "Video buffer: 2 sec");
    EXPECT_EQ(f->S.Two_Pass, 0);
    EXPECT_TRUE(dialogs->shown.empty());
}

TEST_F(Profiles, SummaryFailures) {
    fx.script->profiles = {{"CBR"}};
    f->S.Local_Encoder = std::make_shared<FakeEncoder>(fx.script);
    f->Combo_Profile->addItem(QStringLiteral("Not installed"));  // nothing is loaded
    Combo_Profile_Click(*f);
    EXPECT_EQ(messages(), std::vector<std::string>{"Unexpected condition in profile processing!"});

    dialogs->shown.clear();
    f->Combo_Profile->setCurrentText(QStringLiteral("CBR"));
    f->Combo_Profile->setEditText(QStringLiteral("CBR"));
    fx.script->failAt = {"videoBitrate"};
    Combo_Profile_Click(*f);
    EXPECT_EQ(messages(), std::vector<std::string>{"Unexpected condition in profile processing!"});
    EXPECT_EQ(text(f->Label23), "Audio: 64 Kbps");  // written before the failure
    EXPECT_EQ(text(f->Label22), "Video:");           // not reached
    EXPECT_EQ(f->S.Two_Pass, 0);
}

}  // namespace
}  // namespace shardex::testing

// The profile list and the summary of the chosen profile.
#include <QGroupBox>

#include "profiles/profile_catalogue.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

class Profiles : public WindowTest {
protected:
    std::vector<std::string> offered() const {
        std::vector<std::string> v;
        for (int i = 0; i < f->Combo_Profile->count(); ++i) v.push_back(f->Combo_Profile->itemText(i).toStdString());
        return v;
    }
    std::vector<std::string> summary() const {
        return {text(f->Label24), text(f->Label25), text(f->Label26), text(f->Label20),
                text(f->Label23), text(f->Label22), text(f->Label18)};
    }
};

// Audio-and-video profiles are offered unless their name says "Dial-up"; the LAN default is
// chosen and summarised at once; a failure keeps what was done and says so.
TEST_F(Profiles, TheListOffersAudioVideoProfilesWithTheDefaultChosen) {
    FakeProfileData audio{"Audio only"}, video{"Video for dial-up only"}, lan{kLanProfile};
    audio.contentType = encoder::kContentAudio;
    video.contentType = encoder::kContentVideo;
    fx.script->profiles = {{"Video for Dial-up Modems (28.8 Kbps)"}, {"Video for dial-up, lower case"}, audio, video,
                           lan, {"Video for Broadband (1 Mbps)"}};
    Fill_Profile_List(*f);
    EXPECT_EQ(offered(), (std::vector<std::string>{"Video for dial-up, lower case", kLanProfile,
                                                   "Video for Broadband (1 Mbps)"}));
    EXPECT_EQ(f->Combo_Profile->currentText().toStdString(), kLanProfile);
    EXPECT_EQ(f->Frame_Profile->title().toStdString(), "Profiles: 3");
    EXPECT_EQ(text(f->Label22), "Video: 700 Kbps");
    EXPECT_TRUE(dialogs->shown.empty());

    f->Combo_Profile->clear();
    fx.script->profiles = {audio, {"First"}, {"Second"}};
    fx.script->failAt = {"load Second"};
    Fill_Profile_List(*f);
    EXPECT_EQ(offered(), std::vector<std::string>{"First"});
    EXPECT_EQ(f->Frame_Profile->title().toStdString(), "Profiles: 3");
    EXPECT_EQ(messages(), std::vector<std::string>{"Unable to initialize Profile(s)"});
    EXPECT_EQ(summary()[0], "Codec: Windows Media Video 8");  // the default's summary stays
}

// The summary of each bit-rate mode, and whether the jobs run two passes. An unknown mode
// changes only the codec, frame and rate; halves of a second of buffer go to the even second.
TEST_F(Profiles, TheSummaryFollowsTheBitRateMode) {
    struct Case {
        std::int32_t mode, codec = 0, fps = 29970, audio = 64000, video = 700000, buffer = 5000, peak = 0, quality = 0;
        std::vector<std::string> summary;
        std::int32_t twoPass;
    } cases[] = {
        {encoder::kModeVbrPeak, 1, 12500, 126500, 1500000, 5000, 2000000, 0,
         {"Codec: Windows Media Video 7", "Frame: 320x240", "Fps: 12", "Variable bitrate (2-pass)", "Audio: 127 Kbps",
          "Video: 1500 Kbps", "Peak bitrate: 2000 Kbps"}, 1},
        {encoder::kModeVbrQuality, 0, 29970, 64000, 700000, 5000, 0, 95,
         {"Codec: Windows Media Video 8", "Frame: 320x240", "Fps: 30", "Variable bitrate (1-pass)", "Audio: ---",
          "Video: ---", "Quality: 95"}, 0},
        {encoder::kModeVbrUnconstrained, 0, 29970, 0, 700000, 5000, 0, 0,
         {"Codec: Windows Media Video 8", "Frame: 320x240", "Fps: 30", "Variable bitrate (2-pass)", "Audio:  Kbps",
          "Video: 700 Kbps", ""}, 1},
        {7, 1, 15000, 1, 1, 1, 1, 1,
         {"Codec: Windows Media Video 7", "Frame: 320x240", "Fps: 15", "Variable bitrate (2-pass)", "Audio:  Kbps",
          "Video: 700 Kbps", ""}, 1},
        {encoder::kModeCbr, 0, 29970, 64000, 700000, 2500, 0, 0,
         {"Codec: Windows Media Video 8", "Frame: 320x240", "Fps: 30", "Constant bitrate", "Audio: 64 Kbps",
          "Video: 700 Kbps", "Video buffer: 2 sec"}, 0},
    };
    f->S.Local_Encoder = std::make_shared<FakeEncoder>(fx.script);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.summary[3] + " " + std::to_string(c.mode));
        FakeProfileData p{"P" + std::to_string(c.mode)};
        p.mode = c.mode, p.codec = c.codec, p.fps = c.fps, p.audioBitrate = c.audio, p.videoBitrate = c.video;
        p.bufferMs = c.buffer, p.peak = c.peak, p.quality = c.quality;
        fx.script->profiles = {{"Another"}, p};
        f->Combo_Profile->clear();
        f->Combo_Profile->addItem(QString::fromStdString(p.name));
        Combo_Profile_Click(*f);
        EXPECT_EQ(summary(), c.summary);
        EXPECT_EQ(f->S.Two_Pass, c.twoPass);
    }
    EXPECT_TRUE(dialogs->shown.empty());

    // A chosen name that is not installed, and a figure that cannot be read, say so; what
    // was written before the failure stays.
    f->Combo_Profile->setEditText(QStringLiteral("Not installed"));
    Combo_Profile_Click(*f);
    f->Combo_Profile->setEditText(QStringLiteral("P1"));
    fx.script->failAt = {"videoBitrate"};
    Combo_Profile_Click(*f);
    EXPECT_EQ(messages(), std::vector<std::string>(2, "Unexpected condition in profile processing!"));
    EXPECT_EQ(text(f->Label23), "Audio: 64 Kbps");
}

}  // namespace
}  // namespace shardex::testing

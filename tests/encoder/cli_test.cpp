// The shardex-encode command-line tool: what a script driving it sees.
#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string kTool = SHARDEX_ENCODE_PATH;

class Cli : public ::testing::Test {
protected:
    enc_test::TempDir tmp_;
};

}  // namespace

TEST_F(Cli, ListsProfilesEncodesASegmentAndReportsFigures) {
    int rc = -1;
    auto listing = enc_test::run(kTool + " --list-profiles 2>&1", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(listing.rfind("NO.  CONTENT      VIDEO RATE       FROM            NAME\n", 0), 0u) << "a header first";
    EXPECT_NE(listing.find("  0  audio+video  CBR              built in        Windows Media Video 8 for Local Area "
                           "Network (768 Kbps)\n"),
              std::string::npos)
        << listing;

    auto src = tmp_.path() / "clip.avi";
    enc_test::make_clip(src, "-f lavfi -i testsrc2=size=160x120:rate=30 -f lavfi -i sine -t 4 -c:v mjpeg -c:a pcm_s16le");
    auto out = tmp_.path() / "part.wmv";
    auto log = enc_test::run(kTool + " '" + src.string() + "' '" + out.string() + "' --mark-in 1000 --mark-out 3000 2>&1",
                             &rc);
    EXPECT_EQ(rc, 0) << log;
    EXPECT_NE(log.find("size"), std::string::npos) << log;
    EXPECT_EQ(enc_test::frame_count(out), 60);  // 2 s at 30 fps
}

TEST_F(Cli, FailedCallsExitNonZeroWithTheirDescription) {
    int rc = 0;
    auto missing = tmp_.path() / "missing.avi";
    auto log = enc_test::run(kTool + " '" + missing.string() + "' '" + (tmp_.path() / "o.wmv").string() + "' 2>&1", &rc);
    EXPECT_NE(rc, 0);
    EXPECT_NE(log.find("No such file or directory"), std::string::npos) << log;

    log = enc_test::run(kTool + " x.avi y.wmv --profile 'No Such Profile' 2>&1", &rc);
    EXPECT_NE(rc, 0);
    EXPECT_NE(log.find("no profile named 'No Such Profile' on this computer: shardex-encode --list-profiles"),
              std::string::npos)
        << log;

    log = enc_test::run(kTool + " x.avi y.wmv --mark-in soon 2>&1", &rc);
    EXPECT_NE(rc, 0);
    EXPECT_NE(log.find("whole number"), std::string::npos) << log;
}

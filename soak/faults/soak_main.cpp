// soak_faults: the fault cases of the window's tests with the long ones added, and the Server
// killed mid-run. Each case prints one line per round, "SOAK <case> (round N): <figures> ... PASS" or
// "... FAIL: <why>"; the program exits non-zero when any case fails (or could not run).
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string one_line(std::string s) {
    for (std::size_t at = 0; (at = s.find('\n', at)) != std::string::npos;) s.replace(at, 1, " | ");
    return s;
}

// The case's figures (its recorded properties) and its outcome on one line.
class SoakLines final : public ::testing::EmptyTestEventListener {
public:
    void OnTestIterationStart(const ::testing::UnitTest&, int iteration) override { round_ = iteration + 1; }
    void OnTestStart(const ::testing::TestInfo&) override { why_.clear(); }
    void OnTestPartResult(const ::testing::TestPartResult& r) override {
        if (r.failed() && why_.empty()) why_ = one_line(r.message());
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        const auto* result = info.result();
        std::string figures;
        for (int i = 0; i < result->test_property_count(); ++i) {
            const auto& p = result->GetTestProperty(i);
            figures += (figures.empty() ? "" : "; ") + std::string(p.key()) + " = " + one_line(p.value());
        }
        std::string outcome = "PASS";
        if (result->Failed()) outcome = "FAIL: " + why_;
        else if (result->Skipped())
            outcome = "FAIL: could not run (" +
                      (result->total_part_count() > 0 ? one_line(result->GetTestPartResult(0).message()) : "") + ")";
        std::printf("SOAK faults/%s.%s (round %d): %s ... %s\n", info.test_suite_name(), info.name(), round_,
                    figures.empty() ? "-" : figures.c_str(), outcome.c_str());
        std::fflush(stdout);
        if (outcome != "PASS") failed_ = true;
    }
    bool failed() const { return failed_; }

private:
    std::string why_;
    int round_ = 1;
    bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    // Every case twice by default (about three minutes): a fault path that works once by
    // luck shows up as one failing round. --gtest_repeat=N chooses another count.
    GTEST_FLAG_SET(repeat, 2);
    ::testing::InitGoogleTest(&argc, argv);
    auto* lines = new SoakLines;  // owned by GoogleTest
    ::testing::UnitTest::GetInstance()->listeners().Append(lines);
    const int rc = RUN_ALL_TESTS();
    return rc != 0 || lines->failed() ? 1 : 0;
}

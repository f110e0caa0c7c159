// The host's logging library: formatting, bounds, sinks.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "tamrik.h"

namespace {

using vpitest::LogCapture;
using vpitest::LogLine;

TEST(Tamrik, FormatsTheLineAndPassesTheSeverity) {
    LogCapture capture;
    err(8, "Xerbo : Fail to recv response to read data (Vpi # %d,PLC # %d)", 3, 12);
    err(32, "VPI%s : Fail to open %s", "SATEC, Powermeter", "COM9");
    err(0, "gate type suppose to be float");
    const std::vector<LogLine> expected{
        {8, "Xerbo : Fail to recv response to read data (Vpi # 3,PLC # 12)"},
        {32, "VPISATEC, Powermeter : Fail to open COM9"},
        {0, "gate type suppose to be float"},
    };
    EXPECT_EQ(capture.Lines(), expected);
}

TEST(Tamrik, CutsOverlongLinesWithoutOverflow) {
    LogCapture capture;
    const std::string huge(10000, 'x');
    const int handed = err(8, "%s%s", huge.c_str(), huge.c_str());
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(kTamrikLineMax - 1, 'x'));
    EXPECT_EQ(handed, kTamrikLineMax - 1);
}

TEST(Tamrik, NullSinkRestoresTheDefault) {
    {
        LogCapture capture;
        err(0, "captured");
        EXPECT_EQ(capture.Lines().size(), 1u);
    }
    // The default sink writes to stderr; the process goes on.
    testing::internal::CaptureStderr();
    err(32, "to stderr %d", 7);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("[32] to stderr 7\n"), std::string::npos) << out;
}

}  // namespace

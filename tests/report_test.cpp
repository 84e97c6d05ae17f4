#include <gtest/gtest.h>

#include "report/html_report.h"

namespace {

// The page escapes with the same loop, which the differential test checks
// against the model; this checks what escape itself hands back.
TEST(Report, EscapeReplacesOnlyAngleBrackets) { EXPECT_EQ(escape("\"a&b\" x<y>z"), "\"a&b\" x&lt;y&gt;z"); }

}  // namespace

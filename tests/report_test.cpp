#include <gtest/gtest.h>

#include "report/html_report.h"

namespace {

TEST(Report, Escape) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"<", "&lt;"},
        {"->", "-&gt;"},
        {"<<", "&lt;&lt;"},
        {"\"a&b\"", "\"a&b\""},
        {"x<y>z", "x&lt;y&gt;z"},
        {"\xff<", "\xff&lt;"},
        {"eight or more bytes <at> once=?>", "eight or more bytes &lt;at&gt; once=?&gt;"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(escape(text), escaped) << text;
}

}  // namespace

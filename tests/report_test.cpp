#include <gtest/gtest.h>

#include <sstream>

#include "lex.h"
#include "report/html_report.h"
#include "report/listing.h"
#include "report/output_buffer.h"

namespace {

const std::string head =
    "<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br>"
    "<TABLE border=1><TH>Token #<TH> Token <TH> Type <TR>";
const std::string tail = "</TABLE></center></PRE></BODY></HTML>";
const std::string comment_label = "<font color=\"green\">Comment</font>";

// Each text as escape gives it, and as both reports write it for a comment
// holding it. Entities stand at either end of each length class that the
// reports' buffer copies differently (1-3, 4-7, 8-15, 16 and more bytes).
TEST(Report, TextsAsTheyAreAndEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"<", "&lt;"},
        {"->", "-&gt;"},
        {"<<", "&lt;&lt;"},
        {"\"a&b\"", "\"a&b\""},
        {"x<y>z", "x&lt;y&gt;z"},
        {"\xff<\n", "\xff&lt;\n"},
        {"a>", "a&gt;"},
        {"=<?", "=&lt;?"},
        {"<bcd", "&lt;bcd"},
        {"abcdef>", "abcdef&gt;"},
        {"abcdefgh>", "abcdefgh&gt;"},
        {"<bcdefghijklmnop", "&lt;bcdefghijklmnop"},
        {"abcdefghijklmnopqrstuvwxyz>", "abcdefghijklmnopqrstuvwxyz&gt;"},
        {"=?;\xbc\xbe\x3d\x3f", "=?;\xbc\xbe\x3d\x3f"},
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(escape(text), escaped) << text;
        std::ostringstream listing, page;
        print_listing(listing, lex_tokens("/*" + text + "*/"));
        write_report(page, token_list);
        EXPECT_EQ(listing.str(), "(0 : Comment ) ->" + text + "\n");
        EXPECT_EQ(page.str(), head + "<TH>0<TH>" + escaped + "<TH>" + comment_label + "<TR>" + tail);
    }
}

// Pieces larger than the buffer's block go out whole, escaped texts four
// times as long as they came included; the line after the largest is last.
TEST(Report, TokensLargerThanABlock) {
    const std::string angles(100000, '<'), word(300000, 'w');
    std::string entities;
    for (std::size_t i = 0; i < angles.size(); ++i) entities += "&lt;";
    std::ostringstream listing, page;
    print_listing(listing, lex_tokens("/*" + angles + "*/ " + word));
    write_report(page, token_list);
    EXPECT_EQ(listing.str(), "(0 : Comment ) ->" + angles + "\n(1 : Word ) ->" + word + "\n");
    EXPECT_EQ(page.str(), head + "<TH>0<TH>" + entities + "<TH>" + comment_label + "<TR><TH>1<TH>" + word +
                              "<TH><b>Word</b><TR>" + tail);
}

// Numbers in any order, not only the rising ones of the reports.
TEST(Report, NumbersInAnyOrder) {
    std::ostringstream text;
    {
        output_buffer out(text);
        for (const std::size_t number : {1, 2, 0, 9, 10, 11, 99, 100, 7, 999, 1000})
            out.append(number, std::string_view(" "));
        out.append(std::size_t{18446744073709551615u}, std::string_view(" "), std::size_t{0});
    }
    EXPECT_EQ(text.str(), "1 2 0 9 10 11 99 100 7 999 1000 18446744073709551615 0");
}

}  // namespace

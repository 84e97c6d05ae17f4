#include <gtest/gtest.h>

#include <sstream>

#include "lex.h"
#include "report/html_report.h"
#include "report/listing.h"
#include "report/output_buffer.h"

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
        // an entity at either end of each length class: 1-3, 4-7, 8 and more bytes
        {"a>", "a&gt;"},
        {"=<?", "=&lt;?"},
        {"<bcd", "&lt;bcd"},
        {"abcdef>", "abcdef&gt;"},
        {"abcdefgh>", "abcdefgh&gt;"},
        {"<bcdefghijklmnop", "&lt;bcdefghijklmnop"},
        {"=?;\xbc\xbe\x3d\x3f", "=?;\xbc\xbe\x3d\x3f"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(escape(text), escaped) << text;
}

TEST(Report, ListingAndPageOfASmallList) {
    const zor_token_list& tokens = lex_tokens("x<1 /*c\n*/ \"&\"");
    std::ostringstream listing, page;
    print_listing(listing, tokens);
    write_report(page, tokens);
    EXPECT_EQ(listing.str(),
              "(0 : Word ) ->x\n(1 : Symbol ) -><\n(2 : Number ) ->1\n(3 : Comment ) ->c\n\n"
              "(4 : String ) ->\"&\"\n");
    EXPECT_EQ(
        page.str(),
        "<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br>"
        "<TABLE border=1><TH>Token #<TH> Token <TH> Type <TR>"
        "<TH>0<TH>x<TH><b>Word</b><TR><TH>1<TH>&lt;<TH><font color=\"orange\">Symbol</font><TR>"
        "<TH>2<TH>1<TH><font color=\"#BD0000\">Number</font><TR>"
        "<TH>3<TH>c\n<TH><font color=\"green\">Comment</font><TR>"
        "<TH>4<TH>\"&\"<TH><font color=\"blue\">String</font><TR></TABLE></center></PRE></BODY></HTML>");
}

// Pieces larger than the buffer's block go out whole, escaped texts four
// times as long as they came included; the line after the largest is last.
TEST(Report, TokensLargerThanABlock) {
    const std::string angles(100000, '<'), word(300000, 'w');
    std::string entities;
    for (std::size_t i = 0; i < angles.size(); ++i) entities += "&lt;";
    const zor_token_list& tokens = lex_tokens("/*" + angles + "*/ " + word);
    std::ostringstream listing, page;
    print_listing(listing, tokens);
    write_report(page, tokens);
    EXPECT_EQ(listing.str(), "(0 : Comment ) ->" + angles + "\n(1 : Word ) ->" + word + "\n");
    EXPECT_EQ(page.str(),
              "<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br>"
              "<TABLE border=1><TH>Token #<TH> Token <TH> Type <TR><TH>0<TH>" +
                  entities + "<TH><font color=\"green\">Comment</font><TR><TH>1<TH>" + word +
                  "<TH><b>Word</b><TR></TABLE></center></PRE></BODY></HTML>");
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

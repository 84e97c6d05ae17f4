#include <gtest/gtest.h>

#include <sstream>

#include "lex.h"
#include "report/html_report.h"
#include "report/listing.h"

namespace {

const char* const page_head =
    "<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br>"
    "<TABLE border=1><TH>Token #<TH> Token <TH> Type <TR>";
const char* const page_tail = "</TABLE></center></PRE></BODY></HTML>";

std::string listing_of(const std::string& source) {
    std::ostringstream out;
    print_listing(out, lex_tokens(source));
    return out.str();
}

std::string page_of(const std::string& source) {
    std::ostringstream out;
    write_report(out, lex_tokens(source));
    return out.str();
}

TEST(Listing, OneLinePerToken) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"x+=1; // inc",
         "(0 : Word ) ->x\n(1 : Symbol ) ->+=\n(2 : Number ) ->1\n(3 : Symbol ) ->;\n"
         "(4 : Comment ) -> inc\n"},
        {"\"a\" /* l1\nl2 */", "(0 : String ) ->\"a\"\n(1 : Comment ) -> l1\nl2 \n"},
    };
    for (const auto& [source, listing] : cases) EXPECT_EQ(listing_of(source), listing) << source;
}

TEST(Report, Escape) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"<", "&lt;"},
        {"->", "-&gt;"},
        {"<<", "&lt;&lt;"},
        {"\"a&b\"", "\"a&b\""},
        {"x<y>z", "x&lt;y&gt;z"},
        {"\xff<", "\xff&lt;"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(escape(text), escaped) << text;
}

TEST(Report, Page) {
    EXPECT_EQ(page_of(""), std::string(page_head) + page_tail);
    EXPECT_EQ(page_of("a<b 7 \"&\" /*c*/ ->"),
              std::string(page_head) +
                  "<TH>0<TH>a<TH><b>Word</b><TR>"
                  "<TH>1<TH>&lt;<TH><font color=\"orange\">Symbol</font><TR>"
                  "<TH>2<TH>b<TH><b>Word</b><TR>"
                  "<TH>3<TH>7<TH><font color=\"#BD0000\">Number</font><TR>"
                  "<TH>4<TH>\"&\"<TH><font color=\"blue\">String</font><TR>"
                  "<TH>5<TH>c<TH><font color=\"green\">Comment</font><TR>"
                  "<TH>6<TH>-&gt;<TH><font color=\"orange\">Symbol</font><TR>" +
                  page_tail);
}

}  // namespace

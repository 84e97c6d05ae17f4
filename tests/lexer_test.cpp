#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "lex.h"
#include "lexer/symbol_kinds.h"

namespace {

using namespace std::string_literals;

struct Case {
    std::string input;
    lexed expected;
};

void expect_all(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(lex(c.input), c.expected) << "input: " << c.input;
}

TEST(CharTable, Classes) {
    init_char_table();
    const std::pair<const char*, int> groups[] = {
        {"azAZ_m", class_letter},
        {"0159", class_digit},
        {"\"'", class_quote},
        {"!#%&()*+,-./:;<=>[]^{|}", class_symbol},
        {" \t\r\n\v\f\x01\x7f$?@\\`~", class_other},
        {"\x80\xc3\xff", class_other},  // outside the table
    };
    for (const auto& [chars, cls] : groups)
        for (const char* c = chars; *c != '\0'; ++c)
            EXPECT_EQ(char_class_of(*c), cls) << "code " << int(static_cast<unsigned char>(*c));
    EXPECT_EQ(char_class_of('\0'), class_other);
    for (int code = 0; code < 128; ++code) EXPECT_NE(zor_char_table[code], 0) << code;
}

TEST(Lexer, WordsAndNumbers) {
    expect_all({
        {"", {}},
        {"  int x", {{W, "int"}, {W, "x"}}},
        {"3.14", {{N, "3"}, {S, "."}, {N, "14"}}},
        {"0x1F", {{N, "0"}, {W, "x1F"}}},
        {"12ab", {{N, "12"}, {W, "ab"}}},
        {"_z9 x1F", {{W, "_z9"}, {W, "x1F"}}},
        {"x1+2", {{W, "x1"}, {S, "+"}, {N, "2"}}},
        {"abc", {{W, "abc"}}},                      // word at the very end
        {"007", {{N, "007"}}},                      // number at the very end
        {"x$y", {{W, "x"}, {W, "y"}}},              // $ makes no token
        {"a\xc3\xa9z", {{W, "a"}, {W, "z"}}},       // bytes above 127 split words
        {"\t\r\n?@`~\\ k", {{W, "k"}}},
    });
}

TEST(Lexer, Strings) {
    expect_all({
        {"\"abc\"", {{Q, "\"abc\""}}},
        {"'\"\\'", {{Q, "'\"\\'"}}},                 // " before \ does not end it
        {"\"it's\"", {{Q, "\"it'"}, {W, "s"}, {Q, "\""}}},
        {"\"s\\\"t\"", {{Q, "\"s\\\""}, {W, "t"}, {Q, "\""}}},
        {"'x' y", {{Q, "'x'"}, {W, "y"}}},
        {"\"open", {{Q, "\"open"}}},                 // unterminated
        {"\"", {{Q, "\""}}},
        {"\"a\nb\"", {{Q, "\"a\nb\""}}},
    });
}

TEST(Lexer, Comments) {
    expect_all({
        {"a/b", {{W, "a"}, {S, "/"}, {W, "b"}}},
        {"a//b", {{W, "a"}, {C, "b"}}},
        {"a/*b*/c", {{W, "a"}, {C, "b"}, {W, "c"}}},
        {"/**/", {{C, ""}}},
        {"/* a * b */x", {{C, " a * b "}, {W, "x"}}},
        {"// note\ny", {{C, " note"}, {W, "y"}}},
        {"//\n", {{C, ""}}},
        {"// crlf\r\n", {{C, " crlf\r"}}},
        {"/* one\ntwo */", {{C, " one\ntwo "}}},
        {"/* open", {{C, " open"}}},                // unterminated
        {"/*", {{C, ""}}},
        {"/*/ x", {{C, "/ x"}}},                    // the opening * closes nothing
        {"x /", {{W, "x"}, {S, "/"}}},              // slash at the very end
        {"/*a**/", {{C, "a*"}}},
    });
}

TEST(Lexer, Symbols) {
    expect_all({
        {"a!=b", {{W, "a"}, {S, "!="}, {W, "b"}}},
        {"x---y", {{W, "x"}, {S, "--"}, {S, "-"}, {W, "y"}}},
        {"a>=>b", {{W, "a"}, {S, ">="}, {S, ">"}, {W, "b"}}},
        {"<<=", {{S, "<<"}, {S, "="}}},
        {"->*", {{S, "->"}, {S, "*"}}},
        {"...", {{S, "."}, {S, "."}, {S, "."}}},
        {"a,b", {{W, "a"}, {S, ","}, {W, "b"}}},
        {"+", {{S, "+"}}},
    });
}

TEST(Lexer, SymbolKinds) {
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"a!=b", {0, 17, 0}},
        {"x---y", {0, 10, 9, 0}},
        {"a>=>b", {0, 4, 3, 0}},
        {"<<=>>=", {40, 18, 39, 18}},
        {"->*", {15, 22}},
        {"%=##", {33, 18, 38, 38}},
        {",", {comma_kind}},
        {"+", {7}},                                  // pair start at the end
        {"/=", {25}},
    };
    for (const auto& [input, kinds] : cases) EXPECT_EQ(lex_kinds(input), kinds) << input;
}

TEST(Lexer, EveryKindReadsAsItsOwnSymbol) {
    std::set<int> kinds;
    for (const zor_symbol_kind& symbol : zor_symbol_kinds) {
        kinds.insert(symbol.kind);
        EXPECT_EQ(lex(symbol.text), (lexed{{S, symbol.text}})) << symbol.text;
        EXPECT_EQ(lex_kinds(symbol.text), std::vector<int>{symbol.kind}) << symbol.text;
    }
    EXPECT_EQ(kinds.size(), 41u);
    EXPECT_EQ(*kinds.begin(), 1);
    EXPECT_EQ(*kinds.rbegin(), 41);
}

std::unique_ptr<zor_token> make_token(int type) {
    switch (type) {
        case N: return std::make_unique<zor_int_token>();
        case W: return std::make_unique<zor_word_token>();
        case Q: return std::make_unique<zor_string_token>();
        case S: return std::make_unique<zor_special_token>();
        default: return std::make_unique<zor_comment_token>();
    }
}

TEST(Lexer, ReadersStopRightAfterTheirToken) {
    init_char_table();
    struct Row { int type; const char* input; const char* text; char next; };
    const Row rows[] = {
        {W, "ab+", "ab", '+'},   {N, "12a", "12", 'a'},     {Q, "\"q\"z", "\"q\"", 'z'},
        {C, "//c\nw", "c", 'w'}, {C, "/*c*/w", "c", 'w'},   {S, "+=w", "+=", 'w'},
        {S, "<<<", "<<", '<'},   {W, "z", "z", '\0'},       {C, "/", "", '\0'},
    };
    for (const Row& row : rows) {
        zor_scanner in(row.input);
        in.get();  // the first character, as the tokenizer takes it
        const auto token = make_token(row.type);
        token->read(in);
        EXPECT_EQ(token->text, row.text) << row.input;
        EXPECT_EQ(in.peek(), row.next) << row.input;
        EXPECT_EQ(token->type, row.type) << row.input;
    }
}

}  // namespace

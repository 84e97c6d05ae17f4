#include <gtest/gtest.h>

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
        {"007", {{N, "007"}}},                 // number at the very end
        {"x$y", {{W, "x"}, {W, "y"}}},         // $ makes no token
        {"a\xc3\xa9z", {{W, "a"}, {W, "z"}}},  // bytes above 127 split words
    });
}

TEST(Lexer, Strings) {
    expect_all({
        {"\"abc\"", {{Q, "\"abc\""}}},
        {"'\"\\'", {{Q, "'\"\\'"}}},  // " before \ does not end it
        {"\"it's\"", {{Q, "\"it'"}, {W, "s"}, {Q, "\""}}},
        {"\"s\\\"t\"", {{Q, "\"s\\\""}, {W, "t"}, {Q, "\""}}},
        {"\"open", {{Q, "\"open"}}},  // unterminated
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
        {"// crlf\r\n", {{C, " crlf\r"}}},
        {"/* one\ntwo */", {{C, " one\ntwo "}}},
        {"/* open", {{C, " open"}}},    // unterminated
        {"/*/ x", {{C, "/ x"}}},        // the opening * closes nothing
        {"x /", {{W, "x"}, {S, "/"}}},  // slash at the very end
    });
}

TEST(Lexer, SymbolsAndTheirKinds) {
    // Words and numbers among the symbols have kind 0, as does the comma.
    const std::pair<const char*, std::vector<std::pair<std::string, int>>> cases[] = {
        {"a!=b", {{"a", 0}, {"!=", 17}, {"b", 0}}},
        {"x---y", {{"x", 0}, {"--", 10}, {"-", 9}, {"y", 0}}},
        {"a>=>b", {{"a", 0}, {">=", 4}, {">", 3}, {"b", 0}}},
        {"<<=>>=", {{"<<", 40}, {"=", 18}, {">>", 39}, {"=", 18}}},
        {"->*...", {{"->", 15}, {"*", 22}, {".", 30}, {".", 30}, {".", 30}}},
        {"%=##", {{"%", 33}, {"=", 18}, {"#", 38}, {"#", 38}}},
        {"a,1", {{"a", 0}, {",", comma_kind}, {"1", 0}}},
        {"/=+", {{"/=", 25}, {"+", 7}}},  // a pair start at the very end
    };
    for (const auto& [input, expected] : cases) {
        std::vector<std::pair<std::string, int>> seen;
        for (const zor_token* token : lex_tokens(input)) seen.emplace_back(token->text, token->kind);
        EXPECT_EQ(seen, expected) << input;
    }
}

TEST(Lexer, EveryKindReadsAsItsOwnSymbol) {
    std::set<int> kinds;
    for (const zor_symbol_kind& symbol : zor_symbol_kinds) {
        kinds.insert(symbol.kind);
        const zor_token_list& tokens = lex_tokens(symbol.text);
        ASSERT_EQ(tokens.size(), 1u) << symbol.text;
        EXPECT_EQ(tokens[0]->type, S);
        EXPECT_EQ(tokens[0]->text, symbol.text);
        EXPECT_EQ(tokens[0]->kind, symbol.kind);
    }
    EXPECT_EQ(kinds.size(), 41u);
    EXPECT_EQ(*kinds.begin(), 1);
    EXPECT_EQ(*kinds.rbegin(), 41);
}

}  // namespace

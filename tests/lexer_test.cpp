#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <numeric>

#include "lex.h"

namespace {

// The class values are part of the table's definition: 1 letter, 2 digit,
// 3 quote, 6 symbol, 7 other.
TEST(CharTable, Classes) {
    init_char_table();
    const std::pair<const char*, int> groups[] = {
        {"azAZ_", 1},
        {"09", 2},
        {"\"'", 3},
        {"!#%&()*+,-./:;<=>[]^{|}", 6},
        {" \t\r\n\x01\x7f$?@\\`~\x80\xff", 7},
    };
    for (const auto& [chars, cls] : groups)
        for (const char* c = chars; *c != '\0'; ++c) EXPECT_EQ(char_class_of(*c), cls) << int(*c);
}

// The rules' telling cases; the differential test covers the breadth.
TEST(Lexer, SplitsAsTheRulesSay) {
    const std::pair<std::string, lexed> cases[] = {
        {"", {}},
        {"  int x", {{W, "int"}, {W, "x"}}},
        {"3.14 0x1F", {{N, "3"}, {S, "."}, {N, "14"}, {N, "0"}, {W, "x1F"}}},
        {"_z9 x1+2", {{W, "_z9"}, {W, "x1"}, {S, "+"}, {N, "2"}}},
        {"x$y a\xc3\xa9z", {{W, "x"}, {W, "y"}, {W, "a"}, {W, "z"}}},  // separators make no token
        {"'\"\\'", {{Q, "'\"\\'"}}},  // a quote before a backslash does not end it
        {"\"it's\"", {{Q, "\"it'"}, {W, "s"}, {Q, "\""}}},
        {"\"s\\\"t\"", {{Q, "\"s\\\""}, {W, "t"}, {Q, "\""}}},
        {"\"open", {{Q, "\"open"}}},
        {"a/b a//b", {{W, "a"}, {S, "/"}, {W, "b"}, {W, "a"}, {C, "b"}}},
        {"/**//* a * b */x", {{C, ""}, {C, " a * b "}, {W, "x"}}},
        {"// crlf\r\ny", {{C, " crlf\r"}, {W, "y"}}},
        {"/* one\ntwo", {{C, " one\ntwo"}}},  // unterminated
        {"/*/ x /", {{C, "/ x /"}}},          // the opening * closes nothing
        {"x /", {{W, "x"}, {S, "/"}}},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(lex(input), expected) << input;
}

TEST(Lexer, SymbolsAndTheirKinds) {
    // Words and numbers among the symbols have kind 0, as does the comma.
    const std::pair<const char*, std::vector<std::pair<std::string, int>>> cases[] = {
        {"a!=b", {{"a", 0}, {"!=", 17}, {"b", 0}}},
        {"x---y", {{"x", 0}, {"--", 10}, {"-", 9}, {"y", 0}}},
        {"a>=><<=", {{"a", 0}, {">=", 4}, {">", 3}, {"<<", 40}, {"=", 18}}},
        {"->*%=", {{"->", 15}, {"*", 22}, {"%", 33}, {"=", 18}}},
        {"a,/=+", {{"a", 0}, {",", 0}, {"/=", 25}, {"+", 7}}},  // the comma has no kind; + at the very end
    };
    for (const auto& [input, expected] : cases) {
        std::vector<std::pair<std::string, int>> seen;
        for (const zor_token* token : lex_tokens(input)) seen.emplace_back(token->text, token->kind);
        EXPECT_EQ(seen, expected) << input;
    }
}

TEST(Lexer, EverySymbolHasItsKind) {
    // The 41 symbols in the order of their kinds, 1 to 41.
    const std::string symbols =
        "( ) > >= < <= + ++ - -- & && | || -> ! != = == += -= "
        "* *= / /= &= |= ; : . ^ ^= % [ ] { } # >> << ::";
    std::string texts;
    std::vector<int> kinds;
    for (const zor_token* token : lex_tokens(symbols)) {
        texts += (texts.empty() ? "" : " ") + std::string(token->text);
        kinds.push_back(token->kind);
    }
    std::vector<int> expected(41);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(texts, symbols);
    EXPECT_EQ(kinds, expected);
}

// Tokens of a large text fill many blocks of storage: each keeps a place of
// its own, aligned for its class.
TEST(Lexer, ManyTokensKeepTheirOwnStorage) {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += "w" + std::to_string(i) + " ";
    const zor_token_list& tokens = lex_tokens(text);
    ASSERT_EQ(tokens.size(), 100000u);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        ASSERT_EQ(tokens[i]->text, "w" + std::to_string(i));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(tokens[i]) % alignof(std::max_align_t), 0u);
    }
}

}  // namespace

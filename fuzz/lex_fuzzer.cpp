// Lexes arbitrary bytes as a run would, writes both reports into memory and
// checks properties that any correct split must have: the tokens, with the
// separators and comment delimiters between them, rebuild the input exactly,
// and each token has its type's shape.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>

#include "input/scanner.h"
#include "lexer/char_table.h"
#include "lexer/token.h"
#include "lexer/tokenizer.h"
#include "report/html_report.h"
#include "report/listing.h"

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

// Separators by their own definition, independent of the character table.
bool is_separator(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 128 || !(std::isalnum(u) || c == '_' || c == '"' || c == '\'' ||
                         std::strchr("!#%&()*+,-./:;<=>[]^{|}", c) != nullptr);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_char(char c) {
    return is_digit(c) || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_symbol_char(char c) { return c != '\0' && std::strchr("!#%&()*+,-./:;<=>[]^{|}", c) != nullptr; }
bool is_quote(char c) { return c == '"' || c == '\''; }

// A String opens with a quote and ends at the first quote that no backslash
// follows, or else at the end of the text.
bool is_string(std::string_view body, char next) {
    for (std::size_t i = 1; i < body.size(); ++i) {
        const char after = i + 1 < body.size() ? body[i + 1] : next;
        if (is_quote(body[i]) && after != '\\') return i + 1 == body.size();
    }
    return next == '\0';
}

// A Word, Number, Symbol or String of its type's shape, and a Word or Number
// as long as its run: the rebuild alone would let a reader swallow or leave
// a character that the next token then accounts for.
void check_shape(const zor_token& token, char next) {
    const std::string_view body = token.text;
    const auto all = [&body](bool (*is)(char)) { return std::all_of(body.begin(), body.end(), is); };
    switch (token.type) {
        case type_word: check(!is_digit(body[0]) && all(is_word_char) && !is_word_char(next)); break;
        case type_number: check(all(is_digit) && !is_digit(next)); break;
        case type_symbol: check(body.size() <= 2 && all(is_symbol_char)); break;
        case type_string: check(is_quote(body[0]) && is_string(body, next)); break;
        default: check(false);
    }
}

void check_tokens_rebuild(const std::string& text) {
    std::size_t at = 0;
    const auto skip_separators = [&] {
        while (at < text.size() && is_separator(text[at])) ++at;
    };
    for (const zor_token* token : token_list) {
        skip_separators();
        const std::string_view body = token->text;
        if (token->type == type_comment) {
            const bool block = text.compare(at, 2, "/*") == 0;
            check(block || text.compare(at, 2, "//") == 0);
            at += 2;
            check(text.compare(at, body.size(), body) == 0);
            at += body.size();
            const std::size_t closer = block ? 2 : 1;
            if (at < text.size()) check(text.compare(at, closer, block ? "*/" : "\n") == 0);
            at = std::min(text.size(), at + closer);
        } else {
            check(!body.empty());
            check(text.compare(at, body.size(), body) == 0);
            at += body.size();
            check_shape(*token, at < text.size() ? text[at] : '\0');
        }
    }
    skip_separators();
    check(at == text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));  // a loaded text ends at its first NUL
    init_char_table();
    release_token_list();
    zor_scanner scanner(text);
    tokenize(scanner);
    check(scanner.peek() == '\0');
    check_tokens_rebuild(text);
    std::ostringstream reports;  // for the sanitizers: their content is the differential test's
    print_listing(reports, token_list);
    write_report(reports, token_list);
    release_token_list();
    return 0;
}

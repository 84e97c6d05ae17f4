// Lexes arbitrary bytes as a run would and writes both reports into memory,
// for the sanitizers to watch, and checks what any correct split must give:
// the tokens, with the separators and comment delimiters between them,
// rebuild the input exactly. Where each token ends is the differential
// test's to check, against the independent model.
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

// Takes prefix off the front of rest, if it stands there.
bool take(std::string_view& rest, std::string_view prefix) {
    if (rest.substr(0, prefix.size()) != prefix) return false;
    rest.remove_prefix(prefix.size());
    return true;
}

void check_tokens_rebuild(std::string_view rest) {
    const auto skip_separators = [&] {
        while (!rest.empty() && is_separator(rest[0])) rest.remove_prefix(1);
    };
    for (const zor_token* token : token_list) {
        skip_separators();
        if (token->type != type_comment) {
            check(!token->text.empty() && !is_separator(token->text[0]) && take(rest, token->text));
            continue;
        }
        const bool block = take(rest, "/*");
        check((block || take(rest, "//")) && take(rest, token->text));
        check(rest.empty() || take(rest, block ? "*/" : "\n"));  // unterminated: at the end
    }
    skip_separators();
    check(rest.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));  // a loaded text ends at its first NUL
    init_char_table();
    release_token_list();
    zor_scanner scanner(text);
    tokenize(scanner);
    check_tokens_rebuild(text);
    std::ostringstream reports;  // for the sanitizers: their content is the differential test's
    print_listing(reports, token_list);
    write_report(reports, token_list);
    return 0;
}

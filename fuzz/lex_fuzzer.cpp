// Lexes arbitrary bytes as a run would and writes both reports into memory,
// for the sanitizers to watch, and checks what any correct split must give:
// the tokens, with the separators and comment delimiters between them,
// rebuild the input exactly. Where each token ends is the differential
// test's to check, against the independent model.
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
            check(!body.empty() && !is_separator(body[0]));
            check(text.compare(at, body.size(), body) == 0);
            at += body.size();
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

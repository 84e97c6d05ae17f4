// Lexes arbitrary bytes as a run would and writes both reports into memory,
// for the sanitizers to watch. What the tokens must be is the differential
// test's to check, against the independent model.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "input/scanner.h"
#include "lexer/char_table.h"
#include "lexer/token.h"
#include "lexer/tokenizer.h"
#include "report/html_report.h"
#include "report/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));  // a loaded text ends at its first NUL
    init_char_table();
    release_token_list();
    zor_scanner scanner(text);
    tokenize(scanner);
    std::ostringstream reports;
    print_listing(reports, token_list);
    write_report(reports, token_list);
    return 0;
}

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "driver/page_file.h"
#include "driver/platform.h"
#include "input/scanner.h"
#include "input/source_file.h"
#include "lexer/char_table.h"
#include "lexer/token.h"
#include "lexer/tokenizer.h"
#include "report/html_report.h"
#include "report/listing.h"

namespace {

// The scanner's own copy of the text. A text that fits in memory once but
// not twice counts as too large to load, like one that does not fit at all.
std::string scanner_copy_of(const zor_source_file& source) {
    try {
        return source.get_text();
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

}  // namespace

// quarnel -c PATH: lists the tokens of PATH on standard output and writes
// them as a table to PATH.html. Every other command line does nothing. The
// exit status is always 0, and running out of memory midway ends the run
// quietly rather than with an abort, leaving the previous page in place.
int main(int argc, char* argv[]) try {
    if (argc != 3 || std::strcmp(argv[1], "-c") != 0) return 0;
    // Where memory is too short even to throw bad_alloc, end as quietly.
    std::set_terminate(platform::end_quietly);
#ifdef SIGPIPE
    // A reader that quits early (quarnel ... | head) must not cost the user
    // the page: a failed console write just ends the listing.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    // A page past the file-size limit fails like one on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    const std::string source_path = argv[2];

    // Declared in this order so that they are released in the reverse one:
    // report, scanner, source file.
    zor_source_file source(source_path);
    zor_scanner scanner(scanner_copy_of(source));
    init_char_table();
    std::atexit(release_token_list);  // the tokens stay in token_list until the process ends
    tokenize(scanner);

    print_listing(std::cout, token_list);
    std::cout.flush();  // the listing is complete before the page exists

    zor_page_file report(source_path + ".html");
    if (report.is_open()) {
        write_report(report.stream(), token_list);
        report.commit();
    }
    return 0;
} catch (const std::bad_alloc&) {
    return 0;
}

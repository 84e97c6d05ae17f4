#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "driver/page_file.h"
#include "input/scanner.h"
#include "input/source_file.h"
#include "lexer/char_table.h"
#include "lexer/token.h"
#include "lexer/tokenizer.h"
#include "platform/platform.h"
#include "report/html_report.h"
#include "report/listing.h"

// quarnel -c PATH: lists the tokens of PATH on standard output and writes
// them as a table to PATH.html. Every other command line does nothing. The
// exit status is always 0, and running out of memory midway ends the run
// quietly rather than with an abort, leaving the previous page in place: a
// source too large to hold is not a source without tokens.
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

    // The page is dated just before this moment, so that a source changed
    // after it was read, even within the same tick of the file system's
    // clock, is newer than its page, and a make rule rebuilds the page.
    const auto source_read_at = platform::file_system_now() - std::chrono::system_clock::duration(1);

    // Declared in this order so that they are released in the reverse one:
    // report, scanner, source file.
    zor_source_file source(source_path);
    zor_scanner scanner(source.get_text());
    init_char_table();
    std::atexit(release_token_list);  // the tokens stay in token_list until the process ends
    tokenize(scanner);

    print_listing(std::cout, token_list);
    std::cout.flush();  // the listing is complete before the page exists

    zor_page_file report(source_path + ".html", source_read_at);
    if (report.is_open()) {
        write_report(report.stream(), token_list);
        report.commit();
    }
    return 0;
} catch (const std::exception&) {  // bad_alloc, or length_error for a size no string can hold
    return 0;
}

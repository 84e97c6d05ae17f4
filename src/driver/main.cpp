#include <cstdlib>
#include <cstring>
#include <exception>
#include <ostream>
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
// exit status is always 0, and a source that cannot be read through (memory
// too short to hold it, a read error) ends the run quietly before its
// listing, leaving the previous page in place: its tokens are unknown, not
// absent.
int main(int argc, char* argv[]) try {
    if (argc != 3 || std::strcmp(argv[1], "-c") != 0) return 0;
    // Where memory is too short even to throw bad_alloc, end as quietly.
    std::set_terminate(platform::end_quietly);
    platform::prepare_signals();
    const std::string source_path = argv[2];

    // Made before the source is read: the page's folder, which cannot then
    // move under the run, and which file the source is and when it was read.
    zor_page_file report(source_path);
    zor_source_file source(source_path);
    zor_scanner scanner(source.get_text());
    init_char_table();
    std::atexit(release_token_list);  // the tokens stay in token_list until the process ends
    tokenize(scanner);

    // Standard output written whole: where it is full, the listing waits rather than be cut short.
    platform::standard_output whole;
    std::ostream console(&whole);
    print_listing(console, token_list);  // complete before the page's file is made

    if (report.open()) {
        write_report(report.stream(), token_list);
        report.commit();
    }
    return 0;
} catch (const std::exception&) {  // bad_alloc, length_error for a size no string can hold, a read error
    return 0;
}

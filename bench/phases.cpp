// Where a run's time and page faults go: the run of quarnel -c PATH, phase
// by phase (load, copy, lex, list, page), with the wall, user and system
// time and the minor page faults of each, printed to standard error.
//
// Built with -DQUARNEL_BENCH=ON; run from the build folder:
//   ./quarnel_phases SOURCE > LISTING
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "driver/page_file.h"
#include "input/scanner.h"
#include "input/source_file.h"
#include "lexer/char_table.h"
#include "lexer/token.h"
#include "lexer/tokenizer.h"
#include "report/html_report.h"
#include "report/listing.h"

namespace {

struct sample {
    std::chrono::steady_clock::time_point wall;
    rusage usage;
};

sample now() {
    sample taken{std::chrono::steady_clock::now(), {}};
    getrusage(RUSAGE_SELF, &taken.usage);
    return taken;
}

double ms(timeval t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

void report(const char* phase, const sample& from, const sample& to) {
    std::fprintf(stderr, "%-5s wall %7.1f ms  user %6.1f  sys %6.1f  faults %7ld\n", phase,
                 std::chrono::duration<double, std::milli>(to.wall - from.wall).count(),
                 ms(to.usage.ru_utime) - ms(from.usage.ru_utime),
                 ms(to.usage.ru_stime) - ms(from.usage.ru_stime), to.usage.ru_minflt - from.usage.ru_minflt);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) return 2;
    const std::string path = argv[1];
    const sample start = now();
    zor_page_file page(path);
    zor_source_file source(path);
    const sample loaded = now();
    zor_scanner scanner(source.get_text());
    const sample copied = now();
    init_char_table();
    tokenize(scanner);
    const sample lexed = now();
    print_listing(std::cout, token_list);
    std::cout.flush();
    const sample listed = now();
    if (page.open()) {
        write_report(page.stream(), token_list);
        page.commit();
    }
    const sample paged = now();
    report("load", start, loaded);
    report("copy", loaded, copied);
    report("lex", copied, lexed);
    report("list", lexed, listed);
    report("page", listed, paged);
    report("all", start, paged);
    std::fprintf(stderr, "peak %.1f MB, %zu tokens\n", paged.usage.ru_maxrss / 1e3, token_list.size());
}

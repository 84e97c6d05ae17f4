#include <gtest/gtest.h>

#include <array>
#include <string>

#include "input/scanner.h"

namespace {

// Runs a script of scanner operations and records what each one gives:
// g get, p peek, v previous (the character, '.' for NUL), u unget (the
// position afterwards, as a digit).
std::string run_script(const std::string& text, const std::string& script) {
    zor_scanner in(text);
    std::string seen;
    for (const char op : script) {
        if (op == 'u') in.unget();
        const char c = op == 'g'   ? in.get()
                       : op == 'p' ? in.peek()
                       : op == 'v' ? in.previous()
                                   : static_cast<char>('0' + in.position());
        seen += c == '\0' ? '.' : c;
    }
    return seen;
}

TEST(Scanner, OperationsAtStartMiddleAndEnd) {
    const std::array<const char*, 3> cases[] = {
        // text, script, what it gives
        {"", "ugpvgv", "0....."},                 // empty text: all NUL; unget at the start stays there
        {"xyz", "vpgugvgpvugp", ".xx0xxyzy1yz"},  // get then unget restores the start, and the middle
        {"ab", "gggvgpv", "ab.b..b"},             // past the end get stays NUL
    };
    for (const auto& [text, script, expected] : cases)
        EXPECT_EQ(run_script(text, script), expected) << script;
}

}  // namespace

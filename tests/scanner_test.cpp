#include <gtest/gtest.h>

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
        char c = '?';
        switch (op) {
            case 'g': c = in.get(); break;
            case 'p': c = in.peek(); break;
            case 'v': c = in.previous(); break;
            case 'u':
                in.unget();
                c = static_cast<char>('0' + in.position());
                break;
        }
        seen += c == '\0' ? '.' : c;
    }
    return seen;
}

TEST(Scanner, OperationsAtStartMiddleAndEnd) {
    struct Case {
        const char* text;
        const char* script;
        const char* expected;
    };
    const Case cases[] = {
        {"", "gpvgv", "....."},         // empty text: all NUL
        {"ab", "vpgpv", ".aaba"},       // at the start
        {"xyz", "ggpvugp", "xyzy1yz"},  // in the middle, unget
        {"ab", "gggvgpv", "ab.b..b"},   // past the end get stays NUL
        {"ab", "gugvu", "a0aa0"},       // get then unget restores the start
    };
    for (const Case& c : cases)
        EXPECT_EQ(run_script(c.text, c.script), c.expected) << c.text << " / " << c.script;
}

}  // namespace

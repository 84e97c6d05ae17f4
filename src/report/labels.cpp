#include "report/labels.h"

#include "lexer/token.h"

namespace {

// Indexed by token type; entry 0 stands for every type outside 1 to 5.
const zor_type_labels type_labels[] = {
    {"", ""},
    {"Number", "<font color=\"#BD0000\">Number</font>"},
    {"Word", "<b>Word</b>"},
    {"String", "<font color=\"blue\">String</font>"},
    {"Symbol", "<font color=\"orange\">Symbol</font>"},
    {"Comment", "<font color=\"green\">Comment</font>"},
};

static_assert(sizeof type_labels / sizeof type_labels[0] == type_comment + 1,
              "one label pair per token type");

}  // namespace

const zor_type_labels& labels_of(std::int32_t type) {
    return type >= type_number && type <= type_comment ? type_labels[type] : type_labels[0];
}

#include "report/labels.h"

#include "lexer/token.h"

namespace {

const zor_type_labels type_labels[label_slots] = {
    {"", ""},
    {"Number", "<font color=\"#BD0000\">Number</font>"},
    {"Word", "<b>Word</b>"},
    {"String", "<font color=\"blue\">String</font>"},
    {"Symbol", "<font color=\"orange\">Symbol</font>"},
    {"Comment", "<font color=\"green\">Comment</font>"},
};

static_assert(label_slots == type_comment + 1, "one label pair per token type");

}  // namespace

const zor_type_labels& labels_of(std::int32_t type) { return type_labels[label_slot(type)]; }

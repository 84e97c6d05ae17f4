#include "report/listing.h"

#include <array>
#include <string>

#include "report/block_writer.h"
#include "report/labels.h"

void print_listing(std::ostream& out, const zor_token_list& tokens) {
    // " : Label ) ->" for each slot, so that an entry is written in few pieces.
    std::array<std::string, label_slots> middles;
    for (std::size_t slot = 0; slot < label_slots; ++slot)
        middles[slot] = " : " + std::string(labels_of(static_cast<std::int32_t>(slot)).console) + " ) ->";

    block_writer writer(out);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        writer.append("(");
        writer.append_number(i);
        writer.append(middles[label_slot(tokens[i]->type)]);
        writer.append(tokens[i]->text);
        writer.append("\n");
        if (!writer.good()) return;  // nobody reads the rest
    }
}

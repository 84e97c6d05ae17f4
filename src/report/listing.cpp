#include "report/listing.h"

#include <array>
#include <string>

#include "report/block_writer.h"
#include "report/labels.h"

void print_listing(std::ostream& out, const zor_token_list& tokens) {
    // "Label ) ->" for each slot, so that an entry is written in few pieces.
    std::array<padded_piece, label_slots> middles;
    for (std::size_t slot = 0; slot < label_slots; ++slot)
        middles[slot] =
            padded_piece(std::string(labels_of(static_cast<std::int32_t>(slot)).console) + " ) ->");

    block_writer writer(out);
    numbering number("(", " : ");
    for (const zor_token* token : tokens) {
        const padded_piece& middle = middles[label_slot(token->type)];
        const std::size_t bound = number.framed().size() + middle.text().size() + token->text.size() + 1;
        writer.write_entry(bound, [&](auto emit) {
            emit(number.framed());
            number.step();
            emit(middle);
            emit(token->text);
            emit("\n");
        });
        if (!writer.good()) return;  // nobody reads the rest
    }
}

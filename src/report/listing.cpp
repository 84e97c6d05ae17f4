#include "report/listing.h"

#include "report/labels.h"
#include "report/output_buffer.h"

void print_listing(std::ostream& stream, const zor_token_list& tokens) {
    output_buffer out(stream);
    std::size_t number = 0;
    for (const zor_token* token : tokens) {
        out.append("(", number++, " : ", labels_of(token->type).console, " ) ->", token->text, "\n");
        if (!out.good()) return;  // nobody reads the rest
    }
}

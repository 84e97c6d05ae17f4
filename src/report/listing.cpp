#include "report/listing.h"

#include "report/labels.h"

void print_listing(std::ostream& out, const zor_token_list& tokens) {
    for (std::size_t i = 0; i < tokens.size() && out; ++i) {
        out << '(' << i << " : " << labels_of(tokens[i]->type).console << " ) ->"
            << tokens[i]->text << '\n';
    }
}

#include "report/html_report.h"

#include <array>

#include "report/block_writer.h"
#include "report/labels.h"

namespace {

// Copies text to out in runs between the characters that need an entity.
template <typename Sink>
void append_escaped(Sink& out, std::string_view text) {
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '<' && c != '>') continue;
        out.append(text.substr(run_start, i - run_start));
        out.append(c == '<' ? std::string_view("&lt;") : std::string_view("&gt;"));
        run_start = i + 1;
    }
    out.append(text.substr(run_start));
}

}  // namespace

std::string escape(std::string text) {
    std::string escaped;
    escaped.reserve(text.size());
    append_escaped(escaped, text);
    return escaped;
}

std::ostream& write_report(std::ostream& out, const zor_token_list& tokens) {
    // "<TH>Label<TR>" for each slot: the fixed end of a row in one piece.
    std::array<std::string, label_slots> row_ends;
    for (std::size_t slot = 0; slot < label_slots; ++slot)
        row_ends[slot] = "<TH>" + std::string(labels_of(static_cast<std::int32_t>(slot)).html) + "<TR>";

    block_writer writer(out);
    writer.append("<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE>");
    writer.append(" <center>quarnel results: <br>");
    writer.append("<TABLE border=1>");
    writer.append("<TH>Token #<TH> Token <TH> Type <TR>");
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        writer.append("<TH>");
        writer.append_number(i);
        writer.append("<TH>");
        append_escaped(writer, tokens[i]->text);
        writer.append(row_ends[label_slot(tokens[i]->type)]);
    }
    writer.append("</TABLE></center>");
    writer.append("</PRE></BODY></HTML>");
    writer.flush();
    return out;
}

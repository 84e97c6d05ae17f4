#include "report/html_report.h"

#include "report/labels.h"

std::string escape(std::string text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        if (c == '<') escaped += "&lt;";
        else if (c == '>') escaped += "&gt;";
        else escaped += c;
    }
    return escaped;
}

std::ostream& write_report(std::ostream& out, const zor_token_list& tokens) {
    out << "<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE>"
        << " <center>quarnel results: <br>"
        << "<TABLE border=1>"
        << "<TH>Token #<TH> Token <TH> Type <TR>";
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        out << "<TH>" << i << "<TH>" << escape(tokens[i]->text) << "<TH>"
            << labels_of(tokens[i]->type).html << "<TR>";
    }
    return out << "</TABLE></center>"
               << "</PRE></BODY></HTML>";
}

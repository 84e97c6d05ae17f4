#pragma once
// The HTML page: a bordered table with one row per token (number, escaped
// text, coloured type label). Cells and rows are left unclosed and the page
// ends without a line feed; its readers rely on these exact bytes.

#include <ostream>
#include <string>

#include "lexer/token.h"

std::ostream& write_report(std::ostream& stream, const zor_token_list& tokens);

/// Replaces < and > by their entities; every other byte passes unchanged.
std::string escape(std::string text);

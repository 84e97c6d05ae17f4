#pragma once
// The console listing: one line "(N : Label ) ->text" per token, numbered
// from 0, with the token's text exactly as read.

#include <ostream>

#include "lexer/token.h"

void print_listing(std::ostream& stream, const zor_token_list& tokens);

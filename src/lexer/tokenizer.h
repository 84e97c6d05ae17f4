#pragma once
// Splits the scanner's whole text into tokens, appended to token_list in
// source order. Characters that start no token are dropped. Expects the
// character table to be initialised.

#include "input/scanner.h"

void tokenize(zor_scanner& in);

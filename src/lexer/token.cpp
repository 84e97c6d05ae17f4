#include "lexer/token.h"

zor_token_list token_list;

void release_token_list() {
    for (zor_token* token : token_list) delete token;
    zor_token_list().swap(token_list);
}

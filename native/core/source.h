// From the tokenizer's output to what the parser reads: comments and BOMs
// dropped, keyword and operator ids resolved, unterminated literals listed.
#pragma once
#include <vector>

#include "parse/parser.h"
#include "text.h"
#include "token.h"

namespace tarn {

// `toks` are tokens of `text` with positions assigned. `kw_of_canonical` maps
// a canonical-name id (Token::canonical) to the grammar keyword; ids that are
// -1 or outside the table give Kw::NONE. Appends to `out` and `unterminated`.
void build_parser_tokens(const Text& text, const std::vector<Token>& toks,
                         const std::vector<parse::Kw>& kw_of_canonical, std::vector<parse::PTok>& out,
                         std::vector<parse::Unterminated>& unterminated);

}  // namespace tarn

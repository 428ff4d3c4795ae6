// Invariants of a token list that the parser and the host rely on: tokens
// cover the text in order without overlap, gaps hold only blanks and line
// breaks, each kind has the shape of its rule (literals checked against the
// plain recursive reading), EOF closes the list at the text's length,
// positions agree with an independent line count, and the storage width of
// the text changes nothing.
#pragma once
#include <cstddef>
#include <vector>

#include "core/language.h"
#include "core/text.h"
#include "core/token.h"

namespace tarn::fuzz {

// `toks` is the output of tokenize_with_positions(t, lang); keyword ids must
// be below `canonical_count`.
void check_tokens(const Text& t, const Language& lang, size_t canonical_count, const std::vector<Token>& toks);

}  // namespace tarn::fuzz

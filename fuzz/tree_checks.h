// Walks a native syntax tree without recursion (its depth is the input's) and
// checks what the binding's conversion relies on: spans inside the text,
// required fields present and of the declared kind, string references naming
// existing tokens, a size proportional to the tokens, and no record covering
// text reached twice (the conversion copies a shared record once per path).
// Also yields a fingerprint for comparing trees.
#pragma once
#include <cstdint>
#include <vector>

#include "core/syntax/tree.h"

namespace tarn::fuzz {

struct TreeFacts {
  int64_t records = 0;
  std::vector<int64_t> fingerprint;  // kinds, spans, scalar fields, string references, in preorder
};

// `text_length` bounds every span; `token_count` bounds string references.
TreeFacts check_tree(const syntax::Node* root, int64_t text_length, int64_t token_count);

}  // namespace tarn::fuzz

// The canonical layout of a source (tarn fmt): indentation, spacing, blank
// lines and the line breaks that put each statement on its own line, decided
// on the tokens (comments included) with the syntax tree telling what the
// tokens alone cannot (where statements begin, which ";" closes what, which
// "-" is a sign, which "<" opens type arguments). It never reflows: the
// author's line breaks inside an expression stay.
#pragma once
#include <string>
#include <vector>

#include "language.h"
#include "parse/parser.h"
#include "syntax/tree.h"
#include "text.h"
#include "token.h"

namespace tarn::format {

struct Source {
  Text text;
  const std::vector<Token>* toks = nullptr;         // every token, EOF last, positions assigned
  const std::vector<parse::PTok>* ptoks = nullptr;  // the parser's view of them (no comments, no BOMs)
  const syntax::Module* module = nullptr;           // parsed from `ptoks` without any diagnostic
  const Language* language = nullptr;               // whose operators two glued tokens might form
};

// The text in the canonical layout, as code points. Linear in the text;
// recursion-free, so any nesting the parser accepted is fine.
std::u32string layout(const Source& src);

// Where `b` stops being the same program as `a`, checked on every layout
// that changed something: the same tokens apart from the blanks between them
// (comments compared line by line without the blanks around each line), the
// same tree apart from positions, and the same text in embedded blocks (the
// braces of query and resolvable literals, again line by line). `offset` is
// in `a`.
struct Difference {
  enum Kind { NONE, TOKENS, TREE, BLOCK } kind = NONE;
  int64_t offset = 0;
};
Difference compare(const Source& a, const Source& b);

}  // namespace tarn::format

// A text lexed for the native parser without any host object per token: the
// language tables are taken once under the interpreter lock, then the work
// itself touches no host object and may run on any thread.
#pragma once
#include <memory>
#include <vector>

#include "lexer_state.h"
#include "core/lexer.h"
#include "core/parse/parser.h"

namespace tarn::py {

// The current language definition with its canonical ids mapped to grammar
// keywords. Needs the lock; immutable afterwards, so threads may share it.
struct Lexicon {
  std::shared_ptr<const LanguageDefinition> def;
  std::vector<parse::Kw> kw_of_canonical;
  std::vector<bool> refused;  // canonical names that are not str
  bool any_refused = false;
};
bool current_lexicon(LexerState* lexer, Lexicon& out);

// The grammar keyword a canonical name stands for (Kw::NONE for any other
// object).
parse::Kw grammar_keyword(PyObject* canonical);

struct LexedText {
  std::vector<parse::PTok> toks;
  std::vector<parse::Unterminated> unterminated;
  Text text;  // what was lexed (the caller's string, borrowed): for the place of a report
  // A keyword token whose canonical name the definition refuses (not a str):
  // its id, for the caller to raise the type error tokenize raises; else -1.
  int32_t refused_canonical = -1;
};

// The parser's view of `text`. No host calls besides
// `poll`; false when the poll stopped it. Throws std::bad_alloc.
bool lex_for_parser(const Text& text, const Lexicon& lex, LexedText& out, TokenizePoll poll, void* context);

// The text of the RecursionError a parse past the nesting bound raises.
inline constexpr const char* kTooDeepFormat = "maximum nesting depth exceeded while parsing at line %S, column %S";

}  // namespace tarn::py

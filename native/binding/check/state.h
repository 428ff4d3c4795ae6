// What tarn._check keeps for its life: the services it calls and the lexer
// whose language tables it reads.
#pragma once
#include <vector>

#include "binding/common/lexed_text.h"
#include "binding/common/ref.h"

namespace tarn::py::check {

using parse::kMessageCount;

struct State {
  Ref i18n;                     // the translation service, called through the module object
  Ref lexer_module;             // keeps `lexer` alive
  LexerState* lexer = nullptr;  // its language cache
  Ref parser_module;            // its import registered the message catalogue
  Ref message_keys[kMessageCount];
  Ref key_too_deep;             // "tarn.nesting-too-deep"
  Ref s_t, s_kw;
  PyTypeObject* files_type = nullptr;  // _Files

  int traverse(visitproc visit, void* arg);
  void clear();
};

// The state of the module; nullptr with RuntimeError once it is torn down.
State* state_of_module(PyObject* module);

// How a native parse of one text ended.
enum class Outcome { DONE, TOO_DEEP, INTERRUPTED, NO_MEMORY, INDEX, FAILED };

// The parser's diagnostics of a lexed text, or where nesting passed the
// bound (`deep_token`). Calls nothing of the host but `poll`, so it may run
// without the interpreter lock.
struct Parsed {
  Outcome outcome = Outcome::DONE;
  std::vector<parse::Diag> diags;
  int64_t deep_token = -1;
};
// The records go into `arena`, which the caller may reset and reuse.
Parsed parse_lexed(const LexedText& lexed, syntax::Arena& arena, parse::Parser::PollFn poll, void* context);

// Sets the host error for an outcome other than DONE and TOO_DEEP (none for
// INTERRUPTED: the poll has set it).
void set_outcome_error(Outcome outcome);

// The translated-text-free parts of a nesting report: line and column of the
// token the parser stopped at, and its span (widened to one code point when
// empty, as every diagnostic is).
struct DeepPlace { int64_t start = 0, end = 0, line = 0, col = 0; };

// What turning a parse into entries needs besides the text, so the tokens
// can go as soon as the parse ends: the span of the token that fills each
// diagnostic's {kw} (start -1: none) and the place nesting passed the bound.
struct Findings {
  Outcome outcome = Outcome::DONE;
  std::vector<parse::Diag> diags;
  std::vector<std::pair<int64_t, int64_t>> kw_spans;
  DeepPlace deep;
};
Findings findings_of(const LexedText& lexed, Parsed&& parsed);

// The list of (start, end, key, message) entries, each message translated
// now through tarn.i18n.t. New reference.
PyObject* diagnostic_list(State& st, const Text& text, const Findings& found);

}  // namespace tarn::py::check

// What one native parse reads: the parser's view of the tokens, their texts
// as host strings, and where the tokens came from (for error positions).
#pragma once
#include <vector>

#include "state.h"

namespace tarn::py::parser {

// Token texts, each made into a host string at most once: the `value` of a
// host token (shared, not copied), or a slice of the source text.
class TokenTexts {
 public:
  TokenTexts() = default;
  TokenTexts(const TokenTexts&) = delete;
  TokenTexts& operator=(const TokenTexts&) = delete;
  ~TokenTexts();

  void reserve(size_t n) { items_.reserve(n); }
  void push(PyObject* value) { items_.push_back(value); }  // steals the reference
  // Texts cut from `text` at the spans of `toks`, on first use.
  void slice(PyObject* text, const std::vector<parse::PTok>* toks);
  // Borrowed; nullptr with an error set.
  PyObject* get(int64_t i);

 private:
  std::vector<PyObject*> items_;
  Ref text_;
  const std::vector<parse::PTok>* spans_ = nullptr;
};

struct ParseInput {
  std::vector<parse::PTok> toks;
  std::vector<parse::Unterminated> unterminated;
  TokenTexts texts;
  Ref token_list;                    // host tokens: item i is behind toks[i]
  Ref source_text;                   // text input: the str (for the place of a report)
};

// Reads a list of host tokens (each a tarn.lexer.Token, else the type error
// naming it). With drop_trivia, COMMENT and BOM tokens are left out of the
// view and unterminated literals and comments are listed, as _Parser(toks)
// and parse_module see them.
bool read_host_tokens(const State& st, PyObject* list, bool drop_trivia, ParseInput& in);
// Marks the keyword tokens outside the grammar's table whose canonical name
// is one of `names` (host strings) as stops for block_until.
bool mark_host_stops(ParseInput& in, const std::vector<PyObject*>& names);
// The unterminated literals and comments of a list of host tokens.
bool collect_unterminated(const State& st, PyObject* list, std::vector<parse::Unterminated>& out);
// Tokenizes `text` (a str) natively with the lexer's language tables: no
// Token objects are made.
bool read_text(const State& st, PyObject* text, ParseInput& in);

// Line and column of token i, for reports.
bool token_position(ParseInput& in, int64_t i, Ref& line, Ref& col);

}  // namespace tarn::py::parser

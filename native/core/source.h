// From the tokenizer's output to what the parser reads: comments and BOMs
// dropped, keyword and operator ids resolved, unterminated literals listed.
#pragma once
#include <vector>

#include "language.h"
#include "lexer.h"
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

// tokenize, line positions and build_parser_tokens in one pass, with the
// same result and without the intermediate token list (defined with the
// tokenizer, whose loop it shares). `poll` works as for tokenize: when it
// stops the pass, false is returned and the output is incomplete.
bool tokenize_for_parser(const Text& text, const Language& lang, const std::vector<parse::Kw>& kw_of_canonical,
                         std::vector<parse::PTok>& out, std::vector<parse::Unterminated>& unterminated,
                         TokenizePoll poll = nullptr, void* context = nullptr);

namespace detail {

inline bool may_be_unterminated(TokKind k) {
  return k == TokKind::STRING || k == TokKind::PATTERN || k == TokKind::COMMENT;
}

// The parser's token for a tokenizer token of the text `s`, filled into a
// default-made `p`.
template <class U>
[[gnu::always_inline]] inline void fill_parser_token(parse::PTok& p, const U* s, TokKind kind, int64_t start, int64_t end, int64_t line,
                       int64_t end_line, int32_t canonical, const std::vector<parse::Kw>& kw_of_canonical) {
  p.start = start, p.end = end, p.line = line, p.end_line = end_line;
  p.kind = kind;
  if (canonical >= 0 && static_cast<size_t>(canonical) < kw_of_canonical.size()) p.kw = kw_of_canonical[canonical];
  p.empty_text = end <= start;
  if (p.empty_text) return;
  const int64_t len = end - start;
  if (kind == TokKind::OP && static_cast<size_t>(len) <= parse::kMaxOperatorLength) {
    char32_t buf[parse::kMaxOperatorLength];
    for (int64_t k = 0; k < len; ++k) buf[k] = s[start + k];
    p.op = parse::operator_from_text(buf, static_cast<size_t>(len));
  }
  // Only keywords are ever asked (capitalised keywords may be names), and
  // the Unicode test is not free.
  if (kind == TokKind::KEYWORD) p.upper_first = is_upper(s[start]);
  p.ends_with_qmark = s[end - 1] == U'?';
}

}  // namespace detail
}  // namespace tarn

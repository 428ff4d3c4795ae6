#include "source.h"

#include <algorithm>

#include "lexer.h"

namespace tarn {
namespace {

// Longest grammar operator; a longer OP token cannot be one of them.
constexpr size_t kMaxGrammarOperator = std::max({
#define OPERATOR(N, T) sizeof(T) - 1,
#include "operators.def"
#undef OPERATOR
});

parse::Op grammar_operator(const Text& text, int64_t start, int64_t end) {
  const int64_t len = end - start;
  if (len <= 0 || static_cast<size_t>(len) > kMaxGrammarOperator) return parse::Op::NONE;
  char32_t buf[kMaxGrammarOperator];
  for (int64_t k = 0; k < len; ++k) buf[k] = text.at(start + k);
  return parse::operator_from_text(buf, static_cast<size_t>(len));
}

bool may_be_unterminated(TokKind k) {
  return k == TokKind::STRING || k == TokKind::PATTERN || k == TokKind::COMMENT;
}

}  // namespace

void build_parser_tokens(const Text& text, const std::vector<Token>& toks,
                         const std::vector<parse::Kw>& kw_of_canonical, std::vector<parse::PTok>& out,
                         std::vector<parse::Unterminated>& unterminated) {
  out.reserve(out.size() + toks.size());
  for (const Token& t : toks) {
    if (t.unterminated && may_be_unterminated(t.kind)) unterminated.push_back({t.start, t.end, t.kind});
    if (t.kind == TokKind::COMMENT || t.kind == TokKind::BOM) continue;
    parse::PTok p;
    p.start = t.start, p.end = t.end, p.line = t.line, p.end_line = t.end_line;
    p.kind = t.kind;
    if (t.canonical >= 0 && static_cast<size_t>(t.canonical) < kw_of_canonical.size())
      p.kw = kw_of_canonical[t.canonical];
    if (t.kind == TokKind::OP) p.op = grammar_operator(text, t.start, t.end);
    p.empty_text = t.end <= t.start;
    if (!p.empty_text) {
      p.upper_first = is_upper(text.at(t.start));
      p.ends_with_qmark = text.at(t.end - 1) == U'?';
    }
    out.push_back(p);
  }
}

}  // namespace tarn

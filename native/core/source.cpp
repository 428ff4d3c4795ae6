#include "source.h"

namespace tarn {

void build_parser_tokens(const Text& text, const std::vector<Token>& toks,
                         const std::vector<parse::Kw>& kw_of_canonical, std::vector<parse::PTok>& out,
                         std::vector<parse::Unterminated>& unterminated) {
  out.reserve(out.size() + toks.size());
  visit_text(text, [&](const auto* s) {
    for (const Token& t : toks) {
      if (t.unterminated && detail::may_be_unterminated(t.kind)) unterminated.push_back({t.start, t.end, t.kind});
      if (t.kind == TokKind::COMMENT || t.kind == TokKind::BOM) continue;
      detail::fill_parser_token(out.emplace_back(), s, t.kind, t.start, t.end, t.line, t.end_line, t.canonical,
                                kw_of_canonical);
    }
  });
}

}  // namespace tarn

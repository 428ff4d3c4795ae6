#include "lexed_text.h"

#include <string_view>
#include <unordered_map>

#include "core/lexer.h"
#include "core/linemap.h"
#include "core/source.h"

namespace tarn::py {

parse::Kw grammar_keyword(PyObject* canonical) {
  static const auto* const by_name = [] {
    auto* m = new std::unordered_map<std::string_view, parse::Kw>;
#define KEYWORD(N) m->emplace(#N, parse::Kw::N);
#include "core/keywords.def"
#undef KEYWORD
    return m;
  }();
  if (!PyUnicode_Check(canonical) || PyUnicode_READY(canonical) < 0 || !PyUnicode_IS_ASCII(canonical))
    return parse::Kw::NONE;
  std::string_view name(static_cast<const char*>(PyUnicode_DATA(canonical)),
                        static_cast<size_t>(PyUnicode_GET_LENGTH(canonical)));
  auto it = by_name->find(name);
  return it == by_name->end() ? parse::Kw::NONE : it->second;
}

bool current_lexicon(LexerState* lexer, Lexicon& out) {
  if (!lexer || !lexer->language) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.lexer has been torn down");
    return false;
  }
  out.def = lexer->language->current();
  if (!out.def) return false;
  const auto n = static_cast<size_t>(out.def->canonical_count());
  out.kw_of_canonical.assign(n, parse::Kw::NONE);
  out.refused.assign(n, false);
  out.any_refused = false;
  for (size_t id = 0; id < n; ++id) {
    PyObject* name = out.def->canonical_object(static_cast<int32_t>(id));
    if (PyUnicode_Check(name))
      out.kw_of_canonical[id] = grammar_keyword(name);
    else
      out.refused[id] = out.any_refused = true;
  }
  return true;
}

bool lex_for_parser(const Text& text, const Lexicon& lex, LexedText& out, TokenizePoll poll, void* context) {
  out.text = text;
  out.refused_canonical = -1;
  if (!lex.any_refused)
    return tokenize_for_parser(text, lex.def->language(), lex.kw_of_canonical, out.toks, out.unterminated, poll,
                               context);
  // Canonical names that are not str: the keyword tokens are looked at first.
  std::vector<tarn::Token> toks;
  toks.reserve(static_cast<size_t>(text.length / 4 + 16));
  if (!tarn::tokenize(text, lex.def->language(), toks, poll, context)) return false;
  for (const tarn::Token& t : toks)
    if (t.kind == TokKind::KEYWORD && t.canonical >= 0 && lex.refused[static_cast<size_t>(t.canonical)]) {
      out.refused_canonical = t.canonical;
      return true;
    }
  const std::vector<int64_t> starts = line_starts(text);
  assign_positions(toks, starts.data(), static_cast<int64_t>(starts.size()));
  build_parser_tokens(text, toks, lex.kw_of_canonical, out.toks, out.unterminated);
  return true;
}

}  // namespace tarn::py

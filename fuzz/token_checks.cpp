#include "token_checks.h"

#include <algorithm>
#include <string>

#include "core/lexer.h"
#include "core/linemap.h"
#include "core/source.h"
#include "reference_literals.h"
#include "support.h"

namespace tarn::fuzz {

namespace {

// Deepest interpolation nesting the recursive reference is run on.
constexpr int64_t kMaxReferenceDepth = 2000;

std::string where(const Token& t, size_t index) {
  return "token #" + std::to_string(index) + " kind " + std::to_string(static_cast<int>(t.kind)) + " [" +
         std::to_string(t.start) + ", " + std::to_string(t.end) + ")";
}

bool is_blank_or_break(char32_t c) { return c == U' ' || c == U'\t' || c == U'\r' || c == U'\n'; }
bool is_break(char32_t c) { return c == U'\r' || c == U'\n'; }
bool starts_with(const Text& t, int64_t i, std::u32string_view s) {
  if (i + static_cast<int64_t>(s.size()) > t.length) return false;
  for (size_t k = 0; k < s.size(); ++k)
    if (t.at(i + static_cast<int64_t>(k)) != s[k]) return false;
  return true;
}

// The first "*/" at or after `from`, or -1.
int64_t find_comment_close(const Text& t, int64_t from) {
  for (int64_t j = from; j + 1 < t.length; ++j)
    if (t.at(j) == U'*' && t.at(j + 1) == U'/') return j;
  return -1;
}

void check_comment(const Text& t, const Token& tok, size_t w) {
  FUZZ_CHECK(starts_with(t, tok.start, U"//") || starts_with(t, tok.start, U"/*"), where(tok, w));
  if (starts_with(t, tok.start, U"//")) {
    FUZZ_CHECK(tok.style == CommentStyle::LINE && !tok.unterminated, where(tok, w));
    for (int64_t k = tok.start; k < tok.end; ++k) FUZZ_CHECK(!is_break(t.at(k)), where(tok, w));
    FUZZ_CHECK(tok.end == t.length || is_break(t.at(tok.end)), where(tok, w));
    return;
  }
  const bool doc = starts_with(t, tok.start, U"/**") && !starts_with(t, tok.start, U"/**/");
  FUZZ_CHECK(tok.style == (doc ? CommentStyle::DOC : CommentStyle::BLOCK), where(tok, w));
  const int64_t close = find_comment_close(t, tok.start + 2);
  if (close < 0) FUZZ_CHECK(tok.unterminated && tok.end == t.length, where(tok, w));
  else FUZZ_CHECK(!tok.unterminated && tok.end == close + 2, where(tok, w));
}

// `shallow`: the recursive reference may run (a frame per nesting level).
void check_string(const Text& t, const Token& tok, size_t w, bool shallow) {
  FUZZ_CHECK(t.at(tok.start) == U'"', where(tok, w));
  if (!shallow) return;
  bool closed = false;
  const int64_t end = reference::string_literal_end(t, tok.start, closed);
  FUZZ_CHECK(end == tok.end, where(tok, w) + " reference end " + std::to_string(end));
  FUZZ_CHECK(closed == !tok.unterminated, where(tok, w));
}

void check_pattern(const Text& t, const Token& tok, size_t w) {
  FUZZ_CHECK(t.at(tok.start) == U'\'', where(tok, w));
  if (!tok.unterminated) FUZZ_CHECK(tok.end - tok.start >= 2 && t.at(tok.end - 1) == U'\'', where(tok, w));
  else FUZZ_CHECK(tok.end == t.length || is_break(t.at(tok.end)), where(tok, w));
}

void check_shape(const Text& t, const Language& lang, size_t canonical_count, const Token& tok, size_t w,
                 bool shallow) {
  const char32_t first = t.at(tok.start);
  FUZZ_CHECK(!tok.unterminated || tok.kind == TokKind::COMMENT || tok.kind == TokKind::STRING ||
                 tok.kind == TokKind::PATTERN, where(tok, w));
  FUZZ_CHECK((tok.style != CommentStyle::NONE) == (tok.kind == TokKind::COMMENT), where(tok, w));
  FUZZ_CHECK((tok.canonical >= 0) == (tok.kind == TokKind::KEYWORD), where(tok, w));
  switch (tok.kind) {
    case TokKind::BOM: FUZZ_CHECK(first == 0xFEFF && tok.end == tok.start + 1, where(tok, w)); break;
    case TokKind::COMMENT: check_comment(t, tok, w); break;
    case TokKind::STRING: check_string(t, tok, w, shallow); break;
    case TokKind::PATTERN: check_pattern(t, tok, w); break;
    case TokKind::NUMBER:
      FUZZ_CHECK(is_unicode_digit(first), where(tok, w));
      FUZZ_CHECK(tok.end == (first < 128 ? match_number(t, tok.start) : tok.start + 1), where(tok, w));
      break;
    case TokKind::KEYWORD:
      FUZZ_CHECK(static_cast<size_t>(tok.canonical) < canonical_count, where(tok, w));
      [[fallthrough]];
    case TokKind::IDENT:
      FUZZ_CHECK(!is_unicode_digit(first) && match_identifier(t, tok.start) == tok.end, where(tok, w));
      FUZZ_CHECK(lang.keyword(t, tok.start, tok.end) == tok.canonical, where(tok, w));
      break;
    case TokKind::OP:
      FUZZ_CHECK(lang.match_operator(t, tok.start) == tok.end - tok.start, where(tok, w));
      FUZZ_CHECK(!is_blank_or_break(first) && first != U'"' && first != U'\'' && first != 0xFEFF, where(tok, w));
      FUZZ_CHECK(!starts_with(t, tok.start, U"//") && !starts_with(t, tok.start, U"/*"), where(tok, w));
      FUZZ_CHECK(!is_unicode_digit(first) && match_identifier(t, tok.start) == tok.start, where(tok, w));
      break;
    case TokKind::UNKNOWN:
      FUZZ_CHECK(tok.end == tok.start + 1 && lang.match_operator(t, tok.start) == 0, where(tok, w));
      FUZZ_CHECK(!is_blank_or_break(first) && first != U'"' && first != U'\'' && first != 0xFEFF, where(tok, w));
      FUZZ_CHECK(!is_unicode_digit(first) && match_identifier(t, tok.start) == tok.start, where(tok, w));
      break;
    default: FUZZ_CHECK(false, where(tok, w) + ": a kind the tokenizer never makes");
  }
}

void check_coverage(const Text& t, const std::vector<Token>& toks) {
  FUZZ_CHECK(!toks.empty(), "no tokens");
  const Token& eof = toks.back();
  FUZZ_CHECK(eof.kind == TokKind::EOF_ && eof.start == t.length && eof.end == t.length, where(eof, toks.size() - 1));
  int64_t covered = 0;
  for (size_t i = 0; i + 1 < toks.size(); ++i) {
    const Token& tok = toks[i];
    const size_t w = i;
    FUZZ_CHECK(tok.kind != TokKind::EOF_, where(tok, w) + ": EOF before the end");
    FUZZ_CHECK(covered <= tok.start && tok.start < tok.end && tok.end <= t.length, where(tok, w));
    for (int64_t k = covered; k < tok.start; ++k) FUZZ_CHECK(is_blank_or_break(t.at(k)), where(tok, w) + ": gap holds text");
    covered = tok.end;
  }
  for (int64_t k = covered; k < t.length; ++k) FUZZ_CHECK(is_blank_or_break(t.at(k)), "text after the last token");
}

// Line starts counted here, independently of the line map.
std::vector<int64_t> count_line_starts(const Text& t) {
  std::vector<int64_t> starts{0};
  for (int64_t i = 0; i < t.length; ++i) {
    if (t.at(i) == U'\r' && i + 1 < t.length && t.at(i + 1) == U'\n') ++i;
    if (is_break(t.at(i))) starts.push_back(i + 1);
  }
  return starts;
}

void check_positions(const Text& t, const std::vector<Token>& toks) {
  const std::vector<int64_t> starts = count_line_starts(t);
  FUZZ_CHECK(line_starts(t) == starts, "line starts differ from an independent count");
  auto line_of = [&](int64_t offset) {
    return static_cast<int64_t>(std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin());
  };
  for (size_t i = 0; i < toks.size(); ++i) {
    const Token& tok = toks[i];
    const int64_t line = line_of(tok.start), end_line = line_of(tok.end);
    const size_t w = i;
    FUZZ_CHECK(tok.line == line && tok.col == tok.start - starts[line - 1] + 1, where(tok, w) + " start position");
    FUZZ_CHECK(tok.end_line == end_line && tok.end_col == tok.end - starts[end_line - 1] + 1, where(tok, w) + " end position");
    const LineCol a = linecol(starts.data(), static_cast<int64_t>(starts.size()), tok.start);
    FUZZ_CHECK(a.line == tok.line && a.col == tok.col, where(tok, w) + " linecol");
  }
}

bool same_tokens(const std::vector<Token>& a, const std::vector<Token>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const Token &x = a[i], &y = b[i];
    if (x.start != y.start || x.end != y.end || x.kind != y.kind || x.canonical != y.canonical ||
        x.style != y.style || x.unterminated != y.unterminated || x.line != y.line || x.col != y.col ||
        x.end_line != y.end_line || x.end_col != y.end_col)
      return false;
  }
  return true;
}

// The same code points stored four bytes wide give the same tokens.
void check_width_independence(const Text& t, const Language& lang, const std::vector<Token>& toks) {
  if (t.width == 4) return;
  std::vector<uint32_t> wide(static_cast<size_t>(t.length));
  for (int64_t i = 0; i < t.length; ++i) wide[static_cast<size_t>(i)] = t.at(i);
  const Text w{wide.data(), t.length, 4};
  FUZZ_CHECK(same_tokens(toks, tokenize_with_positions(w, lang)), "tokens depend on the storage width");
}

}  // namespace

// The parser's tokens made in one pass from the text equal those built from
// the token list (canonical ids spread over the grammar keywords).
void check_one_pass(const Text& t, const Language& lang, size_t canonical_count, const std::vector<Token>& toks) {
  constexpr int kKwCount = 0
#define KEYWORD(N) +1
#include "core/keywords.def"
#undef KEYWORD
      ;
  std::vector<parse::Kw> kws;
  for (size_t i = 0; i < canonical_count; ++i) kws.push_back(static_cast<parse::Kw>(static_cast<int>(i % (kKwCount + 1)) - 1));
  std::vector<parse::PTok> built, direct;
  std::vector<parse::Unterminated> built_open, direct_open;
  build_parser_tokens(t, toks, kws, built, built_open);
  tokenize_for_parser(t, lang, kws, direct, direct_open);
  FUZZ_CHECK(built.size() == direct.size() && built_open.size() == direct_open.size(), "one-pass token count");
  for (size_t i = 0; i < built.size(); ++i) {
    const parse::PTok &a = built[i], &b = direct[i];
    FUZZ_CHECK(a.start == b.start && a.end == b.end && a.line == b.line && a.end_line == b.end_line &&
                   a.kind == b.kind && a.kw == b.kw && a.op == b.op && a.upper_first == b.upper_first &&
                   a.ends_with_qmark == b.ends_with_qmark && a.empty_text == b.empty_text && a.host_stop == b.host_stop,
               "one-pass parser token #" + std::to_string(i));
  }
  for (size_t i = 0; i < built_open.size(); ++i)
    FUZZ_CHECK(built_open[i].start == direct_open[i].start && built_open[i].end == direct_open[i].end &&
                   built_open[i].kind == direct_open[i].kind,
               "one-pass unterminated #" + std::to_string(i));
}

void check_tokens(const Text& t, const Language& lang, size_t canonical_count, const std::vector<Token>& toks) {
  check_coverage(t, toks);
  const bool shallow = reference::interpolation_openers(t, 0) <= kMaxReferenceDepth;
  for (size_t i = 0; i + 1 < toks.size(); ++i) check_shape(t, lang, canonical_count, toks[i], i, shallow);
  check_positions(t, toks);
  check_width_independence(t, lang, toks);
  check_one_pass(t, lang, canonical_count, toks);
}

}  // namespace tarn::fuzz

// The whole front end on arbitrary text: tokens, the parser's view of them,
// parse_module. Beyond "no crash and it ends", each run checks that the tree
// and the diagnostics stay inside the text, that memory stays proportional to
// the input, and (on small inputs) that the memo of speculative rules changes
// nothing: with it off the parser runs the written, possibly exponential,
// algorithm and must reach the same tree and the same diagnostics.
#include <string>
#include <vector>

#include "core/source.h"
#include "support.h"
#include "tree_checks.h"

using namespace tarn;
using namespace tarn::parse;

namespace {

// Inputs the memo-less parser may take: few tokens, few openers of a
// speculative reading (each may double its work).
constexpr int64_t kMemoOffMaxTokens = 48;
constexpr int kMemoOffMaxOpeners = 8;
// Below this many tokens no input is deep enough for the nesting bound.
constexpr int64_t kMinTokensForTooDeep = 32;
// Arena bytes allowed per parser token (and a floor): generous, but a
// quadratic or exponential blow-up passes it at once.
constexpr size_t kArenaBytesPerToken = 16 * 1024;
constexpr size_t kArenaFloor = 1 << 20;

struct Outcome {
  bool too_deep = false;
  std::vector<Diag> diags;
  fuzz::TreeFacts tree;
};

Outcome parse_tokens(const Text& t, const std::vector<PTok>& toks, const std::vector<Unterminated>& unterminated,
                     bool memo) {
  Outcome out;
  Arena arena;
  Parser parser(toks.data(), static_cast<int64_t>(toks.size()), arena);
  parser.set_memo(memo);
  parser.set_unterminated(unterminated);
  const Module* module = nullptr;
  try {
    module = parser.parse_module();
  } catch (const NestingTooDeep& e) {
    FUZZ_CHECK(static_cast<int64_t>(toks.size()) >= kMinTokensForTooDeep,
               "nesting bound reached on " + std::to_string(toks.size()) + " tokens");
    FUZZ_CHECK(0 <= e.token && e.token < static_cast<int64_t>(toks.size()), "nesting error token");
    out.too_deep = true;
    return out;
  } catch (const TokenIndexError&) {
    FUZZ_CHECK(false, "a rule read outside the token list");
  }
  out.diags = parser.diags();
  out.tree = fuzz::check_tree(module, t.length, static_cast<int64_t>(toks.size()));
  FUZZ_CHECK(arena.bytes() <= kArenaFloor + kArenaBytesPerToken * toks.size(),
             "arena of " + std::to_string(arena.bytes()) + " bytes for " + std::to_string(toks.size()) + " tokens");
  return out;
}

void check_diagnostics(const Text& t, const std::vector<PTok>& toks, const std::vector<Diag>& diags) {
  for (size_t i = 0; i < diags.size(); ++i) {
    const Diag& d = diags[i];
    const std::string what = "diagnostic #" + std::to_string(i) + " " + message_key(d.msg) + " [" +
                             std::to_string(d.start) + ", " + std::to_string(d.end) + ")";
    FUZZ_CHECK(0 <= d.start && d.start < d.end && d.end <= t.length + 1, what);
    FUZZ_CHECK(d.kw_token >= -1 && d.kw_token < static_cast<int64_t>(toks.size()), what + " kw token");
    if (d.kw_token >= 0) FUZZ_CHECK(toks[d.kw_token].kind == TokKind::KEYWORD, what + " kw token kind");
  }
}

bool same_diags(const std::vector<Diag>& a, const std::vector<Diag>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].msg != b[i].msg || a[i].start != b[i].start || a[i].end != b[i].end || a[i].kw_token != b[i].kw_token)
      return false;
  return true;
}

bool small_enough_without_memo(const std::vector<PTok>& toks) {
  if (static_cast<int64_t>(toks.size()) > kMemoOffMaxTokens) return false;
  int openers = 0;
  for (const PTok& p : toks)
    openers += p.op == Op::LPAREN || p.op == Op::LBRACKET || p.op == Op::LBRACE || p.op == Op::LT;
  return openers <= kMemoOffMaxOpeners;
}

void check_parser_tokens(const std::vector<Token>& raw, const std::vector<PTok>& toks) {
  FUZZ_CHECK(!toks.empty() && toks.back().kind == TokKind::EOF_, "parser tokens do not end with EOF");
  size_t kept = 0;
  for (const Token& r : raw) kept += r.kind != TokKind::COMMENT && r.kind != TokKind::BOM;
  FUZZ_CHECK(kept == toks.size(), "comments and BOMs are not exactly what was dropped");
  for (const PTok& p : toks) FUZZ_CHECK(p.kind != TokKind::COMMENT && p.kind != TokKind::BOM, "a comment reached the parser");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::language();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::FuzzText input(data, size);
  const Text& t = input.text();
  const std::vector<Token> raw = fuzz::tokenize_with_positions(t, fuzz::language().lang);
  std::vector<PTok> toks;
  std::vector<Unterminated> unterminated;
  build_parser_tokens(t, raw, fuzz::language().kw_of_canonical, toks, unterminated);
  check_parser_tokens(raw, toks);

  const Outcome memo = parse_tokens(t, toks, unterminated, true);
  if (!memo.too_deep) check_diagnostics(t, toks, memo.diags);
  if (memo.too_deep || !small_enough_without_memo(toks)) return 0;
  const Outcome plain = parse_tokens(t, toks, unterminated, false);
  if (plain.too_deep) return 0;
  FUZZ_CHECK(same_diags(memo.diags, plain.diags), "diagnostics differ with the memo off");
  FUZZ_CHECK(memo.tree.fingerprint == plain.tree.fingerprint, "trees differ with the memo off");
  return 0;
}

// The layout of tarn fmt on arbitrary text. Whatever parses without a
// diagnostic is laid out, and the result must be the same program (the same
// tokens apart from blanks, the same tree apart from positions: the check
// tarn fmt itself runs) that parses without a diagnostic and lays out to
// itself.
#include <string>
#include <vector>

#include "core/format.h"
#include "core/source.h"
#include "support.h"

using namespace tarn;
using namespace tarn::parse;

namespace {

struct Parsed {
  std::vector<Token> toks;
  std::vector<PTok> ptoks;
  Arena arena;
  const Module* module = nullptr;
  bool clean = false;

  format::Source source(const Text& t) const {
    format::Source s;
    s.text = t, s.toks = &toks, s.ptoks = &ptoks, s.module = module, s.language = &fuzz::language().lang;
    return s;
  }
};

void parse_text(const Text& t, Parsed& out) {
  out.toks = fuzz::tokenize_with_positions(t, fuzz::language().lang);
  std::vector<Unterminated> unterminated;
  build_parser_tokens(t, out.toks, fuzz::language().kw_of_canonical, out.ptoks, unterminated);
  Parser parser(out.ptoks.data(), static_cast<int64_t>(out.ptoks.size()), out.arena);
  parser.set_unterminated(unterminated);
  try {
    out.module = parser.parse_module();
  } catch (const NestingTooDeep&) {
    return;
  }
  out.clean = parser.diags().empty();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::language();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::FuzzText input(data, size);
  const Text& t = input.text();
  Parsed before;
  parse_text(t, before);
  if (!before.clean) return 0;
  const std::u32string once = format::layout(before.source(t));
  const Text t1 = text_of(once.data(), static_cast<int64_t>(once.size()));
  Parsed after;
  parse_text(t1, after);
  FUZZ_CHECK(after.clean, "the layout does not parse cleanly");
  const format::Difference d = format::compare(before.source(t), after.source(t1));
  FUZZ_CHECK(d.kind == format::Difference::NONE,
             "the layout is another program (kind " + std::to_string(d.kind) + " at " + std::to_string(d.offset) + ")");
  FUZZ_CHECK(format::layout(after.source(t1)) == once, "the layout of the layout differs");
  return 0;
}

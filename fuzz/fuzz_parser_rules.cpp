// Grammar rules over token arrays no tokenizer makes, as a host can hand them
// to _Parser: any kind (also one the lexer never emits), spans that overlap,
// run backwards or sit at the limits of a 64-bit offset, no EOF at all, and
// the cursor placed anywhere, negative included. Each rule must return, or
// stop with one of the two orderly errors (nesting bound, index out of range);
// a crash or a sanitizer report is a finding.
#include <cstring>
#include <limits>
#include <vector>

#include "core/parse/parser.h"
#include "support.h"

using namespace tarn;
using namespace tarn::parse;

namespace {

constexpr int kKindCount = static_cast<int>(TokKind::OTHER) + 1;

// Reads the fuzzer's bytes front to back; zeros once they run out.
class Bytes {
 public:
  Bytes(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  uint8_t byte() { return i_ < n_ ? d_[i_++] : 0; }
  bool empty() const { return i_ >= n_; }
  // Mostly small offsets near the previous one (wrapping, as a host's 64-bit
  // values may), sometimes the extremes.
  int64_t offset(int64_t near) {
    const uint8_t b = byte();
    switch (b % 16) {
      case 0: return std::numeric_limits<int64_t>::max();
      case 1: return std::numeric_limits<int64_t>::min();
      case 2: return -1 - byte();
      case 3: return std::numeric_limits<int64_t>::max() - byte();
      default: return static_cast<int64_t>(static_cast<uint64_t>(near) + static_cast<uint64_t>(static_cast<int8_t>(byte())));
    }
  }

 private:
  const uint8_t* d_;
  size_t n_, i_ = 0;
};

PTok hostile_token(Bytes& in, int64_t& near) {
  PTok t;
  t.kind = static_cast<TokKind>(in.byte() % kKindCount);
  t.kw = static_cast<Kw>(static_cast<int>(in.byte() % (kKeywordCount + 1)) - 1);
  t.op = static_cast<Op>(static_cast<int>(in.byte() % (kOperatorCount + 1)) - 1);
  const uint8_t bits = in.byte();
  t.upper_first = bits & 1, t.ends_with_qmark = bits & 2, t.empty_text = bits & 4;
  t.start = in.offset(near);
  t.end = in.offset(t.start);
  t.line = in.offset(1);
  t.end_line = (bits & 8) ? t.line : in.offset(t.line);
  if (t.end > near) near = t.end;
  return t;
}

int64_t hostile_position(Bytes& in, int64_t count) {
  switch (in.byte() % 10) {
    case 0: return 0;
    case 1: return count - 1;
    case 2: return count;
    case 3: return count + 1;
    case 4: return -1;
    case 5: return -count;
    case 6: return -count - 1;
    case 7: return std::numeric_limits<int64_t>::max() - (in.byte() % 4);
    case 8: return std::numeric_limits<int64_t>::min();
    default: return static_cast<int8_t>(in.byte());
  }
}

// Arguments of each kind (rules.inc), as a host can pass them.
Module* empty_module(Parser& p) { return p.make<Module>(0, 0, p.list(), p.list()); }
std::vector<Kw> keyword_stops(Bytes& in) {
  std::vector<Kw> stops;
  for (int k = in.byte() % 4; k > 0; --k) stops.push_back(static_cast<Kw>(in.byte() % kKeywordCount));
  return stops;
}
#define ARGUMENT_NONE
#define ARGUMENT_MODULE empty_module(p)
#define ARGUMENT_ANNOTATIONS p.list()
#define ARGUMENT_EXPR p.make<Name>(0, 0, StrRef::empty())
#define ARGUMENT_KEYWORDS keyword_stops(in)
#define ARGUMENT_INT in.offset(1)
#define ARGUMENT_MESSAGE static_cast<Msg>(in.byte() % kMessageCount)
#define ARGUMENT_BOOL (in.byte() & 1) != 0

using Rule = void (*)(Parser&, Bytes&);

// Every rule a host can call on _Parser, then error(), which a host calls
// with any message. (The cursor methods of _Parser work on the host objects
// themselves.)
constexpr Rule kRules[] = {
#define RULE(name, host_name, Result, parameters, KIND, ...) \
  []([[maybe_unused]] Parser& p, [[maybe_unused]] Bytes& in) { p.name(ARGUMENT_##KIND); },
#include "core/parse/rules.inc"
#undef RULE
    [](Parser& p, Bytes& in) { p.error(static_cast<Msg>(in.byte() % kMessageCount)); },
};

}  // namespace

// A few rule calls in a row, the host moving the cursor in between as it may.
// The memo stays on, as for every host call (without it the speculative type
// rules are exponential by design).
constexpr int kCallsPerInput = 4;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  const size_t count = in.byte() % 64;
  std::vector<PTok> toks;
  int64_t near = 0;
  for (size_t i = 0; i < count; ++i) toks.push_back(hostile_token(in, near));

  Arena arena;
  Parser parser(toks.data(), static_cast<int64_t>(toks.size()), arena, hostile_position(in, count));
  for (int call = 0; call < kCallsPerInput && !in.empty(); ++call) {
    const size_t rule = in.byte() % std::size(kRules);
    if (in.byte() & 1) parser.set_pos(hostile_position(in, static_cast<int64_t>(count)));
    try {
      kRules[rule](parser, in);
    } catch (const NestingTooDeep&) {
    } catch (const TokenIndexError&) {
    }
  }
  return 0;
}

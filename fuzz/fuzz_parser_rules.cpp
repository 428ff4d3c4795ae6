// Grammar rules over token arrays no tokenizer makes, as a host can hand them
// to _Parser: any kind (also one the lexer never emits), spans that overlap,
// run backwards or sit at the limits of a 64-bit offset, no EOF at all, and
// the cursor placed anywhere, negative included. Each rule must return, or
// stop with one of the two orderly errors (nesting bound, index out of range);
// a crash or a sanitizer report is a finding.
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "core/parse/parser.h"
#include "support.h"

using namespace tarn;
using namespace tarn::parse;

namespace {

constexpr int kKwCount = static_cast<int>(Kw::QUERY) + 1;
constexpr int kOpCount = static_cast<int>(Op::SLASH_ASSIGN) + 1;
constexpr int kMsgCount = static_cast<int>(Msg::UnclosedBlock) + 1;
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
  t.kw = static_cast<Kw>(static_cast<int>(in.byte() % (kKwCount + 1)) - 1);
  t.op = static_cast<Op>(static_cast<int>(in.byte() % (kOpCount + 1)) - 1);
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

// A Module as the binding hands one in: both lists present.
Module* empty_module(Parser& p) {
  Module* m = p.make<Module>(0, 0);
  m->imports = p.list();
  m->members = p.list();
  return m;
}

using Rule = std::function<void(Parser&, Bytes&)>;

// Every rule a host can call on _Parser, with arguments the host can pass.
// (The cursor methods of _Parser work on the host objects themselves.)
const std::vector<Rule>& rules() {
  static const std::vector<Rule> table = {
      [](Parser& p, Bytes&) { p.parse_module(); },
      [](Parser& p, Bytes&) { p.module_member(empty_module(p)); },
      [](Parser& p, Bytes&) { p.recover_to_module_member(); },
      [](Parser& p, Bytes&) { p.namespace_import(); },
      [](Parser& p, Bytes&) { p.annotations(); },
      [](Parser& p, Bytes&) { p.annotation_args(); },
      [](Parser& p, Bytes&) { p.method(p.list()); },
      [](Parser& p, Bytes&) { p.parameters(); },
      [](Parser& p, Bytes&) { p.structure(p.list()); },
      [](Parser& p, Bytes&) { p.object_field(p.list()); },
      [](Parser& p, Bytes&) { p.enum_(p.list()); },
      [](Parser& p, Bytes&) { p.module_const(p.list()); },
      [](Parser& p, Bytes&) { p.compound_type(); },
      [](Parser& p, Bytes&) { p.type_name(); },
      [](Parser& p, Bytes&) { p.grouped_type(); },
      [](Parser& p, Bytes&) { p.func_type(); },
      [](Parser& p, Bytes& in) { p.generic_type_args(in.byte() & 1); },
      [](Parser& p, Bytes& in) { p.statements_until_semicolon(static_cast<Msg>(in.byte() % kMsgCount)); },
      [](Parser& p, Bytes& in) {
        std::vector<Kw> stops;
        for (int k = in.byte() % 4; k > 0; --k) stops.push_back(static_cast<Kw>(in.byte() % kKwCount));
        p.block_until(stops.data(), stops.size());
      },
      [](Parser& p, Bytes&) { p.recover_statement(); },
      [](Parser& p, Bytes&) { p.statement(); },
      [](Parser& p, Bytes&) { p.if_statement(); },
      [](Parser& p, Bytes&) { p.case_statement(); },
      [](Parser& p, Bytes&) { p.when_expression(); },
      [](Parser& p, Bytes&) { p.while_statement(); },
      [](Parser& p, Bytes&) { p.for_statement(); },
      [](Parser& p, Bytes&) { p.try_statement(); },
      [](Parser& p, Bytes&) { p.scope_statement(); },
      [](Parser& p, Bytes&) { p.return_statement(); },
      [](Parser& p, Bytes& in) { p.starts_new_statement(in.offset(1)); },
      [](Parser& p, Bytes&) { p.var_decl(); },
      [](Parser& p, Bytes&) { p.use_statement(); },
      [](Parser& p, Bytes&) { p.expression_statement(); },
      [](Parser& p, Bytes&) { p.expression(); },
      [](Parser& p, Bytes&) { p.expression_ended(); },
      [](Parser& p, Bytes&) { p.log_term(); },
      [](Parser& p, Bytes&) { p.log_fact(); },
      [](Parser& p, Bytes&) { p.log_primary(); },
      [](Parser& p, Bytes&) { p.simple_expression(); },
      [](Parser& p, Bytes&) { p.term(); },
      [](Parser& p, Bytes&) { p.exp(); },
      [](Parser& p, Bytes&) { p.fact(); },
      [](Parser& p, Bytes&) { p.method_ref(); },
      [](Parser& p, Bytes&) { p.feature_resolving(); },
      [](Parser& p, Bytes&) { p.maybe_call(p.make<Name>(0, 0)); },
      [](Parser& p, Bytes&) { p.starts_a_line(); },
      [](Parser& p, Bytes&) { p.generic_call_args(); },
      [](Parser& p, Bytes&) { p.call_args(); },
      [](Parser& p, Bytes&) { p.static_feature_resolving(); },
      [](Parser& p, Bytes&) { p.paren_or_lambda(); },
      [](Parser& p, Bytes&) { p.static_feature(); },
      [](Parser& p, Bytes&) { p.creator(); },
      [](Parser& p, Bytes&) { p.array_literal(); },
      [](Parser& p, Bytes&) { p.map_literal(); },
      [](Parser& p, Bytes&) { p.try_lambda_full(); },
      [](Parser& p, Bytes&) { p.type_literal(); },
      [](Parser& p, Bytes&) { p.query_literal(); },
      [](Parser& p, Bytes&) { p.resolvable_literal(); },
      [](Parser& p, Bytes&) { p.postfix_after_literal(p.make<Name>(0, 0)); },
      [](Parser& p, Bytes& in) { p.error(static_cast<Msg>(in.byte() % kMsgCount)); },
  };
  return table;
}

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
    const size_t rule = in.byte() % rules().size();
    if (in.byte() & 1) parser.set_pos(hostile_position(in, static_cast<int64_t>(count)));
    try {
      rules()[rule](parser, in);
    } catch (const NestingTooDeep&) {
    } catch (const TokenIndexError&) {
    }
  }
  return 0;
}

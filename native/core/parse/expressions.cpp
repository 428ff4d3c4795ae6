// The expression precedence chain, loosest first: OR with the "!", "??" and
// "?" suffixes, AND, NOT and the type tests, comparison chains, additive,
// multiplicative, power, prefix signs.
//
// The ternary check after IS reads a then-branch speculatively. Read
// plainly, that is quadratic or worse and recurses once per check: the
// then-branch after `x IS T?` on one line parses the next statement, whose
// own check parses the one after it, and so on. With the memo on, two devices
// keep it linear and shallow while giving the very same tree and diagnostics
// (a third, the refusal when no ":" lies ahead at all, works with it off too):
//
// * A then-branch that starts at IS, AS, or a lower-case AND / OR can read no
//   operand: it is a placeholder followed by exactly what the enclosing
//   expression() reads next, so it ends where that expression ends. Such a
//   check is left undecided (as if it failed) and settled when the enclosing
//   expression() has ended: if no ":" follows, every undecided check failed;
//   if one does, the latest undecided check succeeded, which is remembered,
//   and the expression goes on again from that check, its loops resuming
//   from the operands read before it. No then-branch is built that would be
//   thrown away, and nothing before the check is read twice.
// * Other checks nest: one inside another's then-branch counts one level of
//   speculation. Past kMaxSpeculation levels a check whose then-branch is not
//   memoised yet defers it: the parser bails out (every read sees the end of
//   input, so each rule finishes at once, and nothing is memoised) up to the
//   outermost check, which reads the deferred expression itself (at its own,
//   shallow depth), deepest first, and tries again, now meeting memo hits
//   where it stopped before.
//
// Both skip recursion that the plain reading would do, so then-branches
// that met their ":" one inside another are counted (note_ternary_nesting)
// and refused past the nesting bound, as the plain reading would be.
#include <algorithm>
#include <cstring>

#include "keyword_sets.h"
#include "parser.h"

namespace tarn::parse {

namespace {

// Sets a variable for the lifetime of the object, also when unwinding.
template <class T>
class Scoped {
 public:
  Scoped(T& var, T value) : var_(var), saved_(var) { var_ = value; }
  ~Scoped() { var_ = saved_; }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

 private:
  T& var_;
  T saved_;
};

uint32_t u32(int64_t i) { return static_cast<uint32_t>(i); }

Binary* binary(Parser& p, int64_t op, Node* left, Node* right) {
  return p.make<Binary>(left->start, right ? right->end : left->end, StrRef::token(u32(op)), left, right);
}

Unary* unary(Parser& p, int64_t op, Node* operand) {
  return p.make<Unary>(p.tok(op).start, operand->end, StrRef::token(u32(op)), operand);
}

// operand { op operand }, grouping to the left; a right operand cut off by a
// closing token stays none.
template <class AtOperator>
Node* left_assoc(Parser& p, Node* (Parser::*operand)(), AtOperator at_operator) {
  Node* left = (p.*operand)();
  while (at_operator()) {
    const int64_t op = p.advance();
    Node* right = p.expression_ended() ? nullptr : (p.*operand)();
    left = binary(p, op, left, right);
  }
  return left;
}

bool is_compare_op(const PTok& t) { return t.kind == TokKind::OP && kCompareOps.contains(t.op); }

bool text_ends_with_qmark(const Parser& p, const StrRef& s) {
  if (s.drop_last) return false;  // only the copies made below, never tested again
  switch (s.tag) {
    case StrRef::TOKEN: return p.tok(s.a).ends_with_qmark;
    case StrRef::CONCAT:
      for (uint32_t i = s.b; i > s.a; --i)
        if (!p.tok(i - 1).empty_text) return p.tok(i - 1).ends_with_qmark;
      return false;
    case StrRef::JOIN_COLONS: return s.a > 0 && p.tok(s.parts[s.a - 1]).ends_with_qmark;
    case StrRef::STATIC: {
      const size_t n = std::strlen(s.text);
      return n > 0 && s.text[n - 1] == '?';
    }
    default: return false;
  }
}

// A then-branch starting here reads a placeholder and then exactly what the
// enclosing expression reads next (see the top of the file).
bool continues_enclosing(const PTok& t) {
  if (t.kind != TokKind::KEYWORD) return false;
  if (t.kw == Kw::IS || t.kw == Kw::AS) return true;
  return (t.kw == Kw::AND || t.kw == Kw::OR) && !t.upper_first;
}

// The type of a test without its nullable mark, for a ternary that took the
// "?" back. A new record: the memoised type may be met again elsewhere.
TypeRef* without_nullable_mark(Parser& p, const TypeRef* type) {
  StrRef text = type->text;
  text.drop_last = true;
  return p.make<TypeRef>(type->start, type->end, text, type->names, false);
}

}  // namespace

// The two keyword levels of an expression: OR over log_term, AND over
// log_fact. What such a loop has read before its current right operand.
enum : int { kOrLevel, kAndLevel };
struct LevelSoFar {
  Node* left = nullptr;
  int64_t op = -1;  // -1: still on the first operand
};

// A check after IS left undecided, with what its expression() had read
// around it: enough to finish that expression from the check on.
struct Parser::UndecidedCheck {
  Snapshot at;  // at the then-branch
  IsType* test;
  LevelSoFar levels[2];
  int32_t nots;
};

// One expression() in progress: its keyword levels so far, the NOT
// prefixes around the current operand (a chain of cells, -1 ends it), and
// the undecided checks.
struct Parser::ExpressionFrame {
  LevelSoFar levels[2];
  int32_t nots = -1;
  std::vector<std::pair<int64_t, int32_t>> not_cells;  // NOT token, enclosing cell
  std::vector<UndecidedCheck> undecided;
  int ternary_nesting = 0;  // of then-branches that met their ":", one in another
  // The check whose then-branch is being read, when it sits in the first
  // operand with nothing pending around it (see pause_at_check).
  IsType* first_check = nullptr;
  Snapshot first_check_at;

  bool at_first_operand() const {
    return levels[kOrLevel].op < 0 && levels[kAndLevel].op < 0 && nots < 0 && not_cells.empty() &&
           undecided.empty() && ternary_nesting == 0;
  }
};

// A then-branch cut short by a bail-out often stopped at its own first check
// (one construct per line, each line's check reading the next line). What it
// had read up to that check is kept, so reading it again goes on from the
// check instead of from the start: the operand, the type and the diagnostics
// between them are the same wherever the expression is read (as the memo
// assumes), and the nesting they needed was reached at this depth or deeper.
void Parser::pause_at_check(const ExpressionFrame& frame, int64_t start, size_t diags_before) {
  if (!frame.first_check) return;
  MemoEntry* m = expr_memo_.slot(start, count_);
  if (!m || paused_.size() >= UINT32_MAX) return;
  diags_.cut(frame.first_check_at.diags);  // what the bail-out itself recorded
  *m = MemoEntry{frame.first_check, 0, static_cast<uint32_t>(paused_.size())};
  paused_.push_back(PausedCheck{frame.first_check_at.pos, diags_.seal(diags_before), depth_});
}

// expression := log_term { OR log_term } [ "!" ] [ "??" expression ] [ "?" expression ":" expression ]
Node* Parser::expression_unmemoised() {
  Nest nest(*this);
  if (!memo_on_) return suffixes(keyword_loop(log_term(), kOrLevel));
  const int64_t start = pos_;
  ExpressionFrame* outer = frame_;
  ExpressionFrame frame;
  Scoped<ExpressionFrame*> current(frame_, &frame);
  const size_t diags_before = diags_.mark();
  Node* e;
  MemoEntry* paused = bailing_ ? nullptr : expr_memo_.any(start);
  if (paused && paused->result && !paused->end_plus_one && paused_[paused->diags].depth >= depth_) {
    // Taken once: the check may change its test (a ternary takes back the
    // "?"), and a reading that bails again pauses anew.
    auto* test = static_cast<IsType*>(paused->result);
    const PausedCheck p = paused_[paused->diags];
    paused->result = nullptr;
    diags_.replay(p.diags);
    pos_ = p.then_pos;
    e = suffixes(keyword_loop(keyword_loop(type_tests(ternary_after_is(test)), kAndLevel), kOrLevel));
  } else {
    e = suffixes(keyword_loop(log_term(), kOrLevel));
  }
  if (bailing_) {
    pause_at_check(frame, start, diags_before);
    return e;
  }
  while (!frame.undecided.empty() && at_op(Op::COLON)) {
    const UndecidedCheck check = frame.undecided.back();
    frame.undecided.pop_back();
    e = resume_after_check(check);
  }
  if (frame.ternary_nesting > 0) {
    if (uint16_t* slot = ternary_nesting_.at(start, count_)) *slot = static_cast<uint16_t>(frame.ternary_nesting);
    if (outer) outer->ternary_nesting = std::max(outer->ternary_nesting, frame.ternary_nesting);
  }
  return e;
}

// { OR log_term } or { AND log_fact }, each left operand published to the
// frame for the undecided checks inside the right one.
Node* Parser::keyword_loop(Node* left, int level) {
  const Kw kw = level == kOrLevel ? Kw::OR : Kw::AND;
  Node* (Parser::*operand)() = level == kOrLevel ? &Parser::log_term : &Parser::log_fact;
  while (at_kw(kw)) {
    const int64_t op = advance();
    if (frame_) frame_->levels[level] = {left, op};
    Node* right = expression_ended() ? nullptr : (this->*operand)();
    left = binary(*this, op, left, right);
  }
  return left;
}

// [ "!" ] [ "??" expression ] [ "?" expression ":" expression ]
Node* Parser::suffixes(Node* left) {
  if (at_op(Op::BANG)) {
    const int64_t bang = advance();
    left = make<NonNull>(left->start, tok(bang).end, left);
  }
  if (eat_op(Op::COALESCE) >= 0) {
    Node* right = expression();
    left = make<Coalesce>(left->start, right->end, left, right);
  }
  if (eat_op(Op::QUESTION) >= 0) {
    Node* then = expression();
    Node* otherwise = expect_op(Op::COLON, Msg::ExpectedColonTernary) >= 0 ? expression() : nullptr;
    left = make<Ternary>(left->start, last_end(), left, then, otherwise);
  }
  return left;
}

// Closing tokens: the end of input, ";", ")", "]", "}", ",".
bool Parser::expression_ended() {
  const PTok& t = peek();
  if (t.kind == TokKind::EOF_) return true;
  if (t.kind != TokKind::OP) return false;
  switch (t.op) {
    case Op::SEMICOLON: case Op::RPAREN: case Op::RBRACKET: case Op::RBRACE: case Op::COMMA: return true;
    default: return false;
  }
}

// log_term := log_fact { AND log_fact }
Node* Parser::log_term() {
  if (frame_) frame_->levels[kAndLevel] = {};
  return keyword_loop(log_fact(), kAndLevel);
}

// log_fact := NOT log_fact | log_primary type_tests
Node* Parser::log_fact() {
  if (!at_kw(Kw::NOT)) return type_tests(log_primary());
  const int64_t op = advance();
  Nest nest(*this);
  ExpressionFrame* f = frame_;
  if (!f) return unary(*this, op, log_fact());
  f->not_cells.emplace_back(op, f->nots);
  Scoped<int32_t> inside(f->nots, static_cast<int32_t>(f->not_cells.size() - 1));
  return unary(*this, op, log_fact());
}

// type_tests := { IS [ NOT ] type [ ternary ] | AS type }
Node* Parser::type_tests(Node* left) {
  while (at_kw({Kw::IS, Kw::AS})) {
    if (eat_kw(Kw::AS) >= 0) {
      TypeRef* type = compound_type();
      left = make<AsType>(left->start, last_end(), left, type);
      continue;
    }
    advance();
    const bool negated = eat_kw(Kw::NOT) >= 0;
    TypeRef* type = compound_type();
    left = ternary_after_is(make<IsType>(left->start, last_end(), left, negated, type));
  }
  return left;
}

// x IS T ? a : b reads the type as T?; when a complete ternary follows, the
// "?" was the ternary's after all.
Node* Parser::ternary_after_is(IsType* test) {
  const Node* t = test->type;
  if (!t || t->kind != NodeKind::TypeRef) return test;
  const auto* type = static_cast<const TypeRef*>(t);
  if (!type->nullable || !text_ends_with_qmark(*this, type->text) || at_op(Op::SEMICOLON)) return test;
  if (!colon_at_or_after(pos_) || decide_at_expression_end(pos_, test)) return test;
  const Snapshot s = snapshot();
  ExpressionFrame* f = frame_;
  const bool first = f && f->at_first_operand();
  if (first) f->first_check = test, f->first_check_at = s;
  Node* then = speculative_then();
  if (first && !bailing_) f->first_check = nullptr;
  if (eat_op(Op::COLON) < 0) {
    rollback(s);
    return test;
  }
  note_ternary_nesting(s.pos);
  Node* otherwise = expression();
  test->type = without_nullable_mark(*this, type);
  return make<Ternary>(test->start, last_end(), test, then, otherwise);
}

// Read plainly, a then-branch is read inside the check, one level deeper
// for each then-branch inside it that met its ":". Memo hits and the devices
// above skip that recursion, so the nesting is counted here instead and
// refused where the plain reading would have run out of depth; it also
// bounds how often nested diagnostics are replayed from the memo.
void Parser::note_ternary_nesting(int64_t then_pos) {
  if (!frame_) return;
  const uint16_t* nested = ternary_nesting_.find(then_pos);
  const int inner = nested ? *nested : 0;
  if (depth_ + inner + 1 > kMaxDepth) throw NestingTooDeep{then_pos};
  frame_->ternary_nesting = std::max(frame_->ternary_nesting, inner + 1);
}

// True when the check is left for the end of the enclosing expression() to
// settle; until then it counts as failed.
bool Parser::decide_at_expression_end(int64_t then_pos, IsType* test) {
  ExpressionFrame* f = frame_;
  if (!f || !continues_enclosing(peek())) return false;
  if (const uint8_t* met = then_meets_colon_.find(then_pos); met && *met) return false;
  if (expression_memoised(then_pos)) return false;
  f->undecided.push_back({snapshot(), test, {f->levels[kOrLevel], f->levels[kAndLevel]}, f->nots});
  return true;
}

// The check succeeded after all: it reads its ternary now, and each loop
// around it goes on from the operands it had read before the check.
Node* Parser::resume_after_check(const UndecidedCheck& check) {
  rollback(check.at);
  if (uint8_t* met = then_meets_colon_.at(check.at.pos, count_)) *met = 1;
  ExpressionFrame& f = *frame_;
  std::copy(std::begin(check.levels), std::end(check.levels), std::begin(f.levels));
  f.nots = check.nots;
  Node* v = type_tests(ternary_after_is(check.test));
  for (int32_t i = check.nots; i >= 0; i = f.not_cells[static_cast<size_t>(i)].second)
    v = unary(*this, f.not_cells[static_cast<size_t>(i)].first, v);
  f.nots = -1;
  for (int level : {kAndLevel, kOrLevel}) {
    const LevelSoFar& so_far = check.levels[level];
    if (so_far.op >= 0) v = binary(*this, so_far.op, so_far.left, v);
    v = keyword_loop(v, level);
  }
  return suffixes(v);
}

Node* Parser::speculative_then() {
  if (!memo_on_) return expression();
  if (speculation_depth_ == 0) return then_with_deferrals();
  if (speculation_depth_ >= kMaxSpeculation && !expression_memoised(pos_)) {
    begin_bail(pos_);
    return placeholder();
  }
  Scoped<int> deeper(speculation_depth_, speculation_depth_ + 1);
  return expression();
}

void Parser::begin_bail(int64_t deferred_pos) {
  bail_token_ = PTok{};
  bail_token_.kind = TokKind::EOF_;
  bail_token_.start = bail_token_.end = toks_[count_ - 1].end;
  bail_token_.line = bail_token_.end_line = toks_[count_ - 1].end_line;
  bail_pos_ = deferred_pos;
  bailing_ = true;
  readable_ = 0;
}

int64_t Parser::end_bail() {
  bailing_ = false;
  readable_ = count_;
  return bail_pos_;
}

// The outermost speculative check: reads deferred then-branches deepest first,
// each at this depth, until its own then-branch completes.
Node* Parser::then_with_deferrals() {
  Scoped<int> deeper(speculation_depth_, 1);
  struct EndBail {  // also when an interruption unwinds the reading
    Parser& p;
    ~EndBail() { if (p.bailing_) p.end_bail(); }
  } guard{*this};
  const Snapshot s = snapshot();
  std::vector<int64_t> deferred;
  while (true) {
    Node* then = expression();
    if (!bailing_) return then;
    deferred.push_back(end_bail());
    while (!deferred.empty()) {
      rollback(s);
      set_pos(deferred.back());
      expression();
      if (bailing_) deferred.push_back(end_bail());
      else deferred.pop_back();
    }
    rollback(s);
  }
}

// Without a ":" ahead no then-branch can meet one: the check could only fail.
bool Parser::colon_at_or_after(int64_t i) {
  if (last_colon_ == -2) {
    last_colon_ = count_ - 1;
    while (last_colon_ >= 0 && !(toks_[last_colon_].kind == TokKind::OP && toks_[last_colon_].op == Op::COLON)) --last_colon_;
  }
  return i <= last_colon_;
}

bool Parser::expression_memoised(int64_t pos) const {
  return expr_memo_.find(pos) != nullptr;
}

// log_primary := simple_expression { compare_op [ simple_expression ] }
Node* Parser::log_primary() {
  Node* first = simple_expression();
  if (!is_compare_op(peek())) return first;
  List* rest = list();
  Node* last = nullptr;
  while (is_compare_op(peek())) {
    const int64_t op = advance();
    last = expression_ended() ? nullptr : simple_expression();
    push(rest, Value::tuple(arena().tuple({Value::of(StrRef::token(u32(op))), Value::of(last)})));
  }
  return make<Compare>(first->start, last ? last->end : first->end, first, rest);
}

// simple_expression := term { ("+" | "-") term }
Node* Parser::simple_expression() {
  return left_assoc(*this, &Parser::term, [this] { return at_op({Op::PLUS, Op::MINUS}); });
}

// term := exp { ("*" | "/" | "%") exp }
Node* Parser::term() {
  return left_assoc(*this, &Parser::exp, [this] { return at_op({Op::STAR, Op::SLASH, Op::PERCENT}); });
}

// exp := fact [ "**" exp ]
Node* Parser::exp() {
  Node* base = fact();
  if (!at_op(Op::POWER)) return base;
  const int64_t op = advance();
  Nest nest(*this);
  return binary(*this, op, base, exp());
}

// fact := ("+" | "-") fact | method_ref | feature_resolving
Node* Parser::fact() {
  if (at_op({Op::PLUS, Op::MINUS})) {
    const int64_t op = advance();
    Nest nest(*this);
    return unary(*this, op, fact());
  }
  if (at_op(Op::AMP)) return method_ref();
  return feature_resolving();
}

}  // namespace tarn::parse

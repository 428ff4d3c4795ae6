// What follows an operand: members, indexing, the non-null "!", calls with
// explicit type arguments, and the flat method reference after "&".
#include "keyword_sets.h"
#include "parser.h"

namespace tarn::parse {

namespace {

uint32_t u32(int64_t i) { return static_cast<uint32_t>(i); }

// A part of a method reference after ".": stricter than at_name, capitalised
// statement keywords do not count.
bool method_ref_part(const PTok& t) {
  if (t.kind == TokKind::IDENT) return true;
  return t.kind == TokKind::KEYWORD && (kNameKeywords.contains(t.kw) || t.kw == Kw::NEW);
}

}  // namespace

// method_ref := "&" [ (THIS | GLOBAL_EN | GLOBAL_RU) "." ] name { "::" name } { "." part }
//               [ "<" type { "," type } ">" [ "." (name | NEW) ] ] [ "(" [ type { "," type } ] ")" ]
MethodRef* Parser::method_ref() {
  const int64_t amp = advance();
  const int64_t from = pos_;
  if (eat_kw({Kw::THIS, Kw::GLOBAL_EN, Kw::GLOBAL_RU}) >= 0 && eat_op(Op::DOT) < 0) error(Msg::ExpectedDotInMethodRef);
  if (eat_name() < 0) error(Msg::ExpectedNameInMethodRef);
  while (eat_op(Op::COLONCOLON) >= 0) {
    if (eat_name() >= 0) continue;
    error(Msg::ExpectedNameAfterColons);
    break;
  }
  while (at_op(Op::DOT) && method_ref_part(peek(1))) {
    advance();
    advance();
  }
  if (at_op(Op::LT) && generic_can_close(pos_)) {
    const Snapshot s = snapshot();
    if (!generic_call_args()) rollback(s);
    else if (eat_op(Op::DOT) >= 0 && eat_name() < 0) eat_kw(Kw::NEW);
  }
  if (at_op(Op::LPAREN)) {
    const Snapshot s = snapshot();
    advance();
    bool types = true;
    while (!at_end() && !at_op(Op::RPAREN)) {
      if (!compound_type()) {
        types = false;
        break;
      }
      if (eat_op(Op::COMMA) < 0) break;
    }
    if (!types || eat_op(Op::RPAREN) < 0) rollback(s);
  }
  // Nothing after "&": a one-character span, saturated so INT64_MAX cannot wrap.
  const int64_t amp_start = tok(amp).start;
  const int64_t end = pos_ > from ? last_end() : (amp_start == INT64_MAX ? amp_start : amp_start + 1);
  return make<MethodRef>(tok(amp).start, end, StrRef::concat(u32(from), u32(pos_)));
}

// feature_resolving := static_feature_resolving { ("." | "?.") (name | NEW) [call] | "[" [expression] "]" | "!" }
Node* Parser::feature_resolving() {
  Node* expr = static_feature_resolving();
  while (true) {
    if (at_op({Op::DOT, Op::SAFE_DOT})) {
      Node* m = member_access(expr, true);
      if (!m) return expr;
      expr = m;
    } else if (eat_op(Op::LBRACKET) >= 0) {
      Node* index = at_op(Op::RBRACKET) ? nullptr : expression();
      expect_op(Op::RBRACKET, Msg::ExpectedRbracketIndex);
      expr = make<Index>(expr->start, last_end(), expr, index);
    } else if (at_op(Op::BANG)) {
      const int64_t bang = advance();
      expr = make<NonNull>(expr->start, tok(bang).end, expr);
    } else {
      return expr;
    }
  }
}

Node* Parser::member_access(Node* obj, bool new_allowed) {
  const bool safe = at_op(Op::SAFE_DOT);
  advance();
  int64_t name = eat_name();
  if (name < 0 && new_allowed) name = eat_kw(Kw::NEW);
  if (name < 0) {
    error(Msg::ExpectedNameAfterDot);
    return nullptr;
  }
  return maybe_call(make<Member>(obj->start, tok(name).end, obj, StrRef::token(u32(name)), safe));
}

// call := [ "<" type { "," type } ">" ] "(" call_args, the "(" not starting a line
Node* Parser::maybe_call(Node* callee) {
  List* type_args = nullptr;
  if (at_op(Op::LT)) {
    const int64_t lt = pos_;
    if (!generic_can_close(lt)) return callee;
    const Snapshot s = snapshot();
    if (!generic_call_args() || !at_op(Op::LPAREN) || starts_a_line()) {
      rollback(s);
      return callee;
    }
    type_args = type_argument_group(lt);
  }
  if (!at_op(Op::LPAREN) || starts_a_line()) return callee;
  List* args = call_args();
  return make<Call>(callee->start, last_end(), callee, args, type_args ? type_args : list());
}

List* Parser::type_argument_group(int64_t lt) {
  List* args = list();
  push(args, Value::of(make<TypeRef>(tok(lt).start, last_end(), StrRef::concat(u32(lt), u32(pos_)), list(), false)));
  return args;
}

bool Parser::starts_a_line() {
  return pos_ > 0 && peek().line > tok(pos_ - 1).end_line;
}

// generic_call_args := "<" type { "," type } ">"
bool Parser::generic_call_args() {
  advance();
  if (at_op(Op::GT)) return false;
  do {
    if (!compound_type()) return false;
  } while (eat_op(Op::COMMA) >= 0);
  return eat_op(Op::GT) >= 0;
}

// call_args := "(" [ arg { "," arg } ] ")"   arg := [ name "=" ] [ expression ]
List* Parser::call_args() {
  advance();
  List* args = list();
  while (!at_end() && !at_op(Op::RPAREN)) {
    const int64_t first = pos_;
    StrRef name = StrRef::none();
    if (at_name() && op_ahead(1, Op::ASSIGN) && !op_ahead(2, Op::ASSIGN)) {
      name = StrRef::token(u32(advance()));
      advance();
    }
    Node* value = at_op({Op::COMMA, Op::RPAREN}) ? nullptr : expression();
    push(args, Value::of(make<CallArg>(tok(first).start, last_end(), name, value)));
    if (eat_op(Op::COMMA) < 0) break;
  }
  expect_op(Op::RPAREN, Msg::ExpectedRparenCall);
  return args;
}

}  // namespace tarn::parse

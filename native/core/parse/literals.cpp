// Collection literals (arrays, sets, maps, with or without explicit type
// arguments) and the embedded literals whose inside is not analysed: type,
// query and resolvable literals.
#include "parser.h"

namespace tarn::parse {

namespace {

uint32_t u32(int64_t i) { return static_cast<uint32_t>(i); }

Literal* span_literal(Parser& p, int64_t start, const char* kind, StrRef text) {
  return p.make<Literal>(start, p.last_end(), StrRef::lit(kind), text);
}

// A keyword of an embedded literal used as an ordinary name, maybe called.
Node* keyword_as_callee(Parser& p, int64_t token) {
  return p.maybe_call(p.make<Name>(p.tok(token).start, p.tok(token).end, StrRef::token(u32(token))));
}

// "{" ... "}" with nested braces counted; only operator tokens count, so a
// brace inside a string does not. A block that never closes runs to the end
// of input and is reported at its "{".
void skip_brace_block(Parser& p) {
  const int64_t open = p.pos();
  int depth = 0;
  while (!p.at_end()) {
    const PTok& t = p.tok(p.advance());
    if (t.kind != TokKind::OP) continue;
    if (t.op == Op::LBRACE) ++depth;
    if (t.op == Op::RBRACE && --depth == 0) return;
  }
  p.error_at(Msg::UnclosedBlock, open);
}

}  // namespace

// array_literal := "[" [ expression { "," expression } [ "," ] ] "]"
ArrayLit* Parser::array_literal() {
  const int64_t open = advance();
  List* items = list();
  while (!at_end() && !at_op(Op::RBRACKET)) {
    push(items, Value::of(expression()));
    if (eat_op(Op::COMMA) < 0) break;
  }
  expect_op(Op::RBRACKET, Msg::ExpectedRbracketArray);
  return make<ArrayLit>(tok(open).start, last_end(), items, list());
}

// map_literal := "{" [ ":" ] [ entry { "," entry } [ "," ] ] "}"   entry := expression [ ":" [ expression ] ]
MapLit* Parser::map_literal() {
  const int64_t open = advance();
  List* entries = list();
  bool is_map = eat_op(Op::COLON) >= 0;
  while (!at_end() && !at_op(Op::RBRACE)) {
    Node* key = expression();
    Node* value = nullptr;
    if (eat_op(Op::COLON) >= 0) {
      is_map = true;
      if (!at_op({Op::COMMA, Op::RBRACE})) value = expression();
    }
    push(entries, Value::tuple(arena().tuple({Value::of(key), Value::of(value)})));
    if (eat_op(Op::COMMA) < 0) break;
  }
  expect_op(Op::RBRACE, Msg::ExpectedRbraceMap);
  return make<MapLit>(tok(open).start, last_end(), entries, StrRef::lit(is_map ? "map" : "set"), list());
}

// typed_collection := "<" type { "," type } ">" ( array_literal | map_literal )
Node* Parser::typed_collection_literal() {
  const int64_t lt = pos_;
  if (!generic_can_close(lt)) return nullptr;
  const Snapshot s = snapshot();
  if (!generic_call_args() || !at_op({Op::LBRACKET, Op::LBRACE})) {
    rollback(s);
    return nullptr;
  }
  List* type_args = type_argument_group(lt);
  if (at_op(Op::LBRACKET)) {
    ArrayLit* a = array_literal();
    a->type_args = type_args;
    a->start = tok(lt).start;
    return a;
  }
  MapLit* m = map_literal();
  m->type_args = type_args;
  m->start = tok(lt).start;
  return m;
}

// type_literal := TYPE "<" type_name ">" | TYPE as a name
Node* Parser::type_literal() {
  const int64_t kw = advance();
  if (!at_op(Op::LT)) return keyword_as_callee(*this, kw);
  advance();
  type_name();
  if (eat_op(Op::GT) < 0) error(Msg::ExpectedGtInTypeLiteral);
  return span_literal(*this, tok(kw).start, "TYPE", StrRef::empty());
}

// query_literal := QUERY "{" balanced tokens "}" | QUERY as a name
Node* Parser::query_literal() {
  const int64_t kw = advance();
  if (!at_op(Op::LBRACE)) return keyword_as_callee(*this, kw);
  skip_brace_block(*this);
  return span_literal(*this, tok(kw).start, "QUERY", StrRef::empty());
}

// resolvable_literal := name "{" balanced tokens "}" { ("." | "?.") name [call] }, the "{" touching the name
Node* Parser::resolvable_literal() {
  const int64_t name = advance();
  skip_brace_block(*this);
  return postfix_after_literal(span_literal(*this, tok(name).start, "RESOLVABLE", StrRef::token(u32(name))));
}

// Only a name may follow the dot here, not NEW.
Node* Parser::postfix_after_literal(Node* expr) {
  while (at_op({Op::DOT, Op::SAFE_DOT})) {
    Node* m = member_access(expr, false);
    if (!m) return expr;
    expr = m;
  }
  return expr;
}

}  // namespace tarn::parse

// The operand at the bottom of every expression: names and "::" paths,
// keyword values, literal tokens, THROW, creators, parentheses and the three
// lambda forms. Collection and embedded literals are in literals.cpp.
#include "keyword_sets.h"
#include "parser.h"

namespace tarn::parse {

namespace {

uint32_t u32(int64_t i) { return static_cast<uint32_t>(i); }

const char* literal_kind(TokKind k) {
  switch (k) {
    case TokKind::NUMBER: return "NUMBER";
    case TokKind::STRING: return "STRING";
    case TokKind::PATTERN: return "PATTERN";
    default: return nullptr;
  }
}

Literal* literal(Parser& p, int64_t token, const char* kind) {
  const PTok& t = p.tok(token);
  return p.make<Literal>(t.start, t.end, StrRef::lit(kind), StrRef::token(u32(token)));
}

// A keyword token read as a name.
Name* keyword_as_name(Parser& p, int64_t token) {
  const PTok& t = p.tok(token);
  return p.make<Name>(t.start, t.end, StrRef::token(u32(token)));
}

Param* lambda_param(Parser& p, int64_t start, int64_t end, StrRef name, Node* type) {
  return p.make<Param>(start, end, name, type, nullptr, p.list());
}

// The parts of a name path read from `first` to `last`: every other token,
// the "::" between them skipped.
StrRef colon_path(Parser& p, int64_t first, int64_t last) {
  std::vector<uint32_t> parts;
  for (int64_t i = first; i <= last; i += 2) parts.push_back(u32(i));
  return p.join_colons(parts);
}

Lambda* arrow_lambda(Parser& p, int64_t start, List* params) {
  Node* body = p.expression_ended() ? nullptr : p.expression();
  return p.make<Lambda>(start, p.last_end(), params, body, nullptr);
}

}  // namespace

// primary := keyword_value | literal_token | "(" ... | "[" ... | "{" ... | typed_collection
//          | resolvable_literal | static_feature
Node* Parser::static_feature_resolving() {
  const int64_t i = pos_;
  const PTok& t = peek();
  if (t.kind == TokKind::KEYWORD) {
    switch (t.kw) {
      case Kw::THROW: {
        advance();
        Node* value = expression_ended() ? nullptr : expression();
        return make<Throw>(t.start, last_end(), value);
      }
      case Kw::THIS: advance(); return make<This>(t.start, t.end);
      case Kw::GLOBAL_EN: case Kw::GLOBAL_RU: advance(); return make<GlobalAccess>(t.start, t.end);
      case Kw::NEW: return creator();
      case Kw::UNDEFINED: advance(); return literal(*this, i, "UNDEFINED");
      case Kw::TRUE: advance(); return literal(*this, i, "TRUE");
      case Kw::FALSE: advance(); return literal(*this, i, "FALSE");
      case Kw::TYPE: return type_literal();
      case Kw::QUERY: return query_literal();
      case Kw::METHOD: {
        if (op_ahead(1, Op::LPAREN)) {
          const Snapshot s = snapshot();
          if (Lambda* l = try_lambda_full()) return l;
          rollback(s);
        }
        advance();
        return maybe_call(keyword_as_name(*this, i));
      }
      default: break;
    }
  }
  if (const char* kind = literal_kind(t.kind)) {
    advance();
    return literal(*this, i, kind);
  }
  if (t.kind == TokKind::OP) {
    switch (t.op) {
      case Op::LPAREN: return paren_or_lambda();
      case Op::LBRACKET: return array_literal();
      case Op::LBRACE: return map_literal();
      case Op::LT:
        if (Node* lit = typed_collection_literal()) return lit;
        break;
      default: break;
    }
  }
  if (at_name()) {
    const PTok& next = peek(1);
    if (next.kind == TokKind::OP && next.op == Op::LBRACE && next.start == t.end) return resolvable_literal();
    return static_feature();
  }
  if (t.kind == TokKind::KEYWORD && kStatementOnlyKeywords.contains(t.kw))
    error_at(Msg::StatementNotExpr, i, i);
  else
    error(Msg::ExpectedExpr);
  return placeholder();
}

// static_feature := name { "::" name } ( "->" [ expression ] | [ call ] )
Node* Parser::static_feature() {
  const int64_t first = advance();
  int64_t last = first;
  while (eat_op(Op::COLONCOLON) >= 0) {
    const int64_t part = eat_name();
    if (part < 0) {
      error(Msg::ExpectedNameAfterColons);
      break;
    }
    last = part;
  }
  Name* name = make<Name>(tok(first).start, last_end(),
                          last == first ? StrRef::token(u32(first)) : colon_path(*this, first, last));
  if (eat_op(Op::ARROW) < 0) return maybe_call(name);
  List* params = list();
  push(params, Value::of(lambda_param(*this, name->start, name->end, StrRef::token(u32(last)), nullptr)));
  return arrow_lambda(*this, name->start, params);
}

// paren_or_lambda := "(" [ param { "," param } ] ")" "->" [ expression ] | "(" expression ")"
//   param := name [ ":" type ]
Node* Parser::paren_or_lambda() {
  const Snapshot s = snapshot();
  const int64_t open = advance();
  List* params = list();
  bool fits = true;
  if (!at_op(Op::RPAREN)) {
    do {
      const int64_t name = eat_name();
      if (name < 0) {
        fits = false;
        break;
      }
      Node* type = eat_op(Op::COLON) >= 0 ? compound_type() : nullptr;
      push(params, Value::of(lambda_param(*this, tok(name).start, last_end(), StrRef::token(u32(name)), type)));
    } while (eat_op(Op::COMMA) >= 0);
  }
  if (fits && eat_op(Op::RPAREN) >= 0 && eat_op(Op::ARROW) >= 0) return arrow_lambda(*this, tok(open).start, params);
  rollback(s);
  advance();
  Node* inner = expression();
  expect_op(Op::RPAREN, Msg::ExpectedRparenParen);
  return inner;
}

// block_lambda := METHOD parameters "->" statements ";"
Lambda* Parser::try_lambda_full() {
  const int64_t start = tok(advance()).start;
  List* params = parameters();
  if (eat_op(Op::ARROW) < 0) return nullptr;
  List* body = statements_until_semicolon(Msg::ExpectedSemicolonLambda);
  return make<Lambda>(start, last_end(), params, nullptr, body);
}

// creator := NEW type_name [ call_args ], the "(" taken even on a new line
New* Parser::creator() {
  const int64_t start = tok(advance()).start;
  const std::optional<TypeName> tn = type_name();
  if (!tn) {
    error(Msg::ExpectedTypeAfterNew);
    return make<New>(start, last_end(), make<TypeRef>(start, start, StrRef::empty(), list(), false), nullptr);
  }
  List* names = list();
  push(names, Value::of(tn->name));
  TypeRef* type = make<TypeRef>(start, last_end(), tn->text, names, false);
  List* args = at_op(Op::LPAREN) ? call_args() : nullptr;
  return make<New>(start, last_end(), type, args);
}

}  // namespace tarn::parse

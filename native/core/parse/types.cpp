// Type expressions: unions of named, generic, function and parenthesised
// members, with "?" marks. A TypeRef keeps the type's text (a contiguous run
// of token texts), the names it mentions and the nullable mark.
#include "keyword_sets.h"
#include "parser.h"

namespace tarn::parse {

namespace {

// The names of a type under construction. A parenthesised member hands over
// the names of the memoised inner type; they are adopted without copying
// until something must be added, so nested parentheses stay linear.
class TypeNames {
 public:
  explicit TypeNames(Parser& p) : p_(p) {}
  void add(StrRef name) {
    own();
    p_.push(list_, Value::of(name));
  }
  void extend(List* names) {
    if (names->size == 0) return;
    if (!list_) {
      list_ = names;
      shared_ = true;
      return;
    }
    own();
    for (uint32_t i = 0; i < names->size; ++i) p_.push(list_, names->items[i]);
  }
  List* take() { return list_ ? list_ : p_.list(); }

 private:
  void own() {
    if (list_ && !shared_) return;
    List* mine = p_.list();
    if (list_)
      for (uint32_t i = 0; i < list_->size; ++i) p_.push(mine, list_->items[i]);
    list_ = mine;
    shared_ = false;
  }
  Parser& p_;
  List* list_ = nullptr;
  bool shared_ = false;
};

// May the token after a "." continue a dotted type name? Stricter than
// at_name: capitalised statement keywords do not count.
bool dotted_part(const PTok& t) {
  if (t.kind == TokKind::IDENT) return true;
  return t.kind == TokKind::KEYWORD && (kNameKeywords.contains(t.kw) || t.kw == Kw::UNDEFINED);
}

}  // namespace

// compound_type := VOID | NEVER | UNKNOWN | member { "|" member }
//   member := "?" | (type_name | grouped_type) [ "?" ]
TypeRef* Parser::compound_type_unmemoised() {
  Nest nest(*this);
  const int64_t first = pos_;
  const PTok& f = peek();
  const auto first_ref = StrRef::token(static_cast<uint32_t>(first));
  if (at_kw({Kw::VOID, Kw::NEVER, Kw::UNKNOWN})) {
    advance();
    List* names = list();
    push(names, Value::of(first_ref));
    return make<TypeRef>(f.start, f.end, first_ref, names, false);
  }
  TypeNames names(*this);
  bool nullable = false;
  int members = 0;
  while (true) {
    if (eat_op(Op::QUESTION) >= 0) {
      nullable = true;
    } else if (auto tn = type_name()) {
      names.add(tn->name);
      if (eat_op(Op::QUESTION) >= 0) nullable = true;
    } else if (TypeRef* g = grouped_type()) {
      names.extend(g->names);
      if (eat_op(Op::QUESTION) >= 0) nullable = true;
    } else {
      break;
    }
    ++members;
    if (eat_op(Op::PIPE) < 0) break;
  }
  // Nothing read at all: report at the start and leave the cursor there. A
  // union that stops after "|" keeps what it read (its text ends in "|").
  if (members == 0) {
    error_at(Msg::ExpectedTypeName, first);
    return nullptr;
  }
  return make<TypeRef>(f.start, last_end(), StrRef::concat(static_cast<uint32_t>(first), static_cast<uint32_t>(pos_)),
                       names.take(), nullable);
}

// type_name := func_type | (name | UNDEFINED) { "::" name } { "." part } [ generic_type_args ]
std::optional<Parser::TypeName> Parser::type_name() {
  if (at_op(Op::LPAREN)) {
    const Snapshot s = snapshot();
    std::optional<StrRef> text = func_type();
    if (!text) {
      rollback(s);
      return std::nullopt;
    }
    return TypeName{StrRef::lit("(func)"), *text};
  }
  if (!at_name() && !at_kw(Kw::UNDEFINED)) return std::nullopt;
  const int64_t p = advance();
  while (at_op(Op::COLONCOLON)) {
    advance();
    if (eat_name() < 0) break;  // the "::" stays consumed
  }
  while (at_op(Op::DOT) && dotted_part(peek(1))) {
    advance();
    advance();
  }
  // Without a ">" that can close it the attempt could only fail.
  if (at_op(Op::LT) && generic_can_close(pos_)) {
    const Snapshot s = snapshot();
    if (!generic_type_args(true)) rollback(s);
  }
  return TypeName{StrRef::token(static_cast<uint32_t>(p)),
                  StrRef::concat(static_cast<uint32_t>(p), static_cast<uint32_t>(pos_))};
}

// grouped_type := "(" compound_type ")"
TypeRef* Parser::grouped_type() {
  if (!at_op(Op::LPAREN)) return nullptr;
  const Snapshot s = snapshot();
  const int64_t p = advance();
  TypeRef* inner = compound_type();
  if (!inner || eat_op(Op::RPAREN) < 0) {
    rollback(s);
    return nullptr;
  }
  // The names are shared with the memoised inner type, never changed.
  return make<TypeRef>(tok(p).start, last_end(), StrRef::concat(static_cast<uint32_t>(p), static_cast<uint32_t>(pos_)),
                       inner->names, inner->nullable);
}

// func_type := "(" [ compound_type { "," compound_type } [ "," ] ] ")" "->" compound_type
std::optional<StrRef> Parser::func_type() {
  const int64_t p = advance();
  while (!at_end() && !at_op(Op::RPAREN)) {
    if (!compound_type()) return std::nullopt;
    if (eat_op(Op::COMMA) < 0) break;
  }
  if (eat_op(Op::RPAREN) < 0 || eat_op(Op::ARROW) < 0) return std::nullopt;
  compound_type();  // a missing result type is reported there; the function type stands
  return StrRef::concat(static_cast<uint32_t>(p), static_cast<uint32_t>(pos_));
}

// generic_type_args := "<" [ name "=" ] compound_type { "," [ name "=" ] compound_type } ">"
bool Parser::generic_type_args(bool allow_named) {
  advance();
  if (at_op(Op::GT)) return false;
  do {
    if (allow_named && at_name() && op_ahead(1, Op::ASSIGN)) {
      advance();
      advance();
    }
    if (!compound_type()) return false;
  } while (eat_op(Op::COMMA) >= 0);
  return eat_op(Op::GT) >= 0;
}

}  // namespace tarn::parse

// Module level: the member loop, imports, annotations, methods and their
// parameters, structures, enumerations and module constants.
#include <algorithm>

#include "parser.h"

namespace tarn::parse {

namespace {

// Keywords at which module-level recovery stops (besides "@").
constexpr KwSet kMemberStarts = {Kw::IMPORT, Kw::METHOD, Kw::ABSTRACT, Kw::STATIC,
                                                     Kw::STRUCTURE, Kw::EXCEPTION, Kw::ENUMERATION, Kw::VAL,
                                                     Kw::VAR, Kw::USE, Kw::CONST};
constexpr KwSet kMethodStarts = {Kw::METHOD, Kw::STATIC, Kw::ABSTRACT};

// A member with annotations starts at its first annotation.
int64_t member_start(const List* annotations, int64_t own_start) {
  return list_size(annotations) > 0 ? list_first_start(annotations) : own_start;
}

Msg unterminated_message(TokKind k) {
  switch (k) {
    case TokKind::STRING: return Msg::UnterminatedString;
    case TokKind::PATTERN: return Msg::UnterminatedPattern;
    default: return Msg::UnterminatedComment;
  }
}

bool may_be_unterminated(TokKind k) {
  return k == TokKind::STRING || k == TokKind::PATTERN || k == TokKind::COMMENT;
}

}  // namespace

// ---------------------------------------------------------------- helpers

StrRef Parser::join_colons(const std::vector<uint32_t>& parts) {
  if (parts.empty()) return StrRef::empty();
  if (parts.size() == 1) return StrRef::token(parts[0]);
  auto* items = static_cast<uint32_t*>(arena_.allocate(sizeof(uint32_t) * parts.size(), alignof(uint32_t)));
  std::copy(parts.begin(), parts.end(), items);
  StrRef r;
  r.tag = StrRef::JOIN_COLONS;
  r.a = static_cast<uint32_t>(parts.size());
  r.parts = items;
  return r;
}

StrRef Parser::name_or_report(Msg m) {
  int64_t n = eat_name();
  if (n >= 0) return StrRef::token(static_cast<uint32_t>(n));
  error(m);
  return StrRef::empty();
}

// ---------------------------------------------------------------- module

// module := { module_member } EOF
Module* Parser::parse_module() {
  const int64_t start = peek().start;
  Module* module = make<Module>(start, start, list(), list());
  while (!at_end()) {
    const int64_t before = pos_;
    module_member(module);
    if (pos_ == before) {
      error(Msg::UnexpectedModuleCode);
      advance();
    }
  }
  // Literals and comments that never closed are only visible in the
  // unfiltered input; report them once the members are read.
  std::vector<Unterminated> open = unterminated_;
  std::stable_sort(open.begin(), open.end(), [](const Unterminated& a, const Unterminated& b) { return a.start < b.start; });
  for (const Unterminated& u : open) {
    if (!may_be_unterminated(u.kind)) continue;
    diags_.push(Diag::at(unterminated_message(u.kind), u.start, u.end));
  }
  module->end = peek().end;
  return module;
}

// module_member := "#" rest-of-line | import | annotations (method | structure | enum | module_const)
void Parser::module_member(Module* module) {
  if (at_op(Op::HASH)) {
    const int64_t line = tok(advance()).line;
    while (!at_end() && peek().line == line) advance();
    return;
  }
  if (at_kw(Kw::IMPORT)) {
    push(module->imports, Value::of(namespace_import()));
    return;
  }
  List* ann = annotations();
  if (at_kw(kMethodStarts)) {
    push(module->members, Value::of(method(ann)));
  } else if (at_kw({Kw::STRUCTURE, Kw::EXCEPTION})) {
    push(module->members, Value::of(structure(ann)));
  } else if (at_kw(Kw::ENUMERATION)) {
    push(module->members, Value::of(enum_(ann)));
  } else if (at_kw({Kw::VAL, Kw::VAR, Kw::USE, Kw::CONST})) {
    push(module->members, Value::of(module_const(ann)));
  } else if (list_size(ann) > 0) {
    error(Msg::AnnotationNeedsMember);
  } else {
    error(Msg::ExpectedModuleMember);
    recover_to_module_member();
  }
}

// skip tokens up to a member keyword or "@"
void Parser::recover_to_module_member() {
  while (!at_end()) {
    if (at_kw(kMemberStarts) || at_op(Op::AT)) return;
    advance();
  }
}

// import := IMPORT name { "::" name }
Import* Parser::namespace_import() {
  const int64_t start = tok(advance()).start;
  std::vector<uint32_t> parts;
  while (true) {
    const int64_t n = eat_name();
    if (n < 0) {
      error(Msg::ExpectedImportName);
      break;
    }
    parts.push_back(static_cast<uint32_t>(n));
    if (eat_op(Op::COLONCOLON) < 0) break;
  }
  return make<Import>(start, last_end(), join_colons(parts));
}

// annotations := { "@" [ name { "::" name } ] [ annotation_args on the same line ] }
List* Parser::annotations() {
  Nest nest(*this);
  List* result = list();
  while (at_op(Op::AT)) {
    const int64_t at = advance();
    std::vector<uint32_t> parts;
    while (true) {
      const int64_t n = eat_name();
      if (n < 0) break;
      parts.push_back(static_cast<uint32_t>(n));
      if (eat_op(Op::COLONCOLON) < 0) break;
    }
    // Arguments belong to the annotation only on its own line.
    List* args = at_op(Op::LPAREN) && peek().line == tok(at).line ? annotation_args() : list();
    push(result, Value::of(make<Annotation>(tok(at).start, last_end(), join_colons(parts), args)));
    if (parts.empty()) break;
  }
  return result;
}

// annotation_args := "(" [ arg { "," arg } ] ")"   arg := [ name "=" ] ( annotations | expression | <empty> )
List* Parser::annotation_args() {
  advance();
  List* args = list();
  while (!at_end() && !at_op(Op::RPAREN)) {
    if (at_name() && op_ahead(1, Op::ASSIGN)) {
      advance();
      advance();
    }
    if (at_op(Op::AT)) {
      annotations();
      push(args, Value::none());
    } else if (at_op(Op::COMMA)) {
      push(args, Value::none());
    } else {
      push(args, Value::of(expression()));
    }
    if (eat_op(Op::COMMA) < 0) break;
  }
  expect_op(Op::RPAREN, Msg::ExpectedRparenAnnotation);
  return args;
}

// method := [ STATIC ] [ ABSTRACT [ STATIC ] ] METHOD name parameters [ ":" type ] [ statements ";" ]
Method* Parser::method(List* ann) {
  const int64_t start = member_start(ann, peek().start);
  const bool is_static = eat_kw(Kw::STATIC) >= 0;
  const bool is_abstract = eat_kw(Kw::ABSTRACT) >= 0;
  if (is_abstract) eat_kw(Kw::STATIC);  // accepted in this place, but it does not make the method static
  if (eat_kw(Kw::METHOD) < 0) error(Msg::ExpectedMethodKw);
  const StrRef name = name_or_report(Msg::ExpectedMethodName);
  List* params = parameters();
  Node* return_type = eat_op(Op::COLON) >= 0 ? compound_type() : nullptr;
  List* body = is_abstract ? list() : statements_until_semicolon(Msg::ExpectedSemicolonMethod);
  return make<Method>(start, last_end(), name, params, return_type, body, is_static, is_abstract, ann);
}

// parameters := "(" { annotations name [ ":" type ] [ "=" expression ] [ "," ] } ")"
List* Parser::parameters() {
  List* params = list();
  if (expect_op(Op::LPAREN, Msg::ExpectedLparenMethod) < 0) return params;
  while (!at_end() && !at_op(Op::RPAREN)) {
    List* ann = annotations();
    const int64_t n = eat_name();
    if (n < 0) {
      error(Msg::ExpectedParamName);
      break;
    }
    Node* type = eat_op(Op::COLON) >= 0 ? compound_type() : nullptr;
    Node* def = eat_op(Op::ASSIGN) >= 0 ? expression() : nullptr;
    push(params, Value::of(make<Param>(member_start(ann, tok(n).start), last_end(),
                                       StrRef::token(static_cast<uint32_t>(n)), type, def, ann)));
    eat_op(Op::COMMA);
  }
  expect_op(Op::RPAREN, Msg::ExpectedRparenParams);
  return params;
}

// structure := (STRUCTURE | EXCEPTION) name { annotations (method | CONSTRUCTOR | object_field) } ";"
Structure* Parser::structure(List* ann) {
  const int64_t kw = advance();
  const int64_t start = member_start(ann, tok(kw).start);
  const StrRef name = name_or_report(Msg::ExpectedStructName);
  List* members = list();
  while (!at_end() && !at_op(Op::SEMICOLON)) {
    const int64_t before = pos_;
    List* member_ann = annotations();
    if (at_kw(kMethodStarts)) {
      push(members, Value::of(method(member_ann)));
    } else if (at_kw(Kw::CONSTRUCTOR)) {
      const PTok& t = tok(advance());
      push(members, Value::of(make<Constructor>(t.start, t.end, member_ann)));
    } else if (at_kw({Kw::REQ, Kw::VAL, Kw::VAR, Kw::USE})) {
      push(members, Value::of(object_field(member_ann)));
    } else {
      error(Msg::ExpectedStructMember);
      // A ";" after annotations still closes the structure.
      if (!at_op(Op::SEMICOLON)) advance();
    }
    if (pos_ == before) advance();
  }
  expect_op(Op::SEMICOLON, Msg::ExpectedSemicolonStruct);
  return make<Structure>(start, last_end(), StrRef::lit(keyword_name(tok(kw).kw)), name, members, ann);
}

// object_field := [ REQ ] (VAL | VAR | USE) [ REQ ] name [ ":" type ] [ "=" expression ]
ObjectField* Parser::object_field(List* ann) {
  const int64_t start = member_start(ann, peek().start);
  bool required = eat_kw(Kw::REQ) >= 0;
  StrRef kind = StrRef::lit("VAL");
  const int64_t k = eat_kw({Kw::VAL, Kw::VAR, Kw::USE});
  if (k >= 0)
    kind = StrRef::lit(keyword_name(tok(k).kw));
  else
    error(Msg::ExpectedFieldKw);
  if (!required) required = eat_kw(Kw::REQ) >= 0;
  const StrRef name = name_or_report(Msg::ExpectedFieldName);
  Node* type = eat_op(Op::COLON) >= 0 ? compound_type() : nullptr;
  Node* init = eat_op(Op::ASSIGN) >= 0 ? expression() : nullptr;
  return make<ObjectField>(start, last_end(), kind, name, type, init, required, ann);
}

// enum := ENUMERATION name { annotations ( method | name [ DEFAULT ] [ "," ] ) } ";"
Enum* Parser::enum_(List* ann) {
  const int64_t kw = advance();
  const int64_t start = member_start(ann, tok(kw).start);
  const StrRef name = name_or_report(Msg::ExpectedEnumName);
  List* items = list();
  List* methods = list();
  while (!at_end() && !at_op(Op::SEMICOLON)) {
    List* item_ann = annotations();
    if (at_kw(kMethodStarts)) {
      push(methods, Value::of(method(item_ann)));
      continue;
    }
    const int64_t n = eat_name();
    if (n < 0) {
      error(Msg::ExpectedEnumValue);
      // A ";" after annotations still closes the enumeration.
      if (!at_op(Op::SEMICOLON)) advance();
      continue;
    }
    const bool is_default = eat_kw(Kw::DEFAULT) >= 0;
    push(items, Value::of(make<EnumItem>(tok(n).start, last_end(), StrRef::token(static_cast<uint32_t>(n)),
                                         is_default)));
    eat_op(Op::COMMA);
  }
  expect_op(Op::SEMICOLON, Msg::ExpectedSemicolonEnum);
  return make<Enum>(start, last_end(), name, items, methods, ann);
}

// module_const := (VAL | VAR | USE | CONST) name [ ":" type ] [ "=" expression ]
ObjectField* Parser::module_const(List* ann) {
  const int64_t start = member_start(ann, peek().start);
  const int64_t kw = advance();
  const StrRef name = name_or_report(Msg::ExpectedConstName);
  Node* type = eat_op(Op::COLON) >= 0 ? compound_type() : nullptr;
  Node* init = eat_op(Op::ASSIGN) >= 0 ? expression() : nullptr;
  return make<ObjectField>(start, last_end(), StrRef::lit(keyword_name(tok(kw).kw)), name, type, init, false, ann);
}

}  // namespace tarn::parse

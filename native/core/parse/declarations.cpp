// Local declarations, USE statements, assignments and expression statements.
#include "keyword_sets.h"
#include "parser.h"

namespace tarn::parse {

// var_decl := (VAR | VAL) name [ ":" type ] [ "=" expression ]
VarDecl* Parser::var_decl() {
  const int64_t kw = advance();
  const int64_t name = eat_name();
  if (name < 0) error(Msg::ExpectedVarName);
  Node* type = eat_op(Op::COLON) >= 0 ? compound_type() : nullptr;
  Node* init = eat_op(Op::ASSIGN) >= 0 ? expression() : nullptr;
  if (!type && !init) error_at(Msg::DeclNeedsTypeOrValue, name >= 0 ? name : kw);
  return make<VarDecl>(tok(kw).start, last_end(), StrRef::lit(keyword_name(tok(kw).kw)),
                       name >= 0 ? StrRef::token(static_cast<uint32_t>(name)) : StrRef::empty(), type, init);
}

// use_statement := USE name (":" type | "=") ... as in var_decl | USE expression
Node* Parser::use_statement() {
  const int64_t kw = advance();
  const int64_t start = tok(kw).start;
  if (at_name() && (op_ahead(1, Op::COLON) || op_ahead(1, Op::ASSIGN))) {
    const int64_t name = advance();
    Node* type = eat_op(Op::COLON) >= 0 ? compound_type() : nullptr;
    Node* init = eat_op(Op::ASSIGN) >= 0 ? expression() : nullptr;
    return make<VarDecl>(start, last_end(), StrRef::lit("USE"), StrRef::token(static_cast<uint32_t>(name)), type, init);
  }
  Node* expr = expression();
  return make<UseStmt>(start, expr->end, expr);
}

// expression_statement := expression [ assign_op expression ]
// nullptr when no expression could be read here.
Node* Parser::expression_statement() {
  if (at_op(Op::SEMICOLON)) return nullptr;
  Node* target = expression();
  if (target->start == target->end) return nullptr;
  if (peek().kind == TokKind::OP && kAssignOps.contains(peek().op)) {
    const int64_t op = advance();
    Node* value = nullptr;
    if (at_op(Op::SEMICOLON) || at_end())
      error_at(Msg::ExpectedExprAfterAssign, op);
    else
      value = expression();
    return make<Assign>(target->start, last_end(), target, StrRef::token(static_cast<uint32_t>(op)), value);
  }
  return make<ExprStmt>(target->start, target->end, target);
}

}  // namespace tarn::parse

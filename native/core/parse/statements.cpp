// Statement lists, the statement dispatch, line recovery and the control
// statements. Statements have no terminator; ";" closes whole constructs and
// keywords (ELSE, WHEN, CATCH, FINALLY) separate their branches.
#include <algorithm>

#include "keyword_sets.h"
#include "parser.h"

namespace tarn::parse {

namespace {

// After a capitalised keyword of _UPPER_NAME_KEYWORDS, these operators make
// the keyword a name (an assignment target, a callee, an object).
constexpr OpSet kNameFollowers = {Op::ASSIGN, Op::PLUS_ASSIGN, Op::MINUS_ASSIGN, Op::STAR_ASSIGN,
                                                      Op::SLASH_ASSIGN, Op::DOT, Op::SAFE_DOT, Op::LBRACKET,
                                                      Op::LPAREN, Op::COLONCOLON, Op::BANG};

bool is_keyword_in(const PTok& t, const KeywordSet& set) { return t.kind == TokKind::KEYWORD && set.contains(t.kw); }

}  // namespace

// ---------------------------------------------------------------- lists

// statements_until_semicolon := { statement } ";"
List* Parser::statements_until_semicolon(Msg missing) {
  List* body = list();
  while (!at_end() && !at_op(Op::SEMICOLON)) {
    const int64_t before = pos_;
    Node* s = statement();
    if (s) push(body, Value::of(s));
    if (pos_ == before) {
      error(Msg::StatementUnparsed);
      recover_statement();
    }
  }
  if (eat_op(Op::SEMICOLON) < 0) error(missing);
  return body;
}

List* Parser::block_until(std::initializer_list<Kw> stops) { return block_until(std::span<const Kw>(stops)); }

// block_until(stops) := { statement } up to ";", EOF or a stop keyword, none consumed
List* Parser::block_until(std::span<const Kw> stops) {
  List* body = list();
  const auto at_stop = [&] {
    const PTok& t = peek();
    return t.kind == TokKind::KEYWORD && (t.kw != Kw::NONE || t.host_stop) &&
           std::find(stops.begin(), stops.end(), t.kw) != stops.end();
  };
  while (!at_end() && !at_op(Op::SEMICOLON) && !at_stop()) {
    const int64_t before = pos_;
    Node* s = statement();
    if (s) push(body, Value::of(s));
    if (pos_ == before) {
      error(Msg::StatementUnparsed);
      recover_statement();
    }
  }
  return body;
}

// drop the rest of the current line, keeping a ";" that closes the construct
void Parser::recover_statement() {
  const int64_t line = peek().line;
  while (!at_end() && peek().line == line && !at_op(Op::SEMICOLON)) advance();
}

// ---------------------------------------------------------------- dispatch

// statement := if | case | while | for | try | scope | BREAK | CONTINUE | return
//            | var_decl | use_statement | expression_statement
Node* Parser::statement() {
  Nest nest(*this);
  const PTok& t = peek();
  if (t.kind != TokKind::KEYWORD) return expression_statement();
  if (kCapitalisedNameKeywords.contains(t.kw) && t.upper_first) {
    const PTok& next = peek(1);
    if (next.kind == TokKind::OP && kNameFollowers.contains(next.op)) return expression_statement();
  }
  switch (t.kw) {
    case Kw::IF: return if_statement();
    case Kw::CASE: return case_statement();
    case Kw::WHILE: return while_statement();
    case Kw::FOR: return for_statement();
    case Kw::TRY: return try_statement();
    case Kw::SCOPE: return scope_statement();
    case Kw::BREAK: {
      const PTok& k = tok(advance());
      return make<Break>(k.start, k.end);
    }
    case Kw::CONTINUE: {
      const PTok& k = tok(advance());
      return make<Continue>(k.start, k.end);
    }
    case Kw::RETURN: return return_statement();
    case Kw::VAR:
    case Kw::VAL: return var_decl();
    case Kw::USE: return use_statement();
    default: return expression_statement();
  }
}

// ---------------------------------------------------------------- control statements

// if := IF expression block { ELSE IF(same line) expression block } [ ELSE block ] ";"
If* Parser::if_statement() {
  const int64_t start = tok(advance()).start;
  List* branches = list();
  const auto branch = [&] {
    Node* cond = expression();
    List* body = block_until({Kw::ELSE});
    push(branches, Value::tuple(arena_.tuple({Value::of(cond), Value::of_list(body)})));
  };
  branch();
  List* else_body = nullptr;
  while (at_kw(Kw::ELSE)) {
    const int64_t else_tok = advance();
    // Only an IF on the ELSE's own line continues the chain; on the next
    // line it is a nested statement of the ELSE body.
    if (at_kw(Kw::IF) && peek().line == tok(else_tok).line) {
      advance();
      branch();
      continue;
    }
    else_body = block_until({Kw::ELSE});
    if (at_kw(Kw::ELSE)) error(Msg::DuplicateElse);
    break;
  }
  expect_op(Op::SEMICOLON, Msg::ExpectedSemicolonIf);
  return make<If>(start, last_end(), branches, else_body);
}

// case := CASE [ expression ] { WHEN when_expression { "," when_expression } block } [ ELSE block ] ";"
Case* Parser::case_statement() {
  const int64_t start = tok(advance()).start;
  Node* subject = at_kw({Kw::WHEN, Kw::ELSE}) || at_op(Op::SEMICOLON) ? nullptr : expression();
  List* whens = list();
  while (at_kw(Kw::WHEN)) {
    const int64_t when_start = tok(advance()).start;
    List* conditions = list();
    do {
      push(conditions, Value::of(when_expression()));
    } while (eat_op(Op::COMMA) >= 0);
    List* body = block_until({Kw::WHEN, Kw::ELSE});
    push(whens, Value::of(make<CaseWhen>(when_start, last_end(), conditions, body)));
  }
  List* else_body = eat_kw(Kw::ELSE) >= 0 ? block_until({Kw::WHEN}) : nullptr;
  expect_op(Op::SEMICOLON, Msg::ExpectedSemicolonCase);
  return make<Case>(start, last_end(), subject, whens, else_body);
}

// when_expression := IS [ NOT ] type | compare_op expression | expression
// The subject is implied on the left, marked by a zero-width placeholder.
Node* Parser::when_expression() {
  const int64_t at = peek().start;
  const auto implied_subject = [&] { return make<Name>(at, at, StrRef::empty()); };
  if (eat_kw(Kw::IS) >= 0) {
    const bool negated = eat_kw(Kw::NOT) >= 0;
    Node* type = compound_type();
    return make<IsType>(at, last_end(), implied_subject(), negated, type);
  }
  if (peek().kind == TokKind::OP && kCompareOps.contains(peek().op)) {
    const int64_t op = advance();
    Node* right = expression();
    List* rest = list();
    push(rest, Value::tuple(arena_.tuple({Value::of(StrRef::token(static_cast<uint32_t>(op))), Value::of(right)})));
    return make<Compare>(at, right->end, implied_subject(), rest);
  }
  return expression();
}

// while := WHILE expression statements ";"
While* Parser::while_statement() {
  const int64_t start = tok(advance()).start;
  Node* cond = expression();
  List* body = statements_until_semicolon(Msg::ExpectedSemicolonWhile);
  return make<While>(start, last_end(), cond, body);
}

// for := FOR name IN expression statements ";"
//      | FOR name "=" expression [ DOWN ] TO expression [ STEP expression ] statements ";"
Node* Parser::for_statement() {
  const int64_t start = tok(advance()).start;
  const StrRef var = name_or_report(Msg::ExpectedLoopVar);
  if (eat_kw(Kw::IN) >= 0) {
    Node* source = expression();
    List* body = statements_until_semicolon(Msg::ExpectedSemicolonFor);
    return make<ForEach>(start, last_end(), var, source, body);
  }
  expect_op(Op::ASSIGN, Msg::ExpectedEqInFor);
  Node* from = expression();
  const bool down = eat_kw(Kw::DOWN) >= 0;
  if (eat_kw(Kw::TO) < 0) error(Msg::ExpectedPoInFor);
  Node* to = expression();
  Node* step = eat_kw(Kw::STEP) >= 0 ? expression() : nullptr;
  List* body = statements_until_semicolon(Msg::ExpectedSemicolonFor);
  return make<ForTo>(start, last_end(), var, from, down, to, step, body);
}

// try := TRY block { CATCH name ":" type block } [ FINALLY block ] ";"
Try* Parser::try_statement() {
  const int64_t start = tok(advance()).start;
  List* body = block_until({Kw::CATCH, Kw::FINALLY});
  List* catches = list();
  while (eat_kw(Kw::CATCH) >= 0) {
    const StrRef var = name_or_report(Msg::ExpectedCatchVar);
    expect_op(Op::COLON, Msg::ExpectedColonCatch);
    Node* type = compound_type();
    List* handler = block_until({Kw::CATCH, Kw::FINALLY});
    push(catches, Value::tuple(arena_.tuple({Value::of(var), Value::of(type), Value::of_list(handler)})));
  }
  List* finally_body = eat_kw(Kw::FINALLY) >= 0 ? block_until({Kw::CATCH}) : nullptr;
  expect_op(Op::SEMICOLON, Msg::ExpectedSemicolonTry);
  return make<Try>(start, last_end(), body, catches, finally_body);
}

// scope := SCOPE statements ";"
Scope* Parser::scope_statement() {
  const int64_t start = tok(advance()).start;
  List* body = statements_until_semicolon(Msg::ExpectedSemicolonScope);
  return make<Scope>(start, last_end(), body);
}

// return := RETURN [ expression ]   (no value before ";", EOF, a branch keyword
//           or a line that starts with a statement keyword)
Return* Parser::return_statement() {
  const int64_t r = advance();
  const bool bare = at_op(Op::SEMICOLON) || at_end() || starts_new_statement(tok(r).line);
  Node* value = bare ? nullptr : expression();
  return make<Return>(tok(r).start, last_end(), value);
}

bool Parser::starts_new_statement(int64_t prev_line) {
  const PTok& t = peek();
  if (is_keyword_in(t, kBranchKeywords)) return true;
  if (t.line == prev_line) return false;
  return is_keyword_in(t, kStatementStarts);
}

}  // namespace tarn::parse

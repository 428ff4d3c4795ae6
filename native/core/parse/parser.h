// The recursive-descent parser: cursor, diagnostics sink, snapshots, nesting
// guard and the memo of speculative rules. Grammar rules are member functions
// named after the rule they implement, defined in members.cpp, types.cpp,
// statements.cpp, declarations.cpp, expressions.cpp, postfix.cpp,
// primaries.cpp and literals.cpp.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../syntax/tree.h"
#include "../token.h"
#include "run_log.h"

namespace tarn::parse {

using namespace tarn::syntax;

enum class Kw : int16_t {
  NONE = -1,
#define KEYWORD(N) N,
#include "../keywords.def"
#undef KEYWORD
};
const char* keyword_name(Kw k);      // "METHOD", ...
Kw keyword_from_name(const char* s, size_t len);  // NONE when not a grammar keyword

enum class Op : int16_t {
  NONE = -1,
#define OPERATOR(N, T) N,
#include "../operators.def"
#undef OPERATOR
};
const char* operator_text(Op o);     // "(", "::", ...
Op operator_from_text(const char32_t* s, size_t len);  // NONE when not a grammar operator

enum class Msg : uint16_t {
#define MESSAGE(N, K, RU, EN) N,
#include "../messages.def"
#undef MESSAGE
  // A key a caller of statements_until_semicolon supplied that is not in the
  // catalogue: whoever supplied it knows its text.
  HostKey,
};
const char* message_key(Msg m);      // "parser.expected-expr", ...; "" for HostKey

// How many keywords, operators and messages (HostKey aside) the tables hold.
inline constexpr int kKeywordCount = 0
#define KEYWORD(N) +1
#include "../keywords.def"
#undef KEYWORD
    ;
inline constexpr int kOperatorCount = 0
#define OPERATOR(N, T) +1
#include "../operators.def"
#undef OPERATOR
    ;
inline constexpr int kMessageCount = static_cast<int>(Msg::HostKey);

// What the parser needs of one token, precomputed by whoever owns the tokens
// (the tokenizer's output, or a host token list).
struct PTok {
  int64_t start = 0, end = 0, line = 0, end_line = 0;
  TokKind kind = TokKind::OTHER;
  Kw kw = Kw::NONE;            // grammar keyword when kind is KEYWORD
  Op op = Op::NONE;            // grammar operator when kind is OP
  bool upper_first = false;    // first code point of the text is upper case (str.isupper)
  bool ends_with_qmark = false;  // the text ends with "?"
  bool empty_text = false;     // the text is ""
  // A keyword outside the grammar's table that a host's block_until names as
  // a stop (a stop list holding Kw::NONE stands for those names).
  bool host_stop = false;
};

// A token of the unfiltered input (comments included) whose literal or comment
// never closed; reported after the member loop, in source order.
struct Unterminated {
  int64_t start = 0, end = 0;
  TokKind kind = TokKind::STRING;
};

// A diagnostic as data: message, span, and for "statement-not-expr" the token
// whose text fills {kw}. The binding translates surviving ones.
struct Diag {
  Msg msg;
  int64_t start = 0, end = 0;
  int64_t kw_token = -1;
  // The span of an empty token is widened to one character. At INT64_MAX
  // start + 1 does not fit: `end` stays at start and the host adds the one.
  bool end_overflows = false;

  static Diag at(Msg m, int64_t start, int64_t end, int64_t kw_token = -1) {
    if (end > start) return Diag{m, start, end, kw_token, false};
    if (start == INT64_MAX) return Diag{m, start, start, kw_token, true};
    return Diag{m, start, start + 1, kw_token, false};
  }
};

struct Snapshot {
  int64_t pos = 0;
  size_t diags = 0;
};

// Thrown when nesting passes the bound or the real stack runs low; the
// binding turns it into RecursionError. `token` is where it happened.
struct NestingTooDeep { int64_t token; };
// Thrown when a rule reads outside the token array (a host moved pos there).
struct TokenIndexError {};
// Thrown when the host's poll (see Parser::set_poll) asks to stop, for
// instance on a pending Ctrl-C; the host has already recorded why.
struct Interrupted {};

class Parser {
 public:
  static constexpr int kMaxDepth = 1000;

  Parser(const PTok* toks, int64_t count, Arena& arena, int64_t start_pos = 0);

  // ------------------------------------------------------------ cursor
  const PTok& peek(int64_t ahead = 0) const;
  int64_t pos() const { return pos_; }
  void set_pos(int64_t p);
  bool at_end() const { return peek().kind == TokKind::EOF_; }
  int64_t advance();                              // index of the passed token
  bool at_kw(Kw k) const { const PTok& t = peek(); return t.kind == TokKind::KEYWORD && t.kw == k && k != Kw::NONE; }
  bool at_kw(std::initializer_list<Kw> ks) const;
  bool at_op(Op o) const { const PTok& t = peek(); return t.kind == TokKind::OP && t.op == o && o != Op::NONE; }
  bool at_op(std::initializer_list<Op> os) const;
  int64_t eat_kw(Kw k);                           // token index, or -1
  int64_t eat_kw(std::initializer_list<Kw> ks);
  int64_t eat_op(Op o);
  int64_t eat_op(std::initializer_list<Op> os);
  int64_t expect_op(Op o, Msg m);                 // token index, or -1 after reporting m
  void error(Msg m) { error_at(m, pos_); }
  void error_at(Msg m, int64_t token, int64_t kw_token = -1);
  Snapshot snapshot() const { return {pos_, diags_.mark()}; }
  void rollback(const Snapshot& s);
  bool at_name() const;
  int64_t eat_name();
  const PTok& tok(int64_t i) const { return toks_[i]; }
  int64_t count() const { return count_; }
  // End of the most recently consumed token (the one just before the cursor).
  int64_t last_end() const;

  // The diagnostics recorded so far, in order.
  std::vector<Diag> diags() const { return diags_.items(); }
  Arena& arena() { return arena_; }
  void set_unterminated(std::vector<Unterminated> u) { unterminated_ = std::move(u); }
  // Turns the memo of speculative rules off (the written algorithm, for tests).
  void set_memo(bool on) { memo_on_ = on; }
  // Called every few thousand advances; returning true stops the parse with
  // Interrupted. Lets a host honour Ctrl-C during a long parse.
  using PollFn = bool (*)(void* context);
  void set_poll(PollFn fn, void* context) { poll_ = fn; poll_context_ = context; }

  // ------------------------------------------------------------ grammar rules
  struct TypeName { StrRef name, text; };
  // The rules a host can call (rules.def), then the others.
#define RULE(name, host_name, Result, parameters, ...) Result name parameters;
#include "rules.inc"
#undef RULE
  List* block_until(std::initializer_list<Kw> stops);
  Node* typed_collection_literal();  // nullptr when it declines (rolled back)

  // ------------------------------------------------------------ helpers for rules
  template <class T, class... Fields>
  T* make(int64_t start, int64_t end, Fields&&... fields) {
    return arena_.make<T>(start, end, std::forward<Fields>(fields)...);
  }
  List* list() { return arena_.list(); }
  void push(List* l, const Value& v) { arena_.push(l, v); }
  Name* placeholder();  // zero-width Name "" at the current token
  // Is the token `ahead` of the cursor the operator o?
  bool op_ahead(int64_t ahead, Op o) const { const PTok& t = peek(ahead); return t.kind == TokKind::OP && t.op == o && o != Op::NONE; }
  // The texts of the given tokens joined with "::" ("" for none).
  StrRef join_colons(const std::vector<uint32_t>& parts);
  // The text of a name token taken here, or "" after reporting m.
  StrRef name_or_report(Msg m);

  // Counts one level of nesting for the lifetime of the object; throws
  // NestingTooDeep past kMaxDepth or when the real stack runs low.
  class Nest {
   public:
    explicit Nest(Parser& p);
    ~Nest() { --p_.depth_; }
   private:
    Parser& p_;
  };

 private:
  friend class Nest;
  // Memo of expression() and compound_type() per start position: the result,
  // the end position and the diagnostics recorded, replayed on reuse.
  struct MemoEntry {
    int64_t end_pos = -1;        // -1: nothing stored
    Node* result = nullptr;
    uint32_t diags = RunLog<Diag>::kEmpty;
  };
  bool memo_lookup(std::vector<MemoEntry>& memo, Node*& result);
  void memo_store(std::vector<MemoEntry>& memo, int64_t start_pos, size_t diags_before, Node* result);

  Node* expression_unmemoised();
  TypeRef* compound_type_unmemoised();

  // The loops of the expression ladder, each continuing from a left operand
  // already read, and the ternary check after IS with what keeps its
  // speculative then-branch linear and shallow (expressions.cpp explains).
  static constexpr int kMaxSpeculation = 32;
  struct ExpressionFrame;
  struct UndecidedCheck;
  Node* keyword_loop(Node* left, int level);
  Node* type_tests(Node* left);
  Node* suffixes(Node* left);
  Node* ternary_after_is(IsType* test);
  bool decide_at_expression_end(int64_t then_pos, IsType* test);
  void note_ternary_nesting(int64_t then_pos);
  Node* resume_after_check(const UndecidedCheck& check);
  Node* speculative_then();
  Node* then_with_deferrals();
  bool expression_memoised(int64_t pos) const;
  bool colon_at_or_after(int64_t i);
  ExpressionFrame* frame_ = nullptr;        // of the innermost expression()
  std::vector<uint8_t> then_meets_colon_;  // per then-branch position
  std::vector<uint16_t> ternary_nesting_;  // per expression() start, see note_ternary_nesting
  int speculation_depth_ = 0;
  int64_t last_colon_ = -2;                // -2: not looked for yet
  // The one-TypeRef list standing for the type-argument group from the "<"
  // at token lt up to the cursor (postfix.cpp).
  List* type_argument_group(int64_t lt);
  // At "." or "?.": the member of obj and a call after it; nullptr after
  // reporting a missing name, the operator consumed (postfix.cpp).
  Node* member_access(Node* obj, bool new_allowed);

  const PTok* toks_;
  int64_t count_;
  int64_t pos_;
  Arena& arena_;
  RunLog<Diag> diags_;
  std::vector<Unterminated> unterminated_;
  int depth_ = 0;
  uintptr_t stack_limit_ = 0;   // lowest safe stack address
  bool memo_on_ = true;
  PollFn poll_ = nullptr;
  void* poll_context_ = nullptr;
  uint32_t advances_ = 0;
  std::vector<MemoEntry> expr_memo_, type_memo_;
  std::vector<int64_t> generic_close_;  // see generic_can_close()
 public:
  // Fast, exact refusal for "<": false when no ">" can close a type-argument
  // group opened at token i (no balanced ">" inside a run of tokens that can
  // appear in types), so the speculative reading is skipped. Keeps chains such
  // as a < b < c < ... linear and shallow.
  bool generic_can_close(int64_t i);
};

}  // namespace tarn::parse

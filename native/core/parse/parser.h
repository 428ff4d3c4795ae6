// The recursive-descent parser: cursor, diagnostics sink, snapshots, nesting
// guard and the memo of speculative rules. Grammar rules are member functions
// named after the rule they implement, defined in members.cpp, types.cpp,
// statements.cpp, declarations.cpp, expressions.cpp, postfix.cpp,
// primaries.cpp and literals.cpp.
#pragma once
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../memory.h"
#include "../syntax/tree.h"
#include "../token.h"
#include "run_log.h"

namespace tarn::parse {

using namespace tarn::syntax;

enum class Kw : int8_t {
  NONE = -1,
#define KEYWORD(N) N,
#include "../keywords.def"
#undef KEYWORD
};
const char* keyword_name(Kw k);      // "METHOD", ...
Kw keyword_from_name(const char* s, size_t len);  // NONE when not a grammar keyword

enum class Op : int8_t {
  NONE = -1,
#define OPERATOR(N, T) N,
#include "../operators.def"
#undef OPERATOR
};
const char* operator_text(Op o);     // "(", "::", ...
Op operator_from_text(const char32_t* s, size_t len);  // NONE when not a grammar operator
// Length of the longest grammar operator, in code points.
inline constexpr size_t kMaxOperatorLength = std::max({
#define OPERATOR(N, T) sizeof(T) - 1,
#include "../operators.def"
#undef OPERATOR
});

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

// A set of grammar keywords or operators as a bit mask: both enums have
// fewer than 64 members. NONE is never a member.
template <class E>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> items) {
    for (E e : items) add(e);
  }
  template <size_t N>
  static constexpr EnumSet of(const E (&items)[N]) {
    EnumSet s;
    for (E e : items) s.add(e);
    return s;
  }
  constexpr bool contains(E e) const {
    const auto i = static_cast<uint64_t>(static_cast<int64_t>(e));
    return i < 64 && (bits_ >> i & 1);
  }

 private:
  constexpr void add(E e) {
    if (e != E::NONE) bits_ |= uint64_t{1} << static_cast<int>(e);
  }
  uint64_t bits_ = 0;
};
using KwSet = EnumSet<Kw>;
using OpSet = EnumSet<Op>;
static_assert(kKeywordCount <= 64 && kOperatorCount <= 64);

// What the parser needs of one token, precomputed by whoever owns the tokens
// (the tokenizer's output, or a host token list).
// Compact (40 bytes): the parser's working set is an array of these.
struct PTok {
  int64_t start = 0, end = 0, line = 0, end_line = 0;
  TokKind kind = TokKind::OTHER;
  Kw kw = Kw::NONE;            // grammar keyword when kind is KEYWORD
  Op op = Op::NONE;            // grammar operator when kind is OP
  bool upper_first = false;    // a keyword's first code point is upper case (str.isupper)
  bool ends_with_qmark = false;  // the text ends with "?"
  bool empty_text = false;     // the text is ""
  // A keyword outside the grammar's table that a host's block_until names as
  // a stop (a stop list holding Kw::NONE stands for those names).
  bool host_stop = false;
};
static_assert(sizeof(PTok) <= 40);

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
  // The common cases (the cursor inside the token array) are inline; every
  // other position goes through the out-of-line reading with the host's
  // indexing and the index error.
  const PTok& peek() const {
    if (static_cast<uint64_t>(pos_) < static_cast<uint64_t>(readable_)) [[likely]] return toks_[pos_];
    return peek_slow(0);
  }
  const PTok& peek(int64_t ahead) const {
    if (ahead >= 0 && ahead < readable_ && pos_ >= 0 && pos_ < readable_ - ahead) [[likely]] return toks_[pos_ + ahead];
    return peek_slow(ahead);
  }
  int64_t pos() const { return pos_; }
  void set_pos(int64_t p);
  bool at_end() const { return peek().kind == TokKind::EOF_; }
  int64_t advance() {                             // index of the passed token
    const int64_t i = pos_;  // what peek() reads (set_pos keeps it from being negative)
    if (peek().kind != TokKind::EOF_) ++pos_;
    // Counted here, asked every 4096 advances: no call per token.
    if (poll_ && (++advances_ & 4095) == 0) [[unlikely]] poll_now();
    return i;
  }
  bool at_kw(Kw k) const { const PTok& t = peek(); return t.kind == TokKind::KEYWORD && t.kw == k && k != Kw::NONE; }
  bool at_kw(KwSet ks) const { const PTok& t = peek(); return t.kind == TokKind::KEYWORD && ks.contains(t.kw); }
  bool at_op(Op o) const { const PTok& t = peek(); return t.kind == TokKind::OP && t.op == o && o != Op::NONE; }
  bool at_op(OpSet os) const { const PTok& t = peek(); return t.kind == TokKind::OP && os.contains(t.op); }
  int64_t eat_kw(Kw k) { return at_kw(k) ? advance() : -1; }  // token index, or -1
  int64_t eat_kw(KwSet ks) { return at_kw(ks) ? advance() : -1; }
  int64_t eat_op(Op o) { return at_op(o) ? advance() : -1; }
  int64_t eat_op(OpSet os) { return at_op(os) ? advance() : -1; }
  int64_t expect_op(Op o, Msg m) {                // token index, or -1 after reporting m
    const int64_t t = eat_op(o);
    if (t < 0) [[unlikely]] error(m);
    return t;
  }
  void error(Msg m) { error_at(m, pos_); }
  void error_at(Msg m, int64_t token, int64_t kw_token = -1);
  Snapshot snapshot() const { return {pos_, diags_.mark()}; }
  void rollback(const Snapshot& s) {
    pos_ = s.pos;
    diags_.cut(s.diags);
  }
  // A name here: an identifier, or a keyword that may stand as one.
  bool at_name() const {
    const PTok& t = peek();
    return t.kind == TokKind::IDENT || (t.kind == TokKind::KEYWORD && keyword_is_name(t));
  }
  int64_t eat_name() { return at_name() ? advance() : -1; }
  const PTok& tok(int64_t i) const { return toks_[i]; }
  int64_t count() const { return count_; }
  // End of the most recently consumed token (the one just before the cursor).
  int64_t last_end() const {
    if (pos_ > 0 && pos_ <= count_) [[likely]] return toks_[pos_ - 1].end;
    return last_end_slow();
  }

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
    explicit Nest(Parser& p) : p_(p) {
      if (++p_.depth_ > kMaxDepth || reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < p_.stack_limit_)
        [[unlikely]] p_.too_deep();
    }
    ~Nest() { --p_.depth_; }
   private:
    Parser& p_;
  };

 private:
  friend class Nest;
  const PTok& peek_slow(int64_t ahead) const;
  int64_t last_end_slow() const;
  static bool keyword_is_name(const PTok& t);
  void too_deep();
  void poll_now();
  // A table with an entry per token, allocated zeroed on first use, so pages
  // of entries never written are never touched.
  template <class T>
  class ZeroedTable {
   public:
    ZeroedTable() = default;
    ZeroedTable(const ZeroedTable&) = delete;
    ZeroedTable& operator=(const ZeroedTable&) = delete;
    ~ZeroedTable() { free_large(entries_, size_ * sizeof(T)); }
    T* find(int64_t i) const { return static_cast<uint64_t>(i) < size_ ? &entries_[i] : nullptr; }
    // nullptr when i is outside [0, count).
    T* at(int64_t i, int64_t count) {
      if (i < 0 || i >= count) return nullptr;
      if (!entries_) {
        entries_ = static_cast<T*>(allocate_large(static_cast<size_t>(count) * sizeof(T), true));
        size_ = static_cast<size_t>(count);
      }
      return &entries_[i];
    }

   private:
    T* entries_ = nullptr;
    size_t size_ = 0;
  };
  // Memo of expression() and compound_type() per start position: the result,
  // the end position and the diagnostics recorded, replayed on reuse. Token
  // indices fit 32 bits (string fields name tokens that way); past that the
  // memo stays empty, which reads as memo off.
  // An entry with no end but a result is an expression() paused at a check
  // (pause_at_check): the result is the check's test and `diags` indexes
  // paused_.
  struct MemoEntry {
    Node* result;
    uint32_t end_plus_one;  // 0: nothing stored
    uint32_t diags;
  };
  class Memo {
   public:
    const MemoEntry* find(int64_t pos) const {
      const MemoEntry* e = table_.find(pos);
      return e && e->end_plus_one ? e : nullptr;
    }
    MemoEntry* any(int64_t pos) const { return table_.find(pos); }
    MemoEntry* slot(int64_t pos, int64_t count) {
      return static_cast<uint64_t>(count) < UINT32_MAX ? table_.at(pos, count) : nullptr;
    }

   private:
    ZeroedTable<MemoEntry> table_;
  };
  bool memo_lookup(const Memo& memo, Node*& result);
  void memo_store(Memo& memo, int64_t start_pos, size_t diags_before, Node* result);

  Node* expression_unmemoised();
  TypeRef* compound_type_unmemoised();

  // The loops of the expression ladder, each continuing from a left operand
  // already read, and the ternary check after IS with what keeps its
  // speculative then-branch linear and shallow (expressions.cpp explains).
  static constexpr int kMaxSpeculation = 32;
  struct ExpressionFrame;
  struct UndecidedCheck;
  struct PausedCheck {
    int64_t then_pos;
    uint32_t diags;
    int32_t depth;
  };
  void pause_at_check(const ExpressionFrame& frame, int64_t start, size_t diags_before);
  Node* keyword_loop(Node* left, int level);
  Node* type_tests(Node* left);
  Node* suffixes(Node* left);
  Node* ternary_after_is(IsType* test);
  bool decide_at_expression_end(int64_t then_pos, IsType* test);
  void note_ternary_nesting(int64_t then_pos);
  Node* resume_after_check(const UndecidedCheck& check);
  Node* speculative_then();
  Node* then_with_deferrals();
  // Abandoning the current then-branch for a deferred one (expressions.cpp):
  // every read sees the end of input, so each rule up to the outermost check
  // finishes at once, and nothing read meanwhile is memoised.
  void begin_bail(int64_t deferred_pos);
  int64_t end_bail();
  bool bailing_ = false;
  int64_t bail_pos_ = 0;
  PTok bail_token_;
  bool expression_memoised(int64_t pos) const;
  bool colon_at_or_after(int64_t i);
  ExpressionFrame* frame_ = nullptr;        // of the innermost expression()
  ZeroedTable<uint8_t> then_meets_colon_;    // per then-branch position
  ZeroedTable<uint16_t> ternary_nesting_;    // per expression() start, see note_ternary_nesting
  std::vector<PausedCheck> paused_;          // see pause_at_check
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
  int64_t readable_;  // tokens peek() reads from the array: count_, or 0 while bailing
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
  Memo expr_memo_, type_memo_;
  // Per token: whether its "<" can close (kCloses), once its run is known
  // (kKnown); see generic_can_close().
  enum : uint8_t { kKnown = 1, kCloses = 2 };
  ZeroedTable<uint8_t> generic_close_;
  void find_generic_closes(int64_t i);
 public:
  // Fast, exact refusal for "<": false when no ">" can close a type-argument
  // group opened at token i (no balanced ">" inside a run of tokens that can
  // appear in types), so the speculative reading is skipped. Keeps chains such
  // as a < b < c < ... linear and shallow.
  bool generic_can_close(int64_t i);
};

}  // namespace tarn::parse

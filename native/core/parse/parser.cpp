// Parser core: tables, cursor, diagnostics, nesting guard, memo.
#include "parser.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "keyword_sets.h"

namespace tarn::parse {

namespace {
constexpr const char* kKeywordNames[] = {
#define KEYWORD(N) #N,
#include "../keywords.def"
#undef KEYWORD
};
constexpr const char* kOperatorTexts[] = {
#define OPERATOR(N, T) T,
#include "../operators.def"
#undef OPERATOR
};
constexpr const char* kMessageKeys[] = {
#define MESSAGE(N, K, RU, EN) K,
#include "../messages.def"
#undef MESSAGE
};

// Lowest address this thread's stack may grow to before we refuse to nest
// deeper; a margin is left for the binding and the host.
// The bounds of a thread's stack never change; asking for them can be slow
// (on the main thread glibc reads /proc/self/maps), so it is done once per thread.
uintptr_t compute_stack_limit();
uintptr_t stack_limit() {
  thread_local const uintptr_t limit = compute_stack_limit();
  return limit;
}

uintptr_t compute_stack_limit() {
  constexpr size_t kMargin = 256 * 1024;
  uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  pthread_attr_t attr;
  void* addr = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
  }
  uintptr_t low = reinterpret_cast<uintptr_t>(addr);
  // Unknown or implausible (unlimited rlimit): assume 8 MiB below here.
  if (!addr || size == 0 || size > (1ull << 32) || here < low || here - low > size)
    return here > (8u << 20) ? here - (8u << 20) + kMargin : 0;
  return low + std::min(kMargin, size / 4);
}
}  // namespace

const char* keyword_name(Kw k) { return k == Kw::NONE ? "" : kKeywordNames[static_cast<int>(k)]; }
const char* operator_text(Op o) { return o == Op::NONE ? "" : kOperatorTexts[static_cast<int>(o)]; }
const char* message_key(Msg m) { return m == Msg::HostKey ? "" : kMessageKeys[static_cast<int>(m)]; }

Kw keyword_from_name(const char* s, size_t len) {
  for (size_t i = 0; i < std::size(kKeywordNames); ++i)
    if (std::strlen(kKeywordNames[i]) == len && std::memcmp(kKeywordNames[i], s, len) == 0) return static_cast<Kw>(i);
  return Kw::NONE;
}

namespace {
// Grammar operators are one or two ASCII characters: one-character ones are
// found by direct index, two-character ones in a small open-addressed table.
struct OperatorIndex {
  static constexpr size_t kPairSlots = 64;
  int8_t single[128];
  struct Pair { char a = 0, b = 0; int8_t op = -1; } pairs[kPairSlots];
  static constexpr size_t slot(char32_t a, char32_t b) { return (a * 7 + b) & (kPairSlots - 1); }
  constexpr OperatorIndex() : single(), pairs() {
    for (auto& v : single) v = -1;
    for (size_t i = 0; i < std::size(kOperatorTexts); ++i) {
      const char* t = kOperatorTexts[i];
      if (t[1] == '\0') {
        single[static_cast<unsigned char>(t[0])] = static_cast<int8_t>(i);
      } else {
        size_t k = slot(static_cast<unsigned char>(t[0]), static_cast<unsigned char>(t[1]));
        while (pairs[k].op >= 0) k = (k + 1) & (kPairSlots - 1);
        pairs[k] = Pair{t[0], t[1], static_cast<int8_t>(i)};
      }
    }
  }
};
constexpr OperatorIndex kOperatorIndex;
static_assert(kMaxOperatorLength == 2, "grammar operators are one or two characters");
}  // namespace

Op operator_from_text(const char32_t* s, size_t len) {
  if (len == 1) return s[0] < 128 ? static_cast<Op>(kOperatorIndex.single[s[0]]) : Op::NONE;
  if (len != 2 || s[0] >= 128 || s[1] >= 128) return Op::NONE;
  for (size_t k = OperatorIndex::slot(s[0], s[1]);; k = (k + 1) & (OperatorIndex::kPairSlots - 1)) {
    const OperatorIndex::Pair& p = kOperatorIndex.pairs[k];
    if (p.op < 0) return Op::NONE;
    if (static_cast<char32_t>(p.a) == s[0] && static_cast<char32_t>(p.b) == s[1]) return static_cast<Op>(p.op);
  }
}

Parser::Parser(const PTok* toks, int64_t count, Arena& arena, int64_t start_pos)
    : toks_(toks), count_(count), readable_(count), pos_(0), arena_(arena), stack_limit_(stack_limit()) {
  set_pos(start_pos);
}

void Parser::set_pos(int64_t p) {
  // A host may set a negative position, which indexes from the end like a
  // list; the rules work with the equivalent index from the start.
  if (p < 0 && p >= -count_) p += count_;
  if (p < 0) p = count_;  // nothing there: the first read raises the index error
  pos_ = p;
}

// ---------------------------------------------------------------- cursor

const PTok& Parser::peek_slow(int64_t ahead) const {
  if (bailing_) return bail_token_;
  int64_t i = pos_;
  if (ahead != 0) {
    int64_t sum;
    i = __builtin_add_overflow(pos_, ahead, &sum) ? (ahead > 0 ? count_ - 1 : -1) : std::min(sum, count_ - 1);
  }
  if (i < 0) i += count_;  // host-style indexing from the end
  if (i < 0 || i >= count_) throw TokenIndexError{};
  return toks_[i];
}

void Parser::poll_now() {
  if (poll_(poll_context_)) throw Interrupted{};
}

void Parser::error_at(Msg m, int64_t token, int64_t kw_token) {
  int64_t i = token;
  if (i < 0) i += count_;
  if (i < 0 || i >= count_) throw TokenIndexError{};
  const PTok& t = toks_[i];
  diags_.push(Diag::at(m, t.start, t.end, kw_token));
}

bool Parser::keyword_is_name(const PTok& t) {
  if (kNameKeywords.contains(t.kw)) return true;
  if (kCapitalisedNameKeywords.contains(t.kw)) return t.upper_first;
  return false;
}

int64_t Parser::last_end_slow() const {
  if (count_ == 0) throw TokenIndexError{};
  int64_t i = pos_ - 1;
  if (i < 0) i += count_;
  if (i < 0 || i >= count_) throw TokenIndexError{};
  return toks_[i].end;
}

Name* Parser::placeholder() {
  const int64_t at = peek().start;
  return make<Name>(at, at, StrRef::empty());
}

void Parser::too_deep() {
  // Bailing out only finishes rules at the end of input: a few frames, never
  // a nesting the reading itself would reach.
  if (bailing_) return;
  --depth_;
  throw NestingTooDeep{pos_};
}

// ---------------------------------------------------------------- memo

bool Parser::memo_lookup(const Memo& memo, Node*& result) {
  if (bailing_) return false;
  const MemoEntry* e = memo.find(pos_);
  if (!e) return false;
  diags_.replay(e->diags);
  pos_ = e->end_plus_one - 1;
  result = e->result;
  return true;
}

void Parser::memo_store(Memo& memo, int64_t start_pos, size_t diags_before, Node* result) {
  if (bailing_) return;  // a result cut short
  MemoEntry* e = memo.slot(start_pos, count_);
  if (!e) return;
  e->end_plus_one = static_cast<uint32_t>(pos_ + 1);
  e->result = result;
  e->diags = diags_.seal(diags_before);
}

Node* Parser::expression() {
  if (!memo_on_) return expression_unmemoised();
  Node* r = nullptr;
  if (memo_lookup(expr_memo_, r)) return r;
  int64_t start = pos_;
  size_t before = diags_.mark();
  r = expression_unmemoised();
  memo_store(expr_memo_, start, before, r);
  return r;
}

TypeRef* Parser::compound_type() {
  if (!memo_on_) return compound_type_unmemoised();
  Node* r = nullptr;
  if (memo_lookup(type_memo_, r)) return static_cast<TypeRef*>(r);
  int64_t start = pos_;
  size_t before = diags_.mark();
  r = compound_type_unmemoised();
  memo_store(type_memo_, start, before, r);
  return static_cast<TypeRef*>(r);
}

// ---------------------------------------------------------------- "<" pre-check

namespace {
// Tokens that can stand between a "<" and the ">" that closes it. A "<" still
// open at any other token can never close, so runs of these tokens are
// independent of each other.
bool in_type_run(const PTok& t) {
  static constexpr OpSet kTypeOps = {Op::LT, Op::GT, Op::COLONCOLON, Op::DOT, Op::COMMA, Op::LPAREN,
                                     Op::RPAREN, Op::QUESTION, Op::PIPE, Op::ARROW, Op::ASSIGN};
  if (t.kind == TokKind::IDENT || t.kind == TokKind::KEYWORD) return true;
  return t.kind == TokKind::OP && kTypeOps.contains(t.op);
}
}  // namespace

bool Parser::generic_can_close(int64_t i) {
  uint8_t* e = generic_close_.at(i, count_);
  if (!e) return false;
  if (!(*e & kKnown)) find_generic_closes(i);
  return *e & kCloses;
}

// Matches "<" and ">" over the whole run of type tokens around token i, each
// ">" closing the nearest open "<"; every token of the run becomes known, so
// each run is read once however often it is asked about.
void Parser::find_generic_closes(int64_t i) {
  int64_t from = i;
  while (from > 0 && in_type_run(toks_[from - 1])) --from;
  std::vector<int64_t> open;
  int64_t k = from;
  for (; k < count_; ++k) {
    const PTok& t = toks_[k];
    uint8_t& e = *generic_close_.at(k, count_);
    e |= kKnown;
    if (t.kind == TokKind::OP && t.op == Op::LT) {
      open.push_back(k);
    } else if (t.kind == TokKind::OP && t.op == Op::GT) {
      if (!open.empty()) {
        *generic_close_.at(open.back(), count_) |= kCloses;
        open.pop_back();
      }
    } else if (!in_type_run(t)) {
      break;
    }
  }
}

}  // namespace tarn::parse

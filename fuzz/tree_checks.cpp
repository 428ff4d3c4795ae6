#include "tree_checks.h"

#include <string>
#include <unordered_set>

#include "support.h"

namespace tarn::fuzz {

using namespace tarn::syntax;

namespace {

// A tree holds a few records per token; far more means something repeats.
constexpr int64_t kRecordsPerToken = 64;

class TreeWalker {
 public:
  TreeWalker(int64_t text_length, int64_t token_count)
      : length_(text_length), tokens_(token_count), max_records_(kRecordsPerToken * (token_count + 1)) {}

  TreeFacts run(const Node* root) {
    FUZZ_CHECK(root != nullptr, "no tree");
    pending_.push_back(Item{root, nullptr});
    while (!pending_.empty()) {
      const Item item = pending_.back();
      pending_.pop_back();
      if (item.node) visit_record(item.node);
      else visit_list(item.list);
    }
    return std::move(facts_);
  }

 private:
  struct Item { const Node* node; const List* list; };

  void note(int64_t v) { facts_.fingerprint.push_back(v); }

  void visit_record(const Node* n) {
    // The memo may hand out one empty result twice (an expression missing
    // twice at one token); the conversion copies it per use. A shared record
    // that covers text would put the same tokens twice into the tree.
    if (!seen_.insert(n).second)
      FUZZ_CHECK(n->start == n->end, std::string(record_name(n->kind)) + " covering text reached twice");
    FUZZ_CHECK(n->kind != NodeKind::HostRef, "a host record in a parsed tree");
    FUZZ_CHECK(++facts_.records <= max_records_, "more than " + std::to_string(max_records_) + " records");
    const std::string what = std::string(record_name(n->kind)) + " [" + std::to_string(n->start) + ", " +
                             std::to_string(n->end) + ")";
    FUZZ_CHECK(0 <= n->start && n->start <= length_ && 0 <= n->end && n->end <= length_,
               what + " outside the text of length " + std::to_string(length_));
    note(static_cast<int64_t>(n->kind)), note(n->start), note(n->end);
    // Children are pushed in reverse, so the preorder follows field order.
    children_.clear();
    switch (n->kind) {
#define RECORD(N, B)                                                       \
  case NodeKind::N: {                                                      \
    const auto* r = static_cast<const N*>(static_cast<const Root*>(n));    \
    (void)r;
#define FIELD(R, F, S, D, K) field_##S(r->F, K, #R "." #F);
#define END(N) break; }
#define KINDS(...) Kinds{__VA_ARGS__}
#include "core/syntax/nodes.inc"
#undef KINDS
#undef RECORD
#undef FIELD
#undef END
      default: FUZZ_CHECK(false, "unknown record kind");
    }
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) pending_.push_back(*it);
  }

  void visit_list(const List* l) {
    FUZZ_CHECK(l->host == nullptr, "a host list in a parsed tree");
    note(l->size);
    std::vector<Item> items;
    for (uint32_t i = 0; i < l->size; ++i) {
      const Value& v = l->items[i];
      note(v.tag);
      switch (v.tag) {
        case Value::NONE: break;
        case Value::NODE: FUZZ_CHECK(v.node, "null record in a list"); items.push_back({v.node, nullptr}); break;
        case Value::STR: str(v.str, "list element"); break;
        case Value::LIST:
        case Value::TUPLE: FUZZ_CHECK(v.list, "null list in a list"); items.push_back({nullptr, v.list}); break;
        default: FUZZ_CHECK(false, "unknown value tag");
      }
    }
    for (auto it = items.rbegin(); it != items.rend(); ++it) pending_.push_back(*it);
  }

  void str(const StrRef& s, const char* field) {
    note(s.tag), note(s.a), note(s.tag == StrRef::CONCAT ? s.b : 0), note(s.drop_last);
    switch (s.tag) {
      case StrRef::NONE: break;
      case StrRef::STATIC: FUZZ_CHECK(s.text, std::string(field) + ": static text missing"); break;
      case StrRef::TOKEN: FUZZ_CHECK(s.a < tokens_, std::string(field) + ": token " + std::to_string(s.a)); break;
      case StrRef::CONCAT:
        FUZZ_CHECK(s.a <= s.b && s.b <= tokens_,
                   std::string(field) + ": tokens [" + std::to_string(s.a) + ", " + std::to_string(s.b) + ")");
        FUZZ_CHECK(!s.drop_last || s.b > s.a, std::string(field) + ": drops a character of nothing");
        break;
      case StrRef::JOIN_COLONS:
        FUZZ_CHECK(s.a == 0 || s.parts, std::string(field) + ": parts missing");
        for (uint32_t k = 0; k < s.a; ++k) {
          FUZZ_CHECK(s.parts[k] < tokens_, std::string(field) + ": part token " + std::to_string(s.parts[k]));
          note(s.parts[k]);
        }
        break;
      default: FUZZ_CHECK(false, std::string(field) + ": unknown string tag");
    }
  }

  // A record field holds one of `kinds` (or a record derived from one).
  void child(const Node* n, bool required, std::initializer_list<NodeKind> kinds, const char* field) {
    if (!n) {
      FUZZ_CHECK(!required, std::string(field) + " is missing");
      note(-1);
      return;
    }
    bool ok = false;
    for (NodeKind k : kinds) ok = ok || derives_from(n->kind, k);
    FUZZ_CHECK(ok, std::string(field) + " holds a " + record_name(n->kind));
    children_.push_back({n, nullptr});
  }
  void list(const List* l, bool required, const char* field) {
    if (!l) {
      FUZZ_CHECK(!required, std::string(field) + " is missing");
      note(-2);
      return;
    }
    children_.push_back({nullptr, l});
  }

  using Kinds = std::initializer_list<NodeKind>;
  void field_Str(const StrRef& s, Kinds, const char* f) {
    FUZZ_CHECK(!s.is_none(), std::string(f) + " is None");
    str(s, f);
  }
  void field_StrOrNone(const StrRef& s, Kinds, const char* f) { str(s, f); }
  void field_Int(int64_t v, Kinds, const char*) { note(v); }
  void field_Bool(bool v, Kinds, const char*) { note(v); }
  void field_List(const List* l, Kinds, const char* f) { list(l, true, f); }
  void field_ListOrNone(const List* l, Kinds, const char* f) { list(l, false, f); }
  void field_Node(const Node* n, Kinds k, const char* f) { child(n, true, k, f); }
  void field_NodeOrNone(const Node* n, Kinds k, const char* f) { child(n, false, k, f); }

  int64_t length_, tokens_, max_records_;
  TreeFacts facts_;
  std::vector<Item> pending_, children_;
  std::unordered_set<const Node*> seen_;
};

}  // namespace

TreeFacts check_tree(const Node* root, int64_t text_length, int64_t token_count) {
  return TreeWalker(text_length, token_count).run(root);
}

}  // namespace tarn::fuzz

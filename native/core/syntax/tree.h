// Syntax-tree records as native structs in a per-parse arena, built from the
// field table nodes.inc (generated from nodes.def). Strings are references to
// token texts (resolved by whoever owns the token values: the binding), so
// the core never copies source text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn::syntax {

// ---------------------------------------------------------------- kinds
enum class NodeKind : uint16_t {
#define RECORD(N, B) N,
#define FIELD(R, F, S, D, K)
#define END(N)
#include "nodes.inc"
#undef RECORD
#undef FIELD
#undef END
  HostRef,  // a record the host handed in (embedded by identity)
};
inline constexpr int kRecordCount = static_cast<int>(NodeKind::HostRef);

// ---------------------------------------------------------------- strings
// A string field or list element. Texts of tokens are named by token index
// (into the parser's token array); the owner of the tokens turns them into
// strings. CONCAT joins the texts of tokens [a, b) with nothing between them;
// with drop_last the final character of that join is left out. JOIN_COLONS
// joins the texts of the `a` tokens listed in `parts` with "::".
// 16 bytes: the fields each tag uses share their storage.
struct StrRef {
  enum Tag : uint8_t { NONE, STATIC, TOKEN, CONCAT, JOIN_COLONS };
  Tag tag = NONE;
  bool drop_last = false;
  uint32_t a = 0;                     // TOKEN: the token; CONCAT: the first; JOIN_COLONS: the count
  union {
    uint32_t b;                       // CONCAT: one past the last token
    const char* text;                 // STATIC: UTF-8, static storage
    const uint32_t* parts;            // JOIN_COLONS: `a` token indices (arena)
  };
  StrRef() : text(nullptr) {}

  static StrRef none() { return StrRef(); }
  static StrRef lit(const char* s) { StrRef r; r.tag = STATIC; r.text = s; return r; }
  static StrRef empty() { return lit(""); }
  static StrRef token(uint32_t i) { StrRef r; r.tag = TOKEN; r.a = i; return r; }
  static StrRef concat(uint32_t from, uint32_t to) { StrRef r; r.tag = CONCAT; r.a = from; r.b = to; return r; }
  bool is_none() const { return tag == NONE; }
};
static_assert(sizeof(StrRef) == 16);

struct Node;
struct List;

// An element of a list field: a record, a string, none, a nested list, or a
// tuple (pairs and triples of If.branches, Compare.rest, Try.catches,
// MapLit.entries).
struct Value {
  enum Tag : uint8_t { NONE, NODE, STR, LIST, TUPLE };
  Tag tag = NONE;
  union { StrRef str; Node* node; List* list; };
  Value() : node(nullptr) {}
  static Value none() { return Value(); }
  static Value of(Node* n) { Value v; if (n) { v.tag = NODE; v.node = n; } return v; }
  static Value of(StrRef s) { Value v; if (!s.is_none()) { v.tag = STR; v.str = s; } return v; }
  static Value of_list(List* l) { Value v; if (l) { v.tag = LIST; v.list = l; } return v; }
  static Value tuple(List* l) { Value v; v.tag = TUPLE; v.list = l; return v; }
};
static_assert(sizeof(Value) == 24);

// A list the host handed in (an annotation list passed to a rule from the
// host): the host object, its length and the start of its first element.
struct HostList {
  void* object = nullptr;
  int64_t size = 0;
  int64_t first_start = 0;
};

// A growable array in the arena, or an opaque host list (`host` set, `items`
// unused).
struct List {
  Value* items = nullptr;
  uint32_t size = 0, capacity = 0;
  const HostList* host = nullptr;
};

inline int64_t list_size(const List* l) { return l->host ? l->host->size : l->size; }
// Start of the first element (a record); only meaningful when list_size > 0.
int64_t list_first_start(const List* l);

// ---------------------------------------------------------------- records
struct Root { NodeKind kind; };

// How a field is stored and converted: Str and StrOrNone differ only for the
// host (a none text is "" or None), as do List and ListOrNone.
enum class FieldShape : uint8_t { Str, StrOrNone, Int, Bool, List, ListOrNone, Node, NodeOrNone };
// What the host class takes for an argument left out.
enum class FieldDefault : uint8_t { Required, EmptyList, False };

#define TARN_FIELD_STORAGE_Str StrRef
#define TARN_FIELD_STORAGE_StrOrNone StrRef
#define TARN_FIELD_STORAGE_Int int64_t
#define TARN_FIELD_STORAGE_Bool bool
#define TARN_FIELD_STORAGE_List List*
#define TARN_FIELD_STORAGE_ListOrNone List*
#define TARN_FIELD_STORAGE_Node Node*
#define TARN_FIELD_STORAGE_NodeOrNone Node*

#define RECORD(N, B) struct N : B {
#define FIELD(R, F, S, D, K) TARN_FIELD_STORAGE_##S F{};
#define END(N) static constexpr NodeKind kKind = NodeKind::N; };
#include "nodes.inc"
#undef RECORD
#undef FIELD
#undef END

// The number of fields a record adds to its base: Arena::make takes exactly
// these, so a field cannot be left out. (Bases below Node add none.)
template <class T> inline constexpr int kOwnFields = -1;
#define RECORD(N, B) template <> inline constexpr int kOwnFields<N> = 0
#define FIELD(R, F, S, D, K) +1
#define END(N) ;
#include "nodes.inc"
#undef RECORD
#undef FIELD
#undef END

struct HostRef : Node {
  void* host = nullptr;  // borrowed host object; the binding keeps it alive
  static constexpr NodeKind kKind = NodeKind::HostRef;
};
template <> inline constexpr int kOwnFields<HostRef> = 1;

// Is a record of kind k of kind `base` or derived from it? A host record
// (HostRef) counts as any.
bool derives_from(NodeKind k, NodeKind base);
const char* record_name(NodeKind k);

// ---------------------------------------------------------------- arena
// Bump allocator: one parse's nodes, lists and strings live and die together.
// Records are trivially destructible, so freeing the arena frees the tree at
// once, whatever its depth.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  void* allocate(size_t size, size_t align = alignof(std::max_align_t)) {
    size_t p = (used_ + align - 1) & ~(align - 1);
    if (blocks_.empty() || p + size > block_size_) {
      grow(size + align);
      p = (used_ + align - 1) & ~(align - 1);
    }
    used_ = p + size;
    return blocks_.back().data + p;
  }

  // A record with its span and every field it adds to its base, in table
  // order: make<If>(start, end, branches, else_body).
  template <class T, class... Fields>
  T* make(int64_t start, int64_t end, Fields&&... fields) {
    static_assert(std::is_trivially_destructible_v<T>);
    static_assert(sizeof...(Fields) == kOwnFields<T>, "a record takes every one of its fields");
    T* n = new (allocate(sizeof(T), alignof(T))) T{{}, std::forward<Fields>(fields)...};
    static_cast<Root*>(n)->kind = T::kKind;  // records with a `kind` field hide Root::kind
    n->start = start;
    n->end = end;
    return n;
  }

  List* list() { return new (allocate(sizeof(List), alignof(List))) List(); }
  void push(List* l, const Value& v) {
    if (l->size == l->capacity) grow_list(l);
    l->items[l->size++] = v;
  }
  List* tuple(std::initializer_list<Value> items);

  size_t bytes() const { return total_; }

  // Forgets every record and keeps the largest block for the next parse, so
  // a thread parsing file after file reuses memory it has already touched.
  void reset();

 private:
  void grow(size_t at_least);
  void grow_list(List* l);
  struct Block { char* data; size_t size; };
  std::vector<Block> blocks_;
  size_t block_size_ = 0, used_ = 0, total_ = 0;
};

}  // namespace tarn::syntax

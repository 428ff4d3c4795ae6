#include "tree.h"

#include <algorithm>

#include "../memory.h"

namespace tarn::syntax {

namespace {
struct KindInfo { const char* name; bool expr; bool stmt; };

template <class T> constexpr bool derives_expr = std::is_base_of_v<Expr, T>;
template <class T> constexpr bool derives_stmt = std::is_base_of_v<Stmt, T>;

constexpr KindInfo kKinds[] = {
#define RECORD(N, B) {#N, derives_expr<N>, derives_stmt<N>},
#define FIELD(R, F, T, D)
#define END(N)
#include "nodes.def"
#undef RECORD
#undef FIELD
#undef END
    {"HostRef", true, true},
};
}  // namespace

bool is_expr(NodeKind k) { return kKinds[static_cast<int>(k)].expr; }
bool is_stmt(NodeKind k) { return kKinds[static_cast<int>(k)].stmt; }
const char* record_name(NodeKind k) { return kKinds[static_cast<int>(k)].name; }

int64_t list_first_start(const List* l) {
  if (l->host) return l->host->first_start;
  const Value& v = l->items[0];
  return v.tag == Value::NODE ? v.node->start : 0;
}

Arena::~Arena() {
  for (const Block& b : blocks_) free_large(b.data, b.size);
}

void Arena::grow(size_t at_least) {
  size_t size = std::max<size_t>(at_least, blocks_.empty() ? 16 * 1024 : std::min<size_t>(block_size_ * 2, 4u << 20));
  blocks_.reserve(blocks_.size() + 1);
  blocks_.push_back(Block{static_cast<char*>(allocate_large(size, false)), size});
  block_size_ = size;
  used_ = 0;
  total_ += size;
}

// Most lists hold one element or none (names, arguments, type arguments), so
// the first array has room for exactly one; from there it grows fourfold,
// then twofold.
void Arena::grow_list(List* l) {
  const uint32_t cap = l->capacity == 0 ? 1 : l->capacity == 1 ? 4 : l->capacity * 2;
  auto* items = static_cast<Value*>(allocate(sizeof(Value) * cap, alignof(Value)));
  if (l->size) std::memcpy(static_cast<void*>(items), l->items, sizeof(Value) * l->size);
  l->items = items;
  l->capacity = cap;
}

List* Arena::tuple(std::initializer_list<Value> items) {
  List* l = list();
  l->items = static_cast<Value*>(allocate(sizeof(Value) * items.size(), alignof(Value)));
  l->capacity = static_cast<uint32_t>(items.size());
  for (const Value& v : items) l->items[l->size++] = v;
  return l;
}

}  // namespace tarn::syntax

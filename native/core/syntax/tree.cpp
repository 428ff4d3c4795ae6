#include "tree.h"

#include <algorithm>

#include "../memory.h"

namespace tarn::syntax {

namespace {
struct KindInfo { const char* name; NodeKind base; };

// The base of a record based on Root (a root record) is this sentinel.
constexpr NodeKind kNoBase = NodeKind::HostRef;
template <class B> constexpr NodeKind kind_of = B::kKind;
template <> constexpr NodeKind kind_of<Root> = kNoBase;

constexpr KindInfo kKinds[] = {
#define RECORD(N, B) {#N, kind_of<B>},
#define FIELD(R, F, S, D, K)
#define END(N)
#include "nodes.inc"
#undef RECORD
#undef FIELD
#undef END
    {"HostRef", kNoBase},
};
}  // namespace

bool derives_from(NodeKind k, NodeKind base) {
  if (k == NodeKind::HostRef) return true;  // a host record stands where its rule expects one
  for (; k != kNoBase; k = kKinds[static_cast<int>(k)].base)
    if (k == base) return true;
  return false;
}

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

void Arena::reset() {
  if (blocks_.empty()) return;
  auto largest = std::max_element(blocks_.begin(), blocks_.end(), [](const Block& a, const Block& b) { return a.size < b.size; });
  const Block keep = *largest;
  for (const Block& b : blocks_)
    if (b.data != keep.data) free_large(b.data, b.size);
  blocks_.assign(1, keep);
  block_size_ = total_ = keep.size;
  used_ = 0;
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

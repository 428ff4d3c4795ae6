#include "tree.h"

#include <algorithm>

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
  if (l->host) return l->host_first_start;
  const Value& v = l->items[0];
  return v.tag == Value::NODE ? v.node->start : 0;
}

void Arena::grow(size_t at_least) {
  size_t size = std::max<size_t>(at_least, blocks_.empty() ? 16 * 1024 : std::min<size_t>(block_size_ * 2, 4u << 20));
  blocks_.emplace_back(new char[size]);
  block_size_ = size;
  used_ = 0;
  total_ += size;
}

void Arena::push(List* l, const Value& v) {
  if (l->size == l->capacity) {
    uint32_t cap = l->capacity ? l->capacity * 2 : 4;
    auto* items = static_cast<Value*>(allocate(sizeof(Value) * cap, alignof(Value)));
    if (l->size) std::memcpy(static_cast<void*>(items), l->items, sizeof(Value) * l->size);
    l->items = items;
    l->capacity = cap;
  }
  l->items[l->size++] = v;
}

List* Arena::tuple(std::initializer_list<Value> items) {
  List* l = list();
  for (const Value& v : items) push(l, v);
  return l;
}

}  // namespace tarn::syntax

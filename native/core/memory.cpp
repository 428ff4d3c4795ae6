#include "memory.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarn {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// Below this, malloc's own reuse of freed memory serves better.
constexpr size_t kLarge = kHugePage;

}  // namespace

#if defined(__linux__) && defined(MADV_HUGEPAGE)

void* allocate_large(size_t bytes, bool zeroed) {
  if (bytes < kLarge) {
    void* p = zeroed ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (!p) throw std::bad_alloc();
    return p;
  }
  // A mapping of whole huge pages at a huge-page boundary: map one page more,
  // then cut off what lies before the boundary and after the end.
  const size_t size = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto base = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (base + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > base) munmap(raw, aligned - base);
  const uintptr_t tail = aligned + size, end = base + size + kHugePage;
  if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void free_large(void* p, size_t bytes) {
  if (!p) return;
  if (bytes < kLarge) {
    std::free(p);
    return;
  }
  munmap(p, (bytes + kHugePage - 1) & ~(kHugePage - 1));
}

void prefer_huge_pages(void* p, size_t bytes) {
  const auto begin = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

#else

void* allocate_large(size_t bytes, bool zeroed) {
  void* p = zeroed ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void free_large(void* p, size_t) { std::free(p); }

void prefer_huge_pages(void*, size_t) {}

#endif

}  // namespace tarn

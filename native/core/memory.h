// Large per-parse allocations (arena blocks, per-token tables, token arrays).
// On a large input the first touch of fresh memory costs more than the parse
// itself: thousands of page faults. Where the system offers huge pages these
// allocations ask for them, so a few faults map megabytes.
#pragma once
#include <cstddef>

namespace tarn {

// Memory of `bytes`, zero-filled when asked; throws std::bad_alloc. Release
// it with free_large(p, bytes), the same size.
void* allocate_large(size_t bytes, bool zeroed);
void free_large(void* p, size_t bytes);

// Advice for memory not touched yet (a vector's reserved capacity): back the
// whole 2 MiB pages inside [p, p + bytes) with huge pages. Never required.
void prefer_huge_pages(void* p, size_t bytes);

}  // namespace tarn

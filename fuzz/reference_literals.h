// The string-literal and interpolation scanners written the plain recursive
// way, step for step as the language describes them. The core scans
// iteratively (its depth must not cost stack); the fuzz targets compare the
// two on inputs small enough for this version's recursion.
#pragma once
#include <cstdint>

#include "core/text.h"

namespace tarn::reference {

// Host string indexing: a negative index counts from the end.
inline char32_t at(const Text& t, int64_t i) { return t.at(i < 0 ? i + t.length : i); }

inline int64_t skip_interpolation(const Text& t, int64_t start);

// The loop body shared by a top-level literal and one nested in an
// interpolation: returns where the scan stopped and whether a quote closed it.
inline int64_t scan_literal_body(const Text& t, int64_t j, bool& closed) {
  const int64_t n = t.length;
  closed = false;
  while (j < n) {
    const char32_t c = at(t, j);
    if (c == U'\\') {
      j += 2;
    } else if (c == U'"') {
      closed = true;
      return j;
    } else if ((c == U'%' || c == U'$') && j + 1 < n && at(t, j + 1) == U'{') {
      j = reference::skip_interpolation(t, j + 2);
    } else {
      ++j;
    }
  }
  return j;
}

inline int64_t skip_interpolation(const Text& t, int64_t start) {
  const int64_t n = t.length;
  int64_t depth = 1, i = start;
  while (i < n) {
    const char32_t c = at(t, i);
    if (c == U'\\') {
      i += 2;
    } else if (c == U'"') {
      bool closed;
      const int64_t j = scan_literal_body(t, i + 1, closed);
      i = closed ? j + 1 : j;
    } else if (c == U'{') {
      ++depth, ++i;
    } else if (c == U'}') {
      if (--depth == 0) return i + 1;
      ++i;
    } else {
      ++i;
    }
  }
  return n;
}

// End of the string literal whose opening quote is at `i`, and whether it closed.
inline int64_t string_literal_end(const Text& t, int64_t i, bool& closed) {
  int64_t j = scan_literal_body(t, i + 1, closed);
  if (closed) ++j;
  return j < t.length ? j : t.length;
}

// Deepest interpolation nesting the recursive version would reach from `i`:
// an upper bound (every "${" or "%{" counts), used to keep recursion shallow.
inline int64_t interpolation_openers(const Text& t, int64_t from) {
  int64_t count = 0;
  for (int64_t k = from; k + 1 < t.length; ++k)
    if ((t.at(k) == U'$' || t.at(k) == U'%') && t.at(k + 1) == U'{') ++count;
  return count;
}

}  // namespace tarn::reference

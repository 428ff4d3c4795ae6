#include "linemap.h"

#include <algorithm>
#include <cstring>

namespace tarn {
namespace {

// Does the 8-byte word hold a code unit below 16 ("\r" and "\n" are)? The
// classic test for a zero unit, on the units shifted right by four.
template <class U>
bool has_control_unit(const U* s) {
  uint64_t w;
  std::memcpy(&w, s, 8);
  if constexpr (sizeof(U) == 1) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    const uint64_t v = (w >> 4) & 0x0F0F0F0F0F0F0F0Full;
    return ((v - kOnes) & ~v & kHighs) != 0;
  } else if constexpr (sizeof(U) == 2) {
    constexpr uint64_t kOnes = 0x0001000100010001ull, kHighs = 0x8000800080008000ull;
    const uint64_t v = (w >> 4) & 0x0FFF0FFF0FFF0FFFull;
    return ((v - kOnes) & ~v & kHighs) != 0;
  } else {
    return (w & 0xFFFFFFF0ull) == 0 || (w & 0xFFFFFFF000000000ull) == 0;
  }
}

template <class U>
void collect_line_starts(const U* s, int64_t n, std::vector<int64_t>& out) {
  constexpr int64_t kPerWord = 8 / sizeof(U);
  for (int64_t i = 0; i < n;) {
    // Runs of text without control characters, a word at a time.
    if (i + kPerWord <= n && !has_control_unit(s + i)) {
      i += kPerWord;
      continue;
    }
    const char32_t c = s[i];
    if (c == U'\r') {
      i += (i + 1 < n && s[i + 1] == U'\n') ? 2 : 1;
      out.push_back(i);
    } else if (c == U'\n') {
      out.push_back(++i);
    } else {
      ++i;
    }
  }
}

// Python's bisect.bisect_right, step for step, so even an unsorted table
// (a host may hand one in) gives the host's answer.
int64_t bisect_right(const int64_t* a, int64_t n, int64_t x) {
  int64_t lo = 0, hi = n;
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (x < a[mid]) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

// Index 0 of a 1-based line reads the last element, as starts[-1] does.
LineCol linecol_at(const int64_t* starts, int64_t n, int64_t offset, int64_t line) {
  const int64_t base = starts[line > 0 ? line - 1 : n - 1];
  // Unsigned arithmetic: host-made tables may hold values whose difference
  // overflows; wrap instead of undefined behaviour.
  const auto col = static_cast<uint64_t>(offset) - static_cast<uint64_t>(base) + 1u;
  return {line, static_cast<int64_t>(col)};
}

bool ascending(const int64_t* a, int64_t n) {
  for (int64_t i = 1; i < n; ++i)
    if (a[i] < a[i - 1]) return false;
  return true;
}

// Counts the table entries <= offset, moving `line` forward from where the
// previous (smaller or equal) offset left it; on a sorted table that count is
// exactly bisect_right. A step backwards falls back to the binary search.
class LineCursor {
 public:
  LineCursor(const int64_t* starts, int64_t n) : starts_(starts), n_(n) {}
  LineCol at(int64_t offset) {
    if (offset < last_) {
      line_ = bisect_right(starts_, n_, offset);
    } else {
      while (line_ < n_ && starts_[line_] <= offset) ++line_;
    }
    last_ = offset;
    return linecol_at(starts_, n_, offset, line_);
  }

 private:
  const int64_t* starts_;
  int64_t n_;
  int64_t line_ = 0;
  int64_t last_ = INT64_MIN;
};

}  // namespace

std::vector<int64_t> line_starts(const Text& text) {
  std::vector<int64_t> out;
  out.reserve(static_cast<size_t>(text.length / 32 + 1));
  out.push_back(0);
  visit_text(text, [&](const auto* s) { collect_line_starts(s, text.length, out); });
  return out;
}

LineCol position_of(const Text& text, int64_t offset) {
  int64_t line = 1, start = 0;
  const int64_t end = std::min(offset, text.length);
  visit_text(text, [&](const auto* s) {
    for (int64_t i = 0; i < end; ++i) {
      if (s[i] == U'\n') {
        ++line, start = i + 1;
      } else if (s[i] == U'\r') {
        if (i + 1 < text.length && s[i + 1] == U'\n') {
          if (i + 2 <= offset) ++line, start = i + 2;
          ++i;
        } else {
          ++line, start = i + 1;
        }
      }
    }
  });
  return {line, offset - start + 1};
}

LineCol linecol(const int64_t* starts, int64_t n, int64_t offset) {
  return linecol_at(starts, n, offset, bisect_right(starts, n, offset));
}

void assign_positions(std::vector<Token>& tokens, const int64_t* starts, int64_t n) {
  if (!ascending(starts, n)) {
    for (Token& t : tokens) {
      const LineCol a = linecol(starts, n, t.start), b = linecol(starts, n, t.end);
      t.line = a.line, t.col = a.col, t.end_line = b.line, t.end_col = b.col;
    }
    return;
  }
  LineCursor cursor(starts, n);
  for (Token& t : tokens) {
    const LineCol a = cursor.at(t.start), b = cursor.at(t.end);
    t.line = a.line, t.col = a.col, t.end_line = b.line, t.end_col = b.col;
  }
}

}  // namespace tarn

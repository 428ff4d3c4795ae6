#include "utf8.h"

#include <algorithm>
#include <cstring>

namespace tarn {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Length (2 to 4) and code point of the well-formed multi-byte sequence at
// p[i], or 0. The host reports every malformed sequence at its first byte.
[[gnu::always_inline]] inline int multibyte(const unsigned char* p, size_t n, size_t i, char32_t& cp) {
  const unsigned b = p[i];
  // Two-byte sequences (Cyrillic, Greek, accented Latin) first and inline.
  if (b - 0xC2u < 0x1Eu && i + 1 < n && (p[i + 1] & 0xC0u) == 0x80u) {
    cp = (b & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu);
    return 2;
  }
  const auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return k < n && p[k] >= lo && p[k] <= hi; };
  if (b < 0xC2) return 0;
  if (b < 0xE0) {
    if (!cont(i + 1)) return 0;
    cp = (b & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu);
    return 2;
  }
  if (b < 0xF0) {
    if (!cont(i + 1, b == 0xE0 ? 0xA0 : 0x80, b == 0xED ? 0x9F : 0xBF) || !cont(i + 2)) return 0;
    cp = (b & 0x0Fu) << 12 | (p[i + 1] & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu);
    return 3;
  }
  if (b < 0xF5) {
    if (!cont(i + 1, b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) || !cont(i + 2) || !cont(i + 3)) return 0;
    cp = (b & 0x07u) << 18 | (p[i + 1] & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 | (p[i + 3] & 0x3Fu);
    return 4;
  }
  return 0;
}

inline bool ascii_word(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return (w & kHighBits) == 0;
}

// Decodes and validates p[0, n) into `out`, which has room for every code
// point; returns the offset of the first malformed sequence, or -1.
template <class U>
int64_t store(const unsigned char* p, size_t n, U* out) {
  for (size_t i = 0; i < n;) {
    if (p[i] < 0x80) {
      if (i + 8 <= n && ascii_word(p + i)) {
        for (int k = 0; k < 8; ++k) out[k] = p[i + k];
        out += 8, i += 8;
      } else {
        *out++ = p[i++];
      }
      continue;
    }
    // A run of two-byte sequences (a Cyrillic word) without the general case.
    while (i + 1 < n && p[i] - 0xC2u < 0x1Eu && (p[i + 1] & 0xC0u) == 0x80u) {
      *out++ = static_cast<U>((p[i] & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu));
      i += 2;
    }
    if (i < n && p[i] >= 0x80) {
      char32_t cp = 0;
      const int len = multibyte(p, n, i, cp);
      if (len == 0) return static_cast<int64_t>(i);
      *out++ = static_cast<U>(cp);
      i += static_cast<size_t>(len);
    }
  }
  return -1;
}

}  // namespace

bool decode_utf8_text(std::string_view bytes, DecodedText& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  // One cheap pass the compiler vectorises: in valid UTF-8 the largest byte
  // decides the widest code point (a lead byte from 0xF0 starts one above
  // U+FFFF, from 0xC4 one above U+FF), and every byte but a continuation
  // byte starts a code point. Decoding then validates as it stores.
  unsigned top = 0;
  size_t continuations = 0;
  for (size_t i = 0; i < n; ++i) {
    top = std::max<unsigned>(top, p[i]);
    continuations += (p[i] & 0xC0u) == 0x80u;
  }
  const uint8_t width = top < 0xC4 ? 1 : top < 0xF0 ? 2 : 4;
  const auto length = static_cast<int64_t>(n - continuations);
  out.units.reset(new unsigned char[static_cast<size_t>(length) * width + 1]);
  out.width = width;
  switch (width) {
    case 1: out.error_offset = store(p, n, out.units.get()); break;
    case 2: out.error_offset = store(p, n, reinterpret_cast<uint16_t*>(out.units.get())); break;
    default: out.error_offset = store(p, n, reinterpret_cast<uint32_t*>(out.units.get())); break;
  }
  if (out.error_offset >= 0) {
    out.units.reset();
    out.length = 0;
    out.width = 1;
    return false;
  }
  out.length = length;
  return true;
}

}  // namespace tarn

#include "utf8.h"

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

template <class U>
void store(const unsigned char* p, size_t n, U* out) {
  for (size_t i = 0; i < n;) {
    if (i + 8 <= n && ascii_word(p + i)) {
      for (int k = 0; k < 8; ++k) out[k] = p[i + k];
      out += 8, i += 8;
    } else if (p[i] < 0x80) {
      *out++ = p[i++];
    } else {
      char32_t cp = 0;
      i += static_cast<size_t>(multibyte(p, n, i, cp));
      *out++ = static_cast<U>(cp);
    }
  }
}

}  // namespace

bool decode_utf8_text(std::string_view bytes, DecodedText& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  // First pass: validity, length and the widest code point (an OR of all of
  // them crosses 0x100 or 0x10000 exactly when one of them does).
  int64_t length = 0;
  char32_t any = 0;
  for (size_t i = 0; i < n;) {
    if (i + 8 <= n && ascii_word(p + i)) {
      i += 8, length += 8;
    } else if (p[i] < 0x80) {
      ++i, ++length;
    } else {
      char32_t cp = 0;
      const int len = multibyte(p, n, i, cp);
      if (len == 0) {
        out.units.reset();
        out.length = 0;
        out.width = 1;
        out.error_offset = static_cast<int64_t>(i);
        return false;
      }
      any |= cp;
      i += static_cast<size_t>(len), ++length;
    }
  }
  const uint8_t width = any < 0x100 ? 1 : any < 0x10000 ? 2 : 4;
  out.units.reset(new unsigned char[static_cast<size_t>(length) * width + 1]);
  out.length = length;
  out.width = width;
  out.error_offset = -1;
  switch (width) {
    case 1: store(p, n, out.units.get()); break;
    case 2: store(p, n, reinterpret_cast<uint16_t*>(out.units.get())); break;
    default: store(p, n, reinterpret_cast<uint32_t*>(out.units.get())); break;
  }
  return true;
}

}  // namespace tarn

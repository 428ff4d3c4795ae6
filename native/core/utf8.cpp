#include "utf8.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

namespace tarn {
namespace {

// Units the block stores may write past the last code point.
constexpr size_t kSlack = 16;

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

// One well-formed or malformed sequence at p[i]: stores it and returns the
// offset after it, or -1 - i when it is malformed.
template <class U>
[[gnu::always_inline]] inline int64_t store_one(const unsigned char* p, size_t n, size_t i, U*& out) {
  if (p[i] < 0x80) {
    *out++ = p[i];
    return static_cast<int64_t>(i + 1);
  }
  char32_t cp = 0;
  const int len = multibyte(p, n, i, cp);
  if (len == 0) return -1 - static_cast<int64_t>(i);
  *out++ = static_cast<U>(cp);
  return static_cast<int64_t>(i + static_cast<size_t>(len));
}

#if defined(__SSE2__)
// Sixteen bytes at p (and the one after them, p[16]) of ASCII and two-byte
// sequences only, starting at a sequence boundary, as the code points their
// sequences make: `lo` and `hi` hold one per byte (meaningful where a
// sequence starts), `starts` marks those bytes, `took` is 16, or 17 when the
// last byte is a lead byte. False when the block holds anything else or is malformed,
// for the sequence-at-a-time path to take (and to report where).
struct TwoByteBlock {
  __m128i lo, hi;  // values of bytes 0-7 and 8-15, sixteen bits each
  unsigned starts;
  size_t took;
};

[[gnu::always_inline]] inline bool two_byte_block(const unsigned char* p, __m128i v, TwoByteBlock& b) {
  const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
  const __m128i c0 = _mm_set1_epi8(static_cast<char>(0xC0)), c80 = _mm_set1_epi8(static_cast<char>(0x80));
  // Continuation bytes, lead bytes (C2 to DF), and what rules the block out:
  // a byte from E0 (longer sequences), C0 or C1 (always overlong).
  const __m128i cont = _mm_cmpeq_epi8(_mm_and_si128(v, c0), c80);
  const __m128i next_cont = _mm_cmpeq_epi8(_mm_and_si128(next, c0), c80);
  const __m128i lead = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(static_cast<char>(0xC2))), v);
  const __m128i other = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(static_cast<char>(0xE0))), v),
                                     _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xFE))), c0));
  const unsigned lead_mask = static_cast<unsigned>(_mm_movemask_epi8(lead));
  const unsigned cont_mask = static_cast<unsigned>(_mm_movemask_epi8(cont));
  const unsigned next_cont_mask = static_cast<unsigned>(_mm_movemask_epi8(next_cont));
  // Every lead followed by a continuation byte, every continuation byte after
  // a lead (the byte before the block ends a sequence: none is).
  if (_mm_movemask_epi8(other) != 0 || (lead_mask & ~next_cont_mask) != 0 || ((cont_mask ^ (lead_mask << 1)) & 0xFFFFu))
    return false;
  // Lead bits and the next byte's low six, or the ASCII byte itself.
  const __m128i zero = _mm_setzero_si128();
  const auto value = [&](__m128i byte, __m128i after, __m128i is_lead) {
    const __m128i joined = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(byte, _mm_set1_epi16(0x1F)), 6),
                                        _mm_and_si128(after, _mm_set1_epi16(0x3F)));
    return _mm_or_si128(_mm_and_si128(is_lead, joined), _mm_andnot_si128(is_lead, byte));
  };
  b.lo = value(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi8(next, zero), _mm_unpacklo_epi8(lead, lead));
  b.hi = value(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi8(next, zero), _mm_unpackhi_epi8(lead, lead));
  b.starts = ~cont_mask & 0xFFFFu;
  b.took = 16 + (lead_mask >> 15);
  return true;
}

// Stores the values at the starts, in order, without a branch per byte.
template <class U>
[[gnu::always_inline]] inline void store_starts(const TwoByteBlock& b, U*& out) {
  alignas(16) uint16_t value[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(value), b.lo);
  _mm_store_si128(reinterpret_cast<__m128i*>(value + 8), b.hi);
  size_t k = 0;
  for (int j = 0; j < 16; ++j) {
    out[k] = static_cast<U>(value[j]);
    k += b.starts >> j & 1u;
  }
  out += k;
}

template <class U>
[[gnu::always_inline]] inline void store_ascii_block(__m128i v, U*& out) {
  if constexpr (sizeof(U) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  } else {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(U) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), hi);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
    }
  }
  out += 16;
}

// Decodes and validates p[0, n) into `out`, which has room for every code
// point and kSlack more units; returns the offset of the first malformed
// sequence, or -1. Blocks of sixteen bytes of ASCII, or of ASCII and two-byte
// sequences (Cyrillic, Greek, accented Latin), go without a branch per byte,
// their code points put in place by `place`; anything else, malformed bytes
// included, goes one sequence at a time.
template <class U, class Place>
[[gnu::always_inline]] inline int64_t store_blocks(const unsigned char* p, size_t n, U* out, Place place) {
  size_t i = 0;
  while (i + 17 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(v) == 0) {
      store_ascii_block(v, out);
      i += 16;
      continue;
    }
    TwoByteBlock b;
    if (two_byte_block(p + i, v, b)) {
      place(b, out);
      i += b.took;
      continue;
    }
    // Up to the next sequence boundary past this block, one at a time.
    for (const size_t stop = i + 16; i < stop;) {
      const int64_t next = store_one(p, n, i, out);
      if (next < 0) return -1 - next;
      i = static_cast<size_t>(next);
    }
  }
  while (i < n) {
    const int64_t next = store_one(p, n, i, out);
    if (next < 0) return -1 - next;
    i = static_cast<size_t>(next);
  }
  return -1;
}

template <class U>
int64_t store(const unsigned char* p, size_t n, U* out) {
  return store_blocks(p, n, out, [](const TwoByteBlock& b, U*& o) { store_starts(b, o); });
}

#if defined(__x86_64__) && defined(__GNUC__)
// Sixteen-bit units (a text with Cyrillic, Greek and the like) by byte
// shuffles where the processor has them: each half of the values moved
// together by a table of the 256 ways to keep some of eight.
struct KeepShuffles {
  alignas(16) uint8_t index[256][16] = {};
  uint8_t count[256] = {};
  constexpr KeepShuffles() {
    for (int m = 0; m < 256; ++m) {
      int k = 0;
      for (int j = 0; j < 8; ++j)
        if (m >> j & 1) index[m][2 * k] = static_cast<uint8_t>(2 * j), index[m][2 * k + 1] = static_cast<uint8_t>(2 * j + 1), ++k;
      count[m] = static_cast<uint8_t>(k);
    }
  }
};
constexpr KeepShuffles kKeep;

struct PlaceShuffled {
  __attribute__((target("ssse3"))) void operator()(const TwoByteBlock& b, uint16_t*& o) const {
    const unsigned lo = b.starts & 0xFFu, hi = b.starts >> 8;
    const __m128i first = _mm_shuffle_epi8(b.lo, _mm_load_si128(reinterpret_cast<const __m128i*>(kKeep.index[lo])));
    const __m128i second = _mm_shuffle_epi8(b.hi, _mm_load_si128(reinterpret_cast<const __m128i*>(kKeep.index[hi])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), first);
    o += kKeep.count[lo];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), second);
    o += kKeep.count[hi];
  }
};

__attribute__((target("ssse3"))) int64_t store_shuffled(const unsigned char* p, size_t n, uint16_t* out) {
  return store_blocks(p, n, out, PlaceShuffled{});
}

int64_t store(const unsigned char* p, size_t n, uint16_t* out) {
  static const bool shuffles = __builtin_cpu_supports("ssse3");
  if (shuffles) return store_shuffled(p, n, out);
  return store_blocks(p, n, out, [](const TwoByteBlock& b, uint16_t*& o) { store_starts(b, o); });
}
#endif

#else

template <class U>
int64_t store(const unsigned char* p, size_t n, U* out) {
  for (size_t i = 0; i < n;) {
    const int64_t next = store_one(p, n, i, out);
    if (next < 0) return -1 - next;
    i = static_cast<size_t>(next);
  }
  return -1;
}

#endif

// The largest byte of p[0, n) and the number of continuation bytes.
void scan(const unsigned char* p, size_t n, unsigned& top, size_t& continuations) {
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time, continuation bytes counted in byte lanes (at
  // most 255 blocks before they are added up).
  __m128i most = _mm_setzero_si128();
  const __m128i c0 = _mm_set1_epi8(static_cast<char>(0xC0)), c80 = _mm_set1_epi8(static_cast<char>(0x80));
  while (i + 16 <= n) {
    __m128i counts = _mm_setzero_si128();
    for (size_t blocks = 0; blocks < 255 && i + 16 <= n; ++blocks, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      most = _mm_max_epu8(most, v);
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_and_si128(v, c0), c80));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    continuations += static_cast<size_t>(_mm_cvtsi128_si32(sums)) + static_cast<size_t>(_mm_extract_epi16(sums, 4));
  }
  alignas(16) uint8_t lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), most);
  for (uint8_t b : lanes) top = std::max<unsigned>(top, b);
#endif
  for (; i < n; ++i) {
    top = std::max<unsigned>(top, p[i]);
    continuations += (p[i] & 0xC0u) == 0x80u;
  }
}

}  // namespace

bool decode_utf8_text(std::string_view bytes, DecodedText& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  // One cheap pass: in valid UTF-8 the largest byte decides the widest code
  // point (a lead byte from 0xF0 starts one above U+FFFF, from 0xC4 one above
  // U+FF), and every byte but a continuation byte starts a code point.
  // Decoding then validates as it stores.
  unsigned top = 0;
  size_t continuations = 0;
  scan(p, n, top, continuations);
  const uint8_t width = top < 0xC4 ? 1 : top < 0xF0 ? 2 : 4;
  const auto length = static_cast<int64_t>(n - continuations);
  const size_t bytes_needed = (static_cast<size_t>(length) + kSlack) * width;
  if (out.capacity < bytes_needed || !out.units) {
    out.units.reset();
    out.capacity = 0;
    out.units.reset(new unsigned char[bytes_needed]);
    out.capacity = bytes_needed;
  }
  out.width = width;
  switch (width) {
    case 1: out.error_offset = store(p, n, out.units.get()); break;
    case 2: out.error_offset = store(p, n, reinterpret_cast<uint16_t*>(out.units.get())); break;
    default: out.error_offset = store(p, n, reinterpret_cast<uint32_t*>(out.units.get())); break;
  }
  if (out.error_offset >= 0) {
    out.units.reset();
    out.capacity = 0;
    out.length = 0;
    out.width = 1;
    return false;
  }
  out.length = length;
  return true;
}

}  // namespace tarn

// Code-point views over the host string's own storage: 1-, 2- or 4-byte units,
// never copied or re-encoded. Offsets everywhere are code-point indices.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tarn {

struct Text {
  const void* data = nullptr;
  int64_t length = 0;   // in code points
  uint8_t width = 1;    // bytes per code point: 1, 2 or 4

  char32_t at(int64_t i) const {
    switch (width) {
      case 1: return static_cast<const uint8_t*>(data)[i];
      case 2: return static_cast<const uint16_t*>(data)[i];
      default: return static_cast<const uint32_t*>(data)[i];
    }
  }
};

// Calls f with a typed pointer to the code units, so hot loops are
// instantiated once per width instead of switching per code point.
template <class F>
decltype(auto) visit_text(const Text& t, F&& f) {
  switch (t.width) {
    case 1: return f(static_cast<const uint8_t*>(t.data));
    case 2: return f(static_cast<const uint16_t*>(t.data));
    default: return f(static_cast<const uint32_t*>(t.data));
  }
}

inline Text text_of(const char32_t* s, int64_t n) { return Text{s, n, 4}; }

}  // namespace tarn

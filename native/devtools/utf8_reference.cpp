#include "utf8_reference.h"

namespace tarn::devtools {

int64_t reference_utf8(std::string_view bytes, std::u32string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    const unsigned b = p[i];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
    char32_t cp;
    if (b < 0x80) len = 1, cp = b;
    else if (b >= 0xC2 && b <= 0xDF) len = 2, cp = b & 0x1F;
    else if (b >= 0xE0 && b <= 0xEF) len = 3, cp = b & 0x0F, lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4) len = 4, cp = b & 0x07, lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    else return static_cast<int64_t>(i);
    for (size_t k = 1; k < len; ++k) {
      if (i + k >= n || p[i + k] < (k == 1 ? lo : 0x80) || p[i + k] > (k == 1 ? hi : 0xBF)) return static_cast<int64_t>(i);
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    out += cp;
    i += len;
  }
  return -1;
}

}  // namespace tarn::devtools

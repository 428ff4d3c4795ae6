// Strict UTF-8 decoding into the narrowest code-unit width that holds the
// text (1, 2 or 4 bytes, as the host stores a str), for native callers that
// read files themselves instead of receiving host strings.
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>

#include "text.h"

namespace tarn {

struct DecodedText {
  std::unique_ptr<unsigned char[]> units;
  size_t capacity = 0;        // bytes `units` holds: decoding into the same object reuses them
  int64_t length = 0;         // code points
  uint8_t width = 1;
  int64_t error_offset = -1;  // first byte of the first malformed sequence; -1 when valid

  Text text() const { return Text{units.get(), length, width}; }
};

// Decodes `bytes` as the host's strict UTF-8 codec does (no surrogates, no
// overlong forms, nothing above U+10FFFF). On a malformed sequence returns
// false with `out.error_offset` at the byte where the host reports it.
bool decode_utf8_text(std::string_view bytes, DecodedText& out);

}  // namespace tarn

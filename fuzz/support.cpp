#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devtools/language_json.h"
#include "core/lexer.h"
#include "core/linemap.h"

namespace tarn::fuzz {

namespace {
constexpr uint8_t kWidths[] = {1, 2, 4};
constexpr uint32_t kCodePointLimit = 0x110000;

template <class U>
void read_units(const uint8_t* p, size_t count, std::vector<U>& out) {
  out.resize(count);
  for (size_t i = 0; i < count; ++i) {
    uint32_t v = 0;
    for (size_t b = 0; b < sizeof(U); ++b) v |= static_cast<uint32_t>(p[i * sizeof(U) + b]) << (8 * b);
    if constexpr (sizeof(U) == 4) v %= kCodePointLimit;
    out[i] = static_cast<U>(v);
  }
}
}  // namespace

FuzzText::FuzzText(const uint8_t* data, size_t size) {
  const uint8_t width = size ? kWidths[data[0] % 3] : 1;
  const uint8_t* body = size ? data + 1 : data;
  const size_t count = size ? (size - 1) / width : 0;
  const void* units = nullptr;
  switch (width) {
    case 1: read_units(body, count, u8_); units = u8_.data(); break;
    case 2: read_units(body, count, u16_); units = u16_.data(); break;
    default: read_units(body, count, u32_); units = u32_.data(); break;
  }
  // A valid pointer even for the empty text, as the host's storage always is.
  static const uint32_t kEmpty = 0;
  text_ = Text{count ? units : &kEmpty, static_cast<int64_t>(count), width};
}

const LanguageTables& language() {
  static const LanguageTables* tables = [] {
    auto* t = new LanguageTables;
    std::string error;
    if (!read_language_json(embedded_language_json(), t->lang, t->canonical_names, error)) {
      std::fprintf(stderr, "embedded language.json refused: %s\n", error.c_str());
      std::abort();
    }
    for (const std::string& name : t->canonical_names)
      t->kw_of_canonical.push_back(parse::keyword_from_name(name.data(), name.size()));
    return t;
  }();
  return *tables;
}

std::vector<Token> tokenize_with_positions(const Text& text, const Language& lang) {
  std::vector<Token> toks;
  tokenize(text, lang, toks);
  const std::vector<int64_t> starts = line_starts(text);
  assign_positions(toks, starts.data(), static_cast<int64_t>(starts.size()));
  return toks;
}

void fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "\n==== invariant broken at %s:%d\n%s\n", file, line, what.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace tarn::fuzz

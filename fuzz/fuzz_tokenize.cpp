// Tokenizer on arbitrary text of any code-unit width, with the shipped
// language; token_checks.h lists what each run checks beyond "no crash".
// The same bytes, read as a file, go through the checker's UTF-8 decoder,
// held against the reference decoder.
#include <algorithm>
#include <string_view>

#include "core/utf8.h"
#include "devtools/utf8_reference.h"
#include "support.h"
#include "token_checks.h"

using namespace tarn;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::language();
  return 0;
}

namespace {

void check_decoding(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::u32string expected;
  const int64_t error = devtools::reference_utf8(bytes, expected);
  DecodedText d;
  FUZZ_CHECK(decode_utf8_text(bytes, d) == (error < 0) && d.error_offset == error, "where decoding fails");
  if (error >= 0) return;
  FUZZ_CHECK(d.length == static_cast<int64_t>(expected.size()), "decoded length");
  char32_t top = 0;
  for (int64_t i = 0; i < d.length; ++i) {
    FUZZ_CHECK(d.text().at(i) == expected[static_cast<size_t>(i)], "decoded code point");
    top = std::max(top, expected[static_cast<size_t>(i)]);
  }
  FUZZ_CHECK(d.width == (top < 0x100 ? 1 : top < 0x10000 ? 2 : 4), "narrowest width");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_decoding(data, size);
  const fuzz::FuzzText input(data, size);
  const fuzz::LanguageTables& lang = fuzz::language();
  fuzz::check_tokens(input.text(), lang.lang, lang.canonical_names.size(),
                     fuzz::tokenize_with_positions(input.text(), lang.lang));
  return 0;
}

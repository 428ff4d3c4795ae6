// What every fuzz target shares: turning the fuzzer's bytes into a host-like
// string, the language tables built once from the embedded language.json, and
// a check that stops the run with a message (libFuzzer records the input).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/language.h"
#include "core/parse/parser.h"
#include "core/text.h"
#include "core/token.h"

namespace tarn::fuzz {

// The first byte picks the code-unit width (1, 2 or 4, as the host stores
// strings); the remaining bytes are the code units, little-endian. Units of
// width 4 are folded into the code-point range, as the host never stores more.
class FuzzText {
 public:
  FuzzText(const uint8_t* data, size_t size);
  const Text& text() const { return text_; }
  uint8_t width() const { return text_.width; }

 private:
  std::vector<uint8_t> u8_;
  std::vector<uint16_t> u16_;
  std::vector<uint32_t> u32_;
  Text text_;
};

struct LanguageTables {
  Language lang;
  std::vector<std::string> canonical_names;
  std::vector<parse::Kw> kw_of_canonical;
};
// Built on first use from the language.json compiled into the target.
const LanguageTables& language();
std::string_view embedded_language_json();

// Tokens of `text` with line and column filled, as the binding produces them.
std::vector<Token> tokenize_with_positions(const Text& text, const Language& lang);

[[noreturn]] void fail(const char* file, int line, const std::string& what);

}  // namespace tarn::fuzz

// Stops the run when an invariant does not hold; the fuzzer keeps the input.
#define FUZZ_CHECK(cond, what)                                              \
  do {                                                                      \
    if (!(cond)) ::tarn::fuzz::fail(__FILE__, __LINE__, std::string(#cond) + ": " + (what)); \
  } while (0)

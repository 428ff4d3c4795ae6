// A language definition from arbitrary bytes (the reader native tools use),
// then the tokenizer under that definition, over the same bytes read as text:
// operators of any characters, forms that are no identifier, duplicates.
// Whatever the definition, reading it ends with a table or an error, and the
// token invariants of token_checks.h hold.
#include <string_view>

#include "devtools/language_json.h"
#include "support.h"
#include "token_checks.h"

using namespace tarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  Language lang;
  std::vector<std::string> names;
  std::string error;
  if (!read_language_json(json, lang, names, error)) return 0;
  const Text text{data, static_cast<int64_t>(size), 1};
  fuzz::check_tokens(text, lang, names.size(), fuzz::tokenize_with_positions(text, lang));
  return 0;
}

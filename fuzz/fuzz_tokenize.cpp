// Tokenizer on arbitrary text of any code-unit width, with the shipped
// language; token_checks.h lists what each run checks beyond "no crash".
#include "support.h"
#include "token_checks.h"

using namespace tarn;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::language();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::FuzzText input(data, size);
  const fuzz::LanguageTables& lang = fuzz::language();
  fuzz::check_tokens(input.text(), lang.lang, lang.canonical_names.size(),
                     fuzz::tokenize_with_positions(input.text(), lang.lang));
  return 0;
}

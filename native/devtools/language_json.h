// Reads a language definition (language.json) into a Language for native
// tools, benchmarks and fuzzers. The extension modules do not use it: they
// build the tables from the host's own parsed definition.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/language.h"

namespace tarn {

// Fills `lang` with every form of "keywords" -> name -> "forms" and every
// entry of "operators"; `canonical_names` receives the canonical names in the
// order of the "keywords" object (UTF-8), so a form's id is an index into it.
// Duplicate object keys behave as in the host: the last value wins, in the
// place of the first. Returns false with a message in `error` when the text
// is not JSON, a required part is missing or has the wrong type, or an
// operator is empty (it would match without consuming anything).
bool read_language_json(std::string_view json, Language& lang, std::vector<std::string>& canonical_names,
                        std::string& error);
bool read_language_file(const std::string& path, Language& lang, std::vector<std::string>& canonical_names,
                        std::string& error);

// UTF-8 <-> code points. Decoding replaces each malformed sequence by U+FFFD
// and then sets *ok (when given) to false.
std::u32string decode_utf8(std::string_view s, bool* ok = nullptr);
std::string encode_utf8(std::u32string_view s);

}  // namespace tarn

// tarn_dump LANGUAGE_JSON FILE [--no-memo]
// Parses FILE (UTF-8) and prints its Module tree in the host's printable
// form, then one line "start-end key" per diagnostic. For development and
// fuzzing; --no-memo turns off the memo of speculative rules.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "devtools/language_json.h"
#include "core/parse/parser.h"
#include "core/source.h"
#include "devtools/dump.h"
#include "devtools/token_texts.h"

using namespace tarn;

namespace {

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 || (argc == 4 && std::string(argv[3]) != "--no-memo")) {
    std::cerr << "usage: tarn_dump LANGUAGE_JSON FILE [--no-memo]\n";
    return 2;
  }
  Language lang;
  std::vector<std::string> canonical_names;
  std::string error;
  if (!read_language_file(argv[1], lang, canonical_names, error)) {
    std::cerr << argv[1] << ": " << error << "\n";
    return 2;
  }
  std::string bytes;
  if (!read_file(argv[2], bytes)) {
    std::cerr << argv[2] << ": cannot read\n";
    return 2;
  }
  const std::u32string source = decode_utf8(bytes);
  const Text text = text_of(source.data(), static_cast<int64_t>(source.size()));

  std::vector<parse::Kw> kw_of_canonical;
  for (const std::string& name : canonical_names)
    kw_of_canonical.push_back(parse::keyword_from_name(name.data(), name.size()));
  std::vector<parse::PTok> ptoks;
  std::vector<parse::Unterminated> unterminated;
  tokenize_for_parser(text, lang, kw_of_canonical, ptoks, unterminated);

  syntax::Arena arena;
  parse::Parser parser(ptoks.data(), static_cast<int64_t>(ptoks.size()), arena);
  parser.set_unterminated(std::move(unterminated));
  if (argc == 4) parser.set_memo(false);
  syntax::Module* module = nullptr;
  try {
    module = parser.parse_module();
  } catch (const parse::NestingTooDeep& e) {
    std::cerr << "nesting too deep at token " << e.token << "\n";
    return 3;
  }
  const syntax::TokenTexts texts(source, ptoks);
  std::cout << syntax::dump(module, texts) << "\n";
  for (const parse::Diag& d : parser.diags())
    std::cout << d.start << "-" << d.end << " " << parse::message_key(d.msg) << "\n";
  return 0;
}

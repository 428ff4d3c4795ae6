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

// Token texts are slices of the source; string fields name them by index.
class TokenTexts {
 public:
  TokenTexts(const std::u32string& source, const std::vector<parse::PTok>& toks) : source_(source), toks_(toks) {}

  std::string operator()(const syntax::StrRef& s) const {
    switch (s.tag) {
      case syntax::StrRef::STATIC: return s.text;
      case syntax::StrRef::TOKEN: return text(s.a);
      case syntax::StrRef::CONCAT: {
        std::u32string joined;
        for (uint32_t i = s.a; i < s.b; ++i) joined += slice(i);
        if (s.drop_last && !joined.empty()) joined.pop_back();
        return encode_utf8(joined);
      }
      case syntax::StrRef::JOIN_COLONS: {
        std::string joined;
        for (uint32_t i = 0; i < s.a; ++i) joined += (i ? "::" : "") + text(s.parts[i]);
        return joined;
      }
      default: return "";
    }
  }

 private:
  std::u32string slice(uint32_t i) const {
    const parse::PTok& t = toks_.at(i);
    return source_.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
  }
  std::string text(uint32_t i) const { return encode_utf8(slice(i)); }
  const std::u32string& source_;
  const std::vector<parse::PTok>& toks_;
};

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
  const TokenTexts texts(source, ptoks);
  std::cout << syntax::dump(module, texts) << "\n";
  for (const parse::Diag& d : parser.diags())
    std::cout << d.start << "-" << d.end << " " << parse::message_key(d.msg) << "\n";
  return 0;
}

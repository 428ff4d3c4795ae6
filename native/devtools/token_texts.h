// The texts of a native tree's string fields, for the dumper: token texts
// are slices of the source, and string fields name the tokens by index.
#pragma once
#include <string>
#include <vector>

#include "core/parse/parser.h"
#include "devtools/language_json.h"

namespace tarn::syntax {

class TokenTexts {
 public:
  TokenTexts(const std::u32string& source, const std::vector<parse::PTok>& toks) : source_(source), toks_(toks) {}

  std::string operator()(const StrRef& s) const {
    switch (s.tag) {
      case StrRef::STATIC: return s.text;
      case StrRef::TOKEN: return text(s.a);
      case StrRef::CONCAT: {
        std::u32string joined;
        for (uint32_t i = s.a; i < s.b; ++i) joined += slice(i);
        if (s.drop_last && !joined.empty()) joined.pop_back();
        return encode_utf8(joined);
      }
      case StrRef::JOIN_COLONS: {
        std::string joined;
        for (uint32_t i = 0; i < s.a; ++i) joined += (i ? "::" : "") + text(s.parts[i]);
        return joined;
      }
      default: return "";
    }
  }

  // The text of token i (UTF-8).
  std::string text(uint32_t i) const { return encode_utf8(slice(i)); }

 private:
  std::u32string slice(uint32_t i) const {
    const parse::PTok& t = toks_.at(i);
    return source_.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
  }
  const std::u32string& source_;
  const std::vector<parse::PTok>& toks_;
};

}  // namespace tarn::syntax

// The language-definition reader of the native tools: the shipped file and
// the reader's edge cases (the golden cases read the shipped file too).
#include <algorithm>
#include <filesystem>

#include "check.h"
#include "devtools/language_json.h"
#include "core/lexer.h"

using namespace tarn;
namespace fs = std::filesystem;

namespace {

// "KIND text" per token, "|" between.
std::string lexed(const std::u32string& s, const Language& l) {
  std::vector<Token> toks;
  tokenize(text_of(s.data(), static_cast<int64_t>(s.size())), l, toks);
  std::string out;
  for (const Token& t : toks)
    out += (out.empty() ? "" : "|") + std::string(kTokKindNames[static_cast<int>(t.kind)]) + " " +
           encode_utf8(s.substr(t.start, t.end - t.start));
  return out;
}

}  // namespace

TEST_CASE("language JSON: the shipped definition and the reader's edge cases") {
  Language l;
  std::vector<std::string> names;
  std::string error;
  const fs::path shipped = fs::path(tarn::testing::data_dir()) / ".." / ".." / "src" / "tarn" / "data" / "language.json";
  CHECK(read_language_file(shipped.string(), l, names, error));
  const auto method = std::find(names.begin(), names.end(), "METHOD") - names.begin();
  CHECK(method < static_cast<long>(names.size()));
  std::vector<Token> t;
  const std::u32string s = U"метод x::y += 1";
  tokenize(text_of(s.data(), static_cast<int64_t>(s.size())), l, t);
  CHECK_EQ(lexed(s, l), "KEYWORD метод|IDENT x|OP ::|IDENT y|OP +=|NUMBER 1|EOF ");
  CHECK_EQ(t[0].canonical, method);

  Language e;
  names.clear();
  const char* json = R"({"version": 1.5e2, "x": [true, false, null, -0.5],
    "keywords": {"IF": {"forms": ["\u0435\u0441\u043b\u0438", 3]}, "WHEN": {"forms": []},
                 "IF": {"forms": ["if"], "note": "\"\\\/\b\f\n\r\t"}},
    "operators": ["\ud835\udecc", "+", "\ud800", "\ud800x"]})";
  CHECK(read_language_json(json, e, names, error));
  CHECK(names == (std::vector<std::string>{"IF", "WHEN"}));  // duplicate key keeps its first place
  CHECK_EQ(lexed(U"если if 𝛌+ \xD800x", e), "IDENT если|KEYWORD if|OP 𝛌|OP +|OP \xED\xA0\x80x|EOF ");
  Language twice;  // a form listed under two keywords belongs to the later one
  names.clear();
  CHECK(read_language_json(R"({"keywords": {"A": {"forms": ["x"]}, "B": {"forms": ["x"]}}, "operators": ["+"]})",
                           twice, names, error));
  t.clear();
  tokenize(text_of(U"x", 1), twice, t);
  CHECK_EQ(t[0].canonical, 1);

  for (const char* bad : {R"({"keywords": {}, "operators": [""]})", R"({"keywords": {}, "operators": []})",
                          R"({"operators": ["+"]})", R"({"keywords": {"IF": {}}, "operators": ["+"]})",
                          R"({"keywords": {}, "operators": [1]})", R"([1, 2])", R"({"keywords": {}, "operators": ["+"]} x)",
                          R"({"keywords": {"IF": {"forms": ["a]}}, "operators": ["+"]})", "\xff", ""}) {
    Language b;
    std::vector<std::string> bn;
    error.clear();
    CHECK(!read_language_json(bad, b, bn, error));
    CHECK(!error.empty());
  }
  std::string deep(100000, '[');
  CHECK(!read_language_json(deep, e, names, error));
}

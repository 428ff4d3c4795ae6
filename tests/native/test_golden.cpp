// The golden cases of tests/data/golden through the core alone, with the
// shipped language definition: tokens as the token cases print them, trees
// through syntax::dump (the expected layout with its line breaks taken out)
// and diagnostics by key. The Python runner reads the same files through the
// host records, so the two together check the binding's conversion. Cases
// that call one rule of _Parser are the host's only. Every case also checks
// the parser's one-pass tokens against those built from the token list.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "check.h"
#include "devtools/language_json.h"
#include "core/lexer.h"
#include "core/linemap.h"
#include "core/parse/parser.h"
#include "core/source.h"
#include "devtools/dump.h"
#include "devtools/token_texts.h"

using namespace tarn;
namespace fs = std::filesystem;

namespace {

struct Shipped {
  Language lang;
  std::vector<std::string> names;
  std::vector<parse::Kw> kws;
  Shipped() {
    std::string error;
    const fs::path json = fs::path(testing::data_dir()) / ".." / ".." / "src" / "tarn" / "data" / "language.json";
    CHECK(read_language_file(json.string(), lang, names, error));
    for (const std::string& n : names) kws.push_back(parse::keyword_from_name(n.data(), n.size()));
  }
};

// A source written as a Python expression: string literals, each perhaps
// repeated ("* N"), joined by "+" (the only forms the files use).
std::u32string evaluate(const std::string& e) {
  std::u32string out, literal;
  for (size_t i = 0; i < e.size();) {
    const char c = e[i];
    if (c == '\'' || c == '"') {
      literal.clear();
      size_t j = i + 1;
      for (; e[j] != c; ++j) {
        if (e[j] != '\\') {
          size_t k = j;
          while (k + 1 < e.size() && (static_cast<unsigned char>(e[k + 1]) & 0xC0) == 0x80) ++k;
          literal += decode_utf8(e.substr(j, k - j + 1));
          j = k;
          continue;
        }
        const char x = e[++j];
        const int width = x == 'x' ? 2 : x == 'u' ? 4 : x == 'U' ? 8 : 0;
        literal += width ? static_cast<char32_t>(std::stoul(e.substr(j + 1, width), nullptr, 16))
                         : x == 'n' ? U'\n' : x == 'r' ? U'\r' : x == 't' ? U'\t' : static_cast<char32_t>(x);
        j += width;
      }
      out += literal;
      i = j + 1;
    } else if (c == '*') {
      const std::u32string once = literal;
      for (int n = std::stoi(e.substr(i + 1)); n > 1; --n) out += once;
      i = e.find_first_of("+", i);
    } else {
      ++i;
    }
  }
  return out;
}

std::vector<Token> lex(const std::u32string& s, const Shipped& shipped) {
  const Text text = text_of(s.data(), static_cast<int64_t>(s.size()));
  std::vector<Token> toks;
  tokenize(text, shipped.lang, toks);
  const std::vector<int64_t> starts = line_starts(text);
  assign_positions(toks, starts.data(), static_cast<int64_t>(starts.size()));
  return toks;
}

std::string token_lines(const std::u32string& s, const Shipped& shipped) {
  std::ostringstream out;
  for (const Token& t : lex(s, shipped)) {
    out << kTokKindNames[static_cast<int>(t.kind)] << " " << syntax::quote(encode_utf8(s.substr(t.start, t.end - t.start)))
        << " " << t.start << "-" << t.end << " " << t.line << ":" << t.col << "-" << t.end_line << ":" << t.end_col;
    if (t.canonical >= 0) out << " " << shipped.names[t.canonical];
    if (t.kind == TokKind::COMMENT)
      out << (t.style == CommentStyle::LINE ? " line" : t.style == CommentStyle::DOC ? " doc" : " block");
    out << (t.unterminated ? " {'unterminated': True}\n" : "\n");
  }
  return out.str();
}

// The parser's tokens made in one pass from the text (as parse_text makes
// them), checked against those built from the token list (as parse_tokens).
std::vector<parse::PTok> parser_tokens(const std::u32string& s, const Shipped& shipped,
                                       std::vector<parse::Unterminated>& open) {
  const Text text = text_of(s.data(), static_cast<int64_t>(s.size()));
  std::vector<parse::PTok> built, direct;
  std::vector<parse::Unterminated> built_open;
  build_parser_tokens(text, lex(s, shipped), shipped.kws, built, built_open);
  open.clear();
  tokenize_for_parser(text, shipped.lang, shipped.kws, direct, open);
  bool same = built.size() == direct.size() && built_open.size() == open.size();
  for (size_t i = 0; same && i < built.size(); ++i) {
    const parse::PTok &a = built[i], &b = direct[i];
    same = a.start == b.start && a.end == b.end && a.line == b.line && a.end_line == b.end_line && a.kind == b.kind &&
           a.kw == b.kw && a.op == b.op && a.upper_first == b.upper_first && a.ends_with_qmark == b.ends_with_qmark &&
           a.empty_text == b.empty_text && a.host_stop == b.host_stop;
  }
  for (size_t i = 0; same && i < open.size(); ++i)
    same = built_open[i].start == open[i].start && built_open[i].end == open[i].end && built_open[i].kind == open[i].kind;
  if (!same) testing::report_failure(__FILE__, __LINE__, "one-pass parser tokens of " + syntax::quote(encode_utf8(s)));
  return direct;
}

std::string tree_and_diagnostics(const std::u32string& s, const Shipped& shipped) {
  std::vector<parse::Unterminated> unterminated;
  std::vector<parse::PTok> toks = parser_tokens(s, shipped, unterminated);
  // One arena for every case, reset in between, as a checking thread keeps it.
  static syntax::Arena arena;
  arena.reset();
  parse::Parser parser(toks.data(), static_cast<int64_t>(toks.size()), arena);
  parser.set_unterminated(std::move(unterminated));
  const syntax::TokenTexts texts(s, toks);
  std::string out;
  try {
    out = syntax::dump(parser.parse_module(), texts) + "\n";
  } catch (const parse::NestingTooDeep&) {
    return "raises RecursionError\n";
  }
  for (const parse::Diag& d : parser.diags()) {
    out += std::to_string(d.start) + "-" + std::to_string(d.end) + " " + parse::message_key(d.msg);
    if (d.kw_token >= 0) out += " kw=" + syntax::quote(texts.text(static_cast<uint32_t>(d.kw_token)));
    out += "\n";
  }
  return out;
}

// The expected text with the layout's breaks taken out: a break and its
// indent vanish after "(" or "[" and become one space after ",".
std::string flatten(const std::string& expected) {
  std::string out;
  for (size_t i = 0; i < expected.size(); ++i) {
    const bool layout = expected[i] == '\n' && i + 1 < expected.size() && expected[i + 1] == ' ';
    if (!layout) {
      out += expected[i];
      continue;
    }
    if (out.back() == ',') out += ' ';
    while (i + 1 < expected.size() && expected[i + 1] == ' ') ++i;
  }
  return out;
}

}  // namespace

TEST_CASE("golden cases through the core and its printer") {
  const Shipped shipped;
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(testing::data_dir()) / "golden")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (size_t i = 0; i < lines.size();) {
      const std::string header = lines[i++];
      std::string source, expected;
      for (bool first = true; lines[i] != "---"; ++i, first = false) source += (first ? "" : "\n") + lines[i];
      for (++i; i < lines.size() && lines[i].rfind("=== ", 0) != 0; ++i) expected += lines[i] + "\n";
      while (expected.size() > 1 && expected[expected.size() - 2] == '\n') expected.pop_back();
      if (header.find(" | call ") != std::string::npos) continue;
      const std::u32string s = header.find(" | expr") != std::string::npos ? evaluate(source) : decode_utf8(source);
      const bool tokens = header.size() >= 9 && header.compare(header.size() - 9, 9, " | tokens") == 0;
      std::vector<parse::Unterminated> open;
      if (tokens) parser_tokens(s, shipped, open);
      const std::string actual = tokens ? token_lines(s, shipped) : tree_and_diagnostics(s, shipped);
      if (actual != flatten(expected))
        testing::report_failure(entry.path().filename().c_str(), 0, header + "\n" + actual);
      ++checked;
    }
  }
  CHECK(checked > 300);
}

TEST_CASE("one-pass parser tokens: lines across every kind of break, a keyword's case, the corpus") {
  const Shipped shipped;
  std::vector<parse::Unterminated> open;
  for (const char32_t* s : {U"\"a\r\n\\\r\nb\"\r'x\\\r\ny'\n/*\r\r\n*/\r\nx\r", U"a\r\n\r\"\r", U"/* \r"})
    parser_tokens(s, shipped, open);
  const std::vector<parse::PTok> k = parser_tokens(U"Если если", shipped, open);
  CHECK(k[0].kw == parse::Kw::IF && k[0].upper_first && k[1].kw == parse::Kw::IF && !k[1].upper_first);
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(testing::data_dir()) / "corpus")) {
    if (entry.path().extension() != ".tarn") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    parser_tokens(decode_utf8(bytes.str()), shipped, open);
  }
}

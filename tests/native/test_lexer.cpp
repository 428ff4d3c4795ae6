// Tokenizer, line map, language tables and the parser-token view.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "check.h"
#include "devtools/language_json.h"
#include "core/lexer.h"
#include "core/linemap.h"
#include "core/source.h"
#include "core/utf8.h"
#include "reference_literals.h"

using namespace tarn;
namespace fs = std::filesystem;

namespace {

enum Canon : int32_t { IF, WHEN, METHOD, WHILE };

const char32_t* const kGrammarOperators[] = {
#define OPERATOR(N, T) U"" T,
#include "core/operators.def"
#undef OPERATOR
};

Language grammar_language() {
  Language lang;
  lang.add_form(U"если", IF);
  lang.add_form(U"Если", IF);
  lang.add_form(U"if", IF);
  lang.add_form(U"когда", WHEN);
  lang.add_form(U"метод", METHOD);
  lang.add_form(U"пока", WHILE);
  for (const char32_t* op : kGrammarOperators) lang.add_operator(op);
  return lang;
}

const Language& lang() {
  static const Language l = grammar_language();
  return l;
}

std::vector<Token> lex_text(const Text& text, const Language& l = lang()) {
  std::vector<Token> toks;
  tokenize(text, l, toks);
  const std::vector<int64_t> starts = line_starts(text);
  assign_positions(toks, starts.data(), static_cast<int64_t>(starts.size()));
  return toks;
}

std::vector<Token> lex(const std::u32string& s, const Language& l = lang()) {
  return lex_text(text_of(s.data(), static_cast<int64_t>(s.size())), l);
}

std::string utf8(const std::u32string& s, const Token& t) {
  return encode_utf8(std::u32string_view(s).substr(t.start, t.end - t.start));
}

// "KIND text" per token, "|" between; unterminated literals get a "!".
std::string summary(const std::u32string& s, const std::vector<Token>& toks) {
  std::string out;
  for (const Token& t : toks) {
    if (!out.empty()) out += "|";
    out += kTokKindNames[static_cast<int>(t.kind)];
    if (t.unterminated) out += "!";
    out += " " + utf8(s, t);
  }
  return out;
}

std::string lexed(const std::u32string& s, const Language& l = lang()) { return summary(s, lex(s, l)); }

bool same_token(const Token& a, const Token& b) {
  return a.start == b.start && a.end == b.end && a.line == b.line && a.col == b.col && a.end_line == b.end_line &&
         a.end_col == b.end_col && a.canonical == b.canonical && a.kind == b.kind && a.style == b.style &&
         a.unterminated == b.unterminated;
}

// Tokens of `s` stored with 1, 2 and 4 bytes per code point (as wide as needed
// and wider) must all be the same.
void check_widths_agree(const std::u32string& s) {
  const std::vector<Token> wide = lex(s);
  const char32_t top = s.empty() ? 0 : *std::max_element(s.begin(), s.end());
  auto compare = [&](const Text& t) {
    const std::vector<Token> other = lex_text(t);
    CHECK_EQ(other.size(), wide.size());
    for (size_t k = 0; k < std::min(other.size(), wide.size()); ++k) CHECK(same_token(other[k], wide[k]));
  };
  if (top < 0x100) {
    std::vector<uint8_t> u8(s.begin(), s.end());
    compare(Text{u8.data(), static_cast<int64_t>(u8.size()), 1});
  }
  if (top < 0x10000) {
    std::vector<uint16_t> u16(s.begin(), s.end());
    compare(Text{u16.data(), static_cast<int64_t>(u16.size()), 2});
  }
}

std::u32string read_source(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return decode_utf8(buf.str());
}

std::vector<fs::path> corpus_files(const char* which) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(fs::path(tarn::testing::data_dir()) / "corpus" / which))
    if (e.path().extension() == ".tarn") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<int64_t> starts_of(const std::u32string& s) { return line_starts(text_of(s.data(), static_cast<int64_t>(s.size()))); }

}  // namespace

// ---------------------------------------------------------------- line map

TEST_CASE("line starts: CRLF is one break, lone CR and LF are breaks, nothing else is") {
  CHECK(starts_of(U"") == std::vector<int64_t>{0});
  CHECK(starts_of(U"a\r\nb") == (std::vector<int64_t>{0, 3}));
  CHECK(starts_of(U"a\rb") == (std::vector<int64_t>{0, 2}));
  CHECK(starts_of(U"a\n\rb") == (std::vector<int64_t>{0, 2, 3}));
  CHECK(starts_of(U"x\n") == (std::vector<int64_t>{0, 2}));
  CHECK(starts_of(U"\r") == (std::vector<int64_t>{0, 1}));
  CHECK(starts_of(U"\r\n") == (std::vector<int64_t>{0, 2}));
  CHECK(starts_of(U"\r\r\n\n") == (std::vector<int64_t>{0, 1, 3, 4}));
  CHECK(starts_of(U"a\u2028b\u2029c\u0085d\f\v") == std::vector<int64_t>{0});
}

TEST_CASE("linecol: bisect_right, line starts belong to their line, line 0 reads the last start") {
  const std::vector<int64_t> st = starts_of(U"ab\ncd");
  auto lc = [&](int64_t off) { LineCol r = linecol(st.data(), 2, off); return std::make_pair(r.line, r.col); };
  CHECK(lc(0) == std::make_pair<int64_t, int64_t>(1, 1));
  CHECK(lc(2) == std::make_pair<int64_t, int64_t>(1, 3));
  CHECK(lc(3) == std::make_pair<int64_t, int64_t>(2, 1));
  CHECK(lc(5) == std::make_pair<int64_t, int64_t>(2, 3));
  CHECK(lc(40) == std::make_pair<int64_t, int64_t>(2, 38));  // past the end: last line
  const int64_t dup[] = {0, 3, 3, 7};
  CHECK_EQ(linecol(dup, 4, 3).line, 3);
  const int64_t late[] = {5, 10};
  CHECK_EQ(linecol(late, 2, 2).line, 0);
  CHECK_EQ(linecol(late, 2, 2).col, 2 - 10 + 1);
  const int64_t unsorted[] = {0, 10, 5};
  CHECK_EQ(linecol(unsorted, 3, 7).line, 1);  // bisect probes 10 first and goes left
  CHECK_EQ(linecol(unsorted, 3, 12).line, 3);

  // One place without the table: the same answer at every offset.
  const std::u32string mixed = U"a\r\nb\rc\n\r\r\nd\r";
  const std::vector<int64_t> ms = starts_of(mixed);
  const Text mt = text_of(mixed.data(), static_cast<int64_t>(mixed.size()));
  for (int64_t off = 0; off <= mt.length; ++off) {
    const LineCol a = position_of(mt, off), b = linecol(ms.data(), static_cast<int64_t>(ms.size()), off);
    CHECK(a.line == b.line && a.col == b.col);
  }
}

TEST_CASE("assign_positions equals linecol per offset for any table and any token order") {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 400; ++round) {
    std::vector<int64_t> table(1 + rng() % 8);
    for (auto& v : table) v = static_cast<int64_t>(rng() % 30);
    if (round % 2) std::sort(table.begin(), table.end());
    std::vector<Token> toks(rng() % 12);
    int64_t at = 0;
    for (auto& t : toks) {
      if (round % 3 == 0) at = static_cast<int64_t>(rng() % 40);  // not monotone
      t.start = at;
      t.end = at += static_cast<int64_t>(rng() % 5);
    }
    assign_positions(toks, table.data(), static_cast<int64_t>(table.size()));
    for (const Token& t : toks) {
      const LineCol a = linecol(table.data(), static_cast<int64_t>(table.size()), t.start);
      const LineCol b = linecol(table.data(), static_cast<int64_t>(table.size()), t.end);
      CHECK(t.line == a.line && t.col == a.col && t.end_line == b.line && t.end_col == b.col);
    }
  }
}

// ---------------------------------------------------------------- tokenizer

TEST_CASE("empty text, CRLF positions and the EOF token") {
  const std::vector<Token> empty = lex(U"");
  CHECK_EQ(empty.size(), 1u);
  CHECK(empty[0].kind == TokKind::EOF_ && empty[0].start == 0 && empty[0].end == 0);
  CHECK(empty[0].line == 1 && empty[0].col == 1 && empty[0].end_line == 1 && empty[0].end_col == 1);

  const std::vector<Token> t = lex(U"x\r\ny");
  CHECK_EQ(summary(U"x\r\ny", t), "IDENT x|IDENT y|EOF ");
  CHECK(t[0].line == 1 && t[0].col == 1);
  CHECK(t[1].start == 3 && t[1].line == 2 && t[1].col == 1);
  CHECK(t[2].start == 4 && t[2].line == 2 && t[2].col == 2);
}

TEST_CASE("BOM anywhere, blanks, and white space that is not blank") {
  CHECK_EQ(lexed(U"\ufeffa\ufeff"), "BOM \ufeff|IDENT a|BOM \ufeff|EOF ");
  CHECK_EQ(lexed(U"a\u00A0b"), "IDENT a|UNKNOWN \u00A0|IDENT b|EOF ");
  CHECK_EQ(lexed(U"a\fb\vc"), "IDENT a|UNKNOWN \f|IDENT b|UNKNOWN \v|IDENT c|EOF ");
  CHECK_EQ(lexed(U" \ta \t"), "IDENT a|EOF ");
}

TEST_CASE("comments: line, block, doc, unterminated, and a lone slash") {
  const std::u32string line = U"// c\r\nx";
  const std::vector<Token> t = lex(line);
  CHECK_EQ(summary(line, t), "COMMENT // c|IDENT x|EOF ");
  CHECK(t[0].style == CommentStyle::LINE && t[0].end == 4 && t[1].start == 6);

  CHECK(lex(U"/**/")[0].style == CommentStyle::BLOCK);
  CHECK(lex(U"/***/")[0].style == CommentStyle::DOC);
  CHECK(lex(U"/** d */")[0].style == CommentStyle::DOC);
  CHECK(lex(U"/* a */")[0].style == CommentStyle::BLOCK);
  CHECK_EQ(lexed(U"/* a /* b */ c */"), "COMMENT /* a /* b */|IDENT c|OP *|OP /|EOF ");

  const std::vector<Token> open = lex(U"/* a\n b");
  CHECK_EQ(summary(U"/* a\n b", open), "COMMENT! /* a\n b|EOF ");
  CHECK(open[0].style == CommentStyle::BLOCK && open[0].end_line == 2);
  CHECK_EQ(lexed(U"/*/"), "COMMENT! /*/|EOF ");
  CHECK(lex(U"/**")[0].style == CommentStyle::DOC);

  CHECK_EQ(lexed(U"a/b"), "IDENT a|OP /|IDENT b|EOF ");
  CHECK_EQ(lexed(U"a/"), "IDENT a|OP /|EOF ");
  CHECK_EQ(lexed(U"//"), "COMMENT //|EOF ");
}

TEST_CASE("strings: interpolations, nested literals, escapes and the end of the text") {
  CHECK_EQ(lexed(U"\"a\" \"b\""), "STRING \"a\"|STRING \"b\"|EOF ");
  CHECK_EQ(lexed(U"\"${a}${b}\""), "STRING \"${a}${b}\"|EOF ");
  CHECK_EQ(lexed(U"\"x ${ \"}\" } y\""), "STRING \"x ${ \"}\" } y\"|EOF ");
  CHECK_EQ(lexed(U"\"$${x}\""), "STRING \"$${x}\"|EOF ");
  CHECK_EQ(lexed(U"\"%{ {a} }\"z"), "STRING \"%{ {a} }\"|IDENT z|EOF ");
  CHECK_EQ(lexed(U"\"%{\""), "STRING! \"%{\"|EOF ");
  CHECK_EQ(lexed(U"\"${ '\"' }\" x"), "STRING! \"${ '\"' }\" x|EOF ");
  CHECK_EQ(lexed(U"\"abc\\"), "STRING! \"abc\\|EOF ");
  CHECK_EQ(lexed(U"\"a\\\"b\" c"), "STRING \"a\\\"b\"|IDENT c|EOF ");
  CHECK_EQ(lexed(U"\"${\"\\"), "STRING! \"${\"\\|EOF ");
  CHECK_EQ(lexed(U"\"${ // }\" x"), "STRING \"${ // }\"|IDENT x|EOF ");

  const std::u32string multi = U"\"a\r\nb\" c";
  const std::vector<Token> t = lex(multi);
  CHECK_EQ(summary(multi, t), "STRING \"a\r\nb\"|IDENT c|EOF ");
  CHECK(t[0].end_line == 2 && t[0].end_col == 3 && t[1].line == 2 && t[1].col == 4);
}

TEST_CASE("patterns: one line, escapes, CRLF after a backslash") {
  CHECK_EQ(lexed(U"'ab"), "PATTERN! 'ab|EOF ");
  const std::u32string split = U"'a\nb'";
  const std::vector<Token> t = lex(split);
  CHECK_EQ(summary(split, t), "PATTERN! 'a|IDENT b|PATTERN! '|EOF ");
  CHECK(t[1].line == 2);
  CHECK_EQ(lexed(U"'a\\\nb'"), "PATTERN 'a\\\nb'|EOF ");
  CHECK_EQ(lexed(U"'a\\\r\nb'"), "PATTERN 'a\\\r\nb'|EOF ");
  CHECK_EQ(lexed(U"'a\\\rb'"), "PATTERN 'a\\\rb'|EOF ");
  CHECK_EQ(lexed(U"'a\\'b' c"), "PATTERN 'a\\'b'|IDENT c|EOF ");
  CHECK_EQ(lexed(U"'\\"), "PATTERN! '\\|EOF ");
  CHECK_EQ(lexed(U"'a\r\n"), "PATTERN! 'a|EOF ");
  CHECK_EQ(lexed(U"'\"${'"), "PATTERN '\"${'|EOF ");
  // A CRLF file lexes like its LF twin, offsets aside.
  CHECK_EQ(lex(U"'a\\\r\nb' x").size(), lex(U"'a\\\nb' x").size());
}

TEST_CASE("numbers: runs with letters, fractions, Unicode digits") {
  CHECK_EQ(lexed(U"1.5e3"), "NUMBER 1.5|IDENT e3|EOF ");
  CHECK_EQ(lexed(U"1e10 0x1F 2x2 1px"), "NUMBER 1e10|NUMBER 0x1F|NUMBER 2x2|NUMBER 1px|EOF ");
  CHECK_EQ(lexed(U"12px.5"), "NUMBER 12px|OP .|NUMBER 5|EOF ");
  CHECK_EQ(lexed(U"12.5px"), "NUMBER 12.5|IDENT px|EOF ");
  CHECK_EQ(lexed(U"12.3.4"), "NUMBER 12.3|OP .|NUMBER 4|EOF ");
  CHECK_EQ(lexed(U"1. 1_000 12abc"), "NUMBER 1|OP .|NUMBER 1|IDENT _000|NUMBER 12abc|EOF ");
  CHECK_EQ(lexed(U"١٢3"), "NUMBER ١|NUMBER ٢|NUMBER 3|EOF ");
  // U+0661 is a letter as well as a digit: after an ASCII digit it continues the run.
  CHECK_EQ(lexed(U"1١"), "NUMBER 1١|EOF ");
  CHECK_EQ(lexed(U"²³ ０ 𝟘"), "NUMBER ²|NUMBER ³|NUMBER ０|NUMBER 𝟘|EOF ");
  CHECK_EQ(lexed(U"1еслиx"), "NUMBER 1еслиx|EOF ");
  CHECK_EQ(lexed(U"1×2"), "NUMBER 1|UNKNOWN ×|NUMBER 2|EOF ");

  const std::u32string s = U"ab12.5";
  const Text t = text_of(s.data(), 6);
  CHECK_EQ(match_number(t, 0), 0);
  CHECK_EQ(match_number(t, 2), 6);
  CHECK_EQ(match_number(t, 6), 6);
}

TEST_CASE("identifiers and keywords: whole identifiers, case-sensitive forms, later form wins") {
  const std::vector<Token> t = lex(U"если Если ЕСЛИ");
  CHECK_EQ(summary(U"если Если ЕСЛИ", t), "KEYWORD если|KEYWORD Если|IDENT ЕСЛИ|EOF ");
  CHECK(t[0].canonical == IF && t[1].canonical == IF && t[2].canonical == -1);
  CHECK_EQ(lexed(U"еслиx _если если_ если1"), "IDENT еслиx|IDENT _если|IDENT если_|IDENT если1|EOF ");
  CHECK_EQ(lexed(U"_ _a1 a_b"), "IDENT _|IDENT _a1|IDENT a_b|EOF ");
  CHECK_EQ(lexed(U"× 한 𝐀"), "UNKNOWN ×|UNKNOWN 한|UNKNOWN 𝐀|EOF ");

  Language l;
  l.add_form(U"если", IF);
  l.add_form(U"если", WHEN);
  l.add_form(U"a b", METHOD);    // not one identifier: never matches
  l.add_form(U"1a", METHOD);
  l.add_form(U"", METHOD);
  const std::u32string s = U"если a b 1a";
  const std::vector<Token> w = lex(s, l);
  CHECK_EQ(summary(s, w), "KEYWORD если|IDENT a|IDENT b|NUMBER 1a|EOF ");
  CHECK_EQ(w[0].canonical, WHEN);

  // Enough forms to grow the table several times; each still found.
  Language many;
  for (int k = 0; k < 500; ++k) many.add_form(U"k" + std::u32string(1, U'a' + k % 26) + std::u32string(k / 26 + 1, U'ж'), k);
  for (int k = 0; k < 500; ++k) {
    const std::u32string f = U"k" + std::u32string(1, U'a' + k % 26) + std::u32string(k / 26 + 1, U'ж');
    CHECK_EQ(many.keyword(text_of(f.data(), static_cast<int64_t>(f.size())), 0, static_cast<int64_t>(f.size())), k);
  }
}

TEST_CASE("letter ranges end exactly where the identifier class says") {
  const char32_t letters[] = {U'A', U'Z', U'a', U'z', 0xC0, 0xD6, 0xD8, 0xF6, 0xF8, 0xFF, 0x100, 0x1FFF, 0x3040,
                              0x318F, 0x3300, 0x337F, 0x3400, 0x3D2D, 0x4E00, 0x9FFF, 0xF900, 0xFAFF};
  const char32_t others[] = {U'@', U'[', U'`', U'{', U'_', U'0', 0xBF, 0xD7, 0xF7, 0x2000, 0x303F, 0x3190, 0x32FF,
                             0x3380, 0x33FF, 0x3D2E, 0x4DFF, 0xA000, 0xAC00, 0xF8FF, 0xFB00, 0xFEFF, 0x10000, 0x20000};
  for (char32_t c : letters) CHECK(is_letter(c));
  for (char32_t c : others) CHECK(!is_letter(c));
}

TEST_CASE("Unicode tables: str.isdigit and str.isupper of CPython 3.11") {
  int digits = 0, upper = 0;
  for (char32_t c = 0; c < 0x110000; ++c) digits += is_unicode_digit(c), upper += is_upper(c);
  CHECK_EQ(digits, 788);
  CHECK_EQ(upper, 1951);
  for (char32_t c : {U'7', U'²', U'١', U'０', U'𝟘', U'①'}) CHECK(is_unicode_digit(c));
  for (char32_t c : {U'a', U'½', U'Ⅷ', U'一'}) CHECK(!is_unicode_digit(c));
  for (char32_t c : {U'A', U'П', U'É', U'Ω', U'Ⅷ', U'𝐀'}) CHECK(is_upper(c));
  for (char32_t c : {U'a', U'п', U'ǅ', U'_', U'1', U'一'}) CHECK(!is_upper(c));
}

TEST_CASE("operators: longest listed match, falling back to a shorter one, any code points") {
  CHECK_EQ(lexed(U"x+=1"), "IDENT x|OP +=|NUMBER 1|EOF ");
  CHECK_EQ(lexed(U"a?.b a??b a?b"), "IDENT a|OP ?.|IDENT b|IDENT a|OP ??|IDENT b|IDENT a|OP ?|IDENT b|EOF ");
  CHECK_EQ(lexed(U"**="), "OP **|OP =|EOF ");
  CHECK_EQ(lexed(U">>"), "OP >|OP >|EOF ");
  CHECK_EQ(lexed(U"a~b"), "IDENT a|UNKNOWN ~|IDENT b|EOF ");

  Language l;
  for (const char32_t* op : {U"<", U"<<=", U"→", U"𝛌", U"𝛌𝛌", U"<", U"\u00D7"}) l.add_operator(op);
  l.add_operator(U"");  // ignored: it would match without consuming anything
  CHECK_EQ(lexed(U"<<x", l), "OP <|OP <|IDENT x|EOF ");
  CHECK_EQ(lexed(U"<<=x", l), "OP <<=|IDENT x|EOF ");
  CHECK_EQ(lexed(U"a→b 𝛌𝛌𝛌 ×", l), "IDENT a|OP →|IDENT b|OP 𝛌𝛌|OP 𝛌|OP ×|EOF ");
  CHECK_EQ(lexed(U"?", l), "UNKNOWN ?|EOF ");
}

TEST_CASE("skip_interpolation agrees with the recursive algorithm, negative starts included") {
  const char32_t alphabet[] = {U'"', U'$', U'%', U'{', U'}', U'\\', U'a', U'\''};
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20000; ++round) {
    std::u32string s(rng() % 14, U'a');
    for (auto& c : s) c = alphabet[rng() % std::size(alphabet)];
    const Text t = text_of(s.data(), static_cast<int64_t>(s.size()));
    const int64_t n = t.length;
    for (int64_t start = -n; start <= n + 1; ++start)
      CHECK_EQ(skip_interpolation(t, start), reference::skip_interpolation(t, start));
    CHECK_EQ(skip_interpolation(t, -n - 1), kIndexOutOfRange);
    if (!s.empty() && s[0] == U'"') {
      const std::vector<Token> toks = lex(s);
      bool closed;
      const int64_t end = reference::string_literal_end(t, 0, closed);
      CHECK(toks[0].kind == TokKind::STRING && toks[0].end == end && toks[0].unterminated == !closed);
    }
  }
  const std::u32string s = U"ab}";
  const Text t = text_of(s.data(), 3);
  CHECK_EQ(skip_interpolation(t, -1), 0);
  CHECK_EQ(skip_interpolation(t, -4), kIndexOutOfRange);
  CHECK_EQ(skip_interpolation(t, INT64_MIN), kIndexOutOfRange);
  CHECK_EQ(skip_interpolation(t, INT64_MAX), 3);
  CHECK_EQ(skip_interpolation(text_of(U"", 0), -1), kIndexOutOfRange);
}

TEST_CASE("a million nested interpolations: no recursion, one token") {
  constexpr int kDepth = 1000000;
  std::u32string open = U"\"";
  for (int k = 0; k < kDepth; ++k) open += U"${\"";
  std::vector<Token> toks;
  tokenize(text_of(open.data(), static_cast<int64_t>(open.size())), lang(), toks);
  CHECK_EQ(toks.size(), 2u);
  CHECK(toks[0].kind == TokKind::STRING && toks[0].unterminated && toks[0].end == static_cast<int64_t>(open.size()));
  CHECK_EQ(skip_interpolation(text_of(open.data(), static_cast<int64_t>(open.size())), 3),
           static_cast<int64_t>(open.size()));

  std::u32string closed = open;
  for (int k = 0; k < kDepth; ++k) closed += U"\"}";
  closed += U"\" x";
  toks.clear();
  tokenize(text_of(closed.data(), static_cast<int64_t>(closed.size())), lang(), toks);
  CHECK_EQ(toks.size(), 3u);
  CHECK(toks[0].kind == TokKind::STRING && !toks[0].unterminated && toks[0].end == static_cast<int64_t>(closed.size()) - 2);
}

TEST_CASE("1-, 2- and 4-byte storage give identical tokens") {
  for (const char32_t* s : {U"", U"x\r\ny", U"\ufeffa\ufeff", U"if a\u00A0b \"${a}\" 'p\\\r\n' 12px.5 /** d */ ×",
                            U"если Если x+=1 ١٢3 한 \"%{\"", U"/* a\n b", U"'a\nb'"})
    check_widths_agree(s);
  for (const fs::path& p : corpus_files("valid")) check_widths_agree(read_source(p));
  for (const fs::path& p : corpus_files("invalid")) check_widths_agree(read_source(p));
}

TEST_CASE("corpus: tokens in order, gaps only blanks and line breaks, EOF at the end") {
  for (const char* which : {"valid", "invalid"}) {
    for (const fs::path& p : corpus_files(which)) {
      const std::u32string s = read_source(p);
      const std::vector<Token> toks = lex(s);
      const auto n = static_cast<int64_t>(s.size());
      CHECK(!toks.empty() && toks.back().kind == TokKind::EOF_ && toks.back().start == n);
      const std::vector<int64_t> starts = starts_of(s);
      int64_t at = 0;
      bool ok = true;
      for (const Token& t : toks) {
        for (; at < t.start; ++at) ok &= s[at] == U' ' || s[at] == U'\t' || s[at] == U'\r' || s[at] == U'\n';
        ok &= t.start <= t.end && (t.kind == TokKind::EOF_ || t.start < t.end);
        at = t.end;
        const LineCol a = linecol(starts.data(), static_cast<int64_t>(starts.size()), t.start);
        ok &= a.line == t.line && a.col == t.col;
      }
      CHECK(ok);
      if (std::string(which) == "valid")
        for (const Token& t : toks) CHECK(!t.unterminated && t.kind != TokKind::UNKNOWN);
    }
  }
}

// ---------------------------------------------------------------- parser tokens

namespace {

// The parser's tokens made in one pass equal those built from the token list.
void check_one_pass(const std::u32string& s) {
  const Text text = text_of(s.data(), static_cast<int64_t>(s.size()));
  const std::vector<parse::Kw> table = {parse::Kw::IF, parse::Kw::WHEN, parse::Kw::METHOD};
  std::vector<parse::PTok> built, direct;
  std::vector<parse::Unterminated> built_open, direct_open;
  build_parser_tokens(text, lex(s), table, built, built_open);
  tokenize_for_parser(text, lang(), table, direct, direct_open);
  CHECK_EQ(built.size(), direct.size());
  bool same = built_open.size() == direct_open.size();
  for (size_t i = 0; same && i < built.size(); ++i) {
    const parse::PTok &a = built[i], &b = direct[i];
    same = a.start == b.start && a.end == b.end && a.line == b.line && a.end_line == b.end_line && a.kind == b.kind &&
           a.kw == b.kw && a.op == b.op && a.upper_first == b.upper_first && a.ends_with_qmark == b.ends_with_qmark &&
           a.empty_text == b.empty_text;
  }
  for (size_t i = 0; same && i < built_open.size(); ++i)
    same = built_open[i].start == direct_open[i].start && built_open[i].end == direct_open[i].end;
  CHECK(same);
}

}  // namespace

TEST_CASE("build_parser_tokens: comments and BOMs dropped, unterminated literals listed in order") {
  const std::u32string s = U"\ufeff/* c */ Пока пока ?? x? 'p\n/* open";
  const Text text = text_of(s.data(), static_cast<int64_t>(s.size()));
  const std::vector<Token> toks = lex(s);
  const std::vector<parse::Kw> table = {parse::Kw::IF, parse::Kw::WHEN};  // WHILE (3) is out of range
  std::vector<parse::PTok> out;
  std::vector<parse::Unterminated> open;
  build_parser_tokens(text, toks, table, out, open);
  CHECK_EQ(out.size(), 7u);  // Пока пока ?? x ? 'p EOF
  CHECK(out[0].kind == TokKind::IDENT && out[0].kw == parse::Kw::NONE);
  CHECK(out[1].kind == TokKind::KEYWORD && out[1].kw == parse::Kw::NONE && !out[1].upper_first);
  CHECK(out[2].op == parse::Op::COALESCE && out[2].ends_with_qmark);
  CHECK(out[3].kind == TokKind::IDENT && out[3].op == parse::Op::NONE);
  CHECK(out[4].op == parse::Op::QUESTION);
  CHECK(out[6].kind == TokKind::EOF_ && out[6].empty_text && !out[6].upper_first);
  CHECK_EQ(open.size(), 2u);
  CHECK(open[0].kind == TokKind::PATTERN && open[1].kind == TokKind::COMMENT && open[0].end <= open[1].start);

  const std::u32string k = U"Если когда метод";
  std::vector<parse::PTok> kws;
  open.clear();
  build_parser_tokens(text_of(k.data(), static_cast<int64_t>(k.size())), lex(k),
                      {parse::Kw::IF, parse::Kw::WHEN, parse::Kw::METHOD}, kws, open);
  CHECK(kws[0].kw == parse::Kw::IF && kws[1].kw == parse::Kw::WHEN && kws[2].kw == parse::Kw::METHOD);
  CHECK(kws[0].upper_first && !kws[1].upper_first);
  CHECK(open.empty());

  // Lines of tokens after and across every kind of line break.
  for (const std::u32string& t : {s, k, std::u32string(U"\"a\r\n\\\r\nb\"\r'x\\\r\ny'\n/*\r\r\n*/\r\nx\r"),
                                  std::u32string(U"a\r\n\r\"\r"), std::u32string(U"/* \r")})
    check_one_pass(t);
  for (const char* which : {"valid", "invalid"})
    for (const fs::path& p : corpus_files(which)) check_one_pass(read_source(p));
}

// ---------------------------------------------------------------- language definition

TEST_CASE("language JSON: the shipped definition and the reader's edge cases") {
  Language l;
  std::vector<std::string> names;
  std::string error;
  const fs::path shipped = fs::path(tarn::testing::data_dir()) / ".." / ".." / "src" / "tarn" / "data" / "language.json";
  CHECK(read_language_file(shipped.string(), l, names, error));
  const auto method = std::find(names.begin(), names.end(), "METHOD") - names.begin();
  CHECK(method < static_cast<long>(names.size()));
  const std::u32string s = U"метод x::y += 1";
  const std::vector<Token> t = lex(s, l);
  CHECK_EQ(summary(s, t), "KEYWORD метод|IDENT x|OP ::|IDENT y|OP +=|NUMBER 1|EOF ");
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

TEST_CASE("decode_utf8_text: the host's strict codec, narrowest width, the first bad byte") {
  struct Case { std::string_view bytes; int64_t error, length; uint8_t width; };
  const Case cases[] = {
      {"\xe0\x80\x80", 0, 0, 1},       {"a\xed\xa0\x80", 1, 0, 1},  // overlong; a surrogate
      {"ok\xf4\x90\x80\x80", 2, 0, 1}, {"\xc3", 0, 0, 1},           // past U+10FFFF; cut short
      {"ab\xe2\x82", 2, 0, 1},         {"abcdefghij", -1, 10, 1},   // ASCII by words
      {"caf\xc3\xa9", -1, 4, 1},       {"\xd0\xb9\xe2\x82\xac", -1, 2, 2},
      {"\xf0\x9f\x98\x80x", -1, 2, 4},
  };
  for (const Case& c : cases) {
    DecodedText d;
    CHECK_EQ(decode_utf8_text(c.bytes, d), c.error < 0);
    CHECK_EQ(d.error_offset, c.error);
    if (c.error < 0) CHECK(d.length == c.length && d.width == c.width);
  }
  DecodedText d;
  decode_utf8_text("\xd0\xb9\xe2\x82\xac", d);
  CHECK(d.text().at(0) == U'й' && d.text().at(1) == U'€');
}

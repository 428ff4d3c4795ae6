#include "lexer.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "memory.h"
#include "source.h"

namespace tarn {
namespace {

#include "unicode_tables.inc"

// A class of code points: sorted ranges, and the BMP pages of 256 code
// points that hold any of them, so most scripts skip the range search.
struct CodeClass {
  const CodeRange* ranges;
  size_t count;
  uint64_t pages[4] = {};
  constexpr CodeClass(const CodeRange* r, size_t n) : ranges(r), count(n) {
    for (size_t i = 0; i < n; ++i)
      for (char32_t p = r[i].lo >> 8; p <= (r[i].hi >> 8) && p < 256; ++p) pages[p >> 6] |= uint64_t{1} << (p & 63);
  }
  bool contains(char32_t c) const {
    if (c < 0x10000 && !(pages[c >> 14] >> ((c >> 8) & 63) & 1)) return false;
    const CodeRange* end = ranges + count;
    const CodeRange* r = std::lower_bound(ranges, end, c, [](const CodeRange& a, char32_t x) { return a.hi < x; });
    return r != end && r->lo <= c;
  }
};
// Upper case is asked of every keyword's first letter: the BMP as a bitmap
// (8 KB), one look-up instead of a search, for the built-in table and a
// host's alike; the ranges only past the BMP.
struct UpperClass : CodeClass {
  uint64_t bmp[1024] = {};
  constexpr UpperClass(const CodeRange* r, size_t n) : CodeClass(r, n) {
    for (size_t i = 0; i < n; ++i)
      for (char32_t c = r[i].lo; c <= r[i].hi && c < 0x10000; ++c) bmp[c >> 6] |= uint64_t{1} << (c & 63);
  }
  bool contains(char32_t c) const {
    if (c < 0x10000) return bmp[c >> 6] >> (c & 63) & 1;
    return CodeClass::contains(c);
  }
};

constexpr CodeClass kBuiltinDigits(kDigitRanges, std::size(kDigitRanges));
constexpr UpperClass kBuiltinUpper(kUpperRanges, std::size(kUpperRanges));
std::atomic<const CodeClass*> g_digits{&kBuiltinDigits};
std::atomic<const UpperClass*> g_upper{&kBuiltinUpper};

template <class Class>
const Class* installed(const Class* current, std::vector<CodeRange>& ranges) {
  const bool same = ranges.size() == current->count &&
                    std::equal(ranges.begin(), ranges.end(), current->ranges,
                               [](const CodeRange& a, const CodeRange& b) { return a.lo == b.lo && a.hi == b.hi; });
  if (same) return current;
  // Kept for the life of the process: tokenizers may still hold the old one.
  auto* kept = new std::vector<CodeRange>(std::move(ranges));
  return new Class(kept->data(), kept->size());
}

// What the first rule that fits does with an ASCII code point; everything at
// or above U+0080 is sorted out by the Unicode classes.
enum class Lead : uint8_t { OTHER, BLANK, LINE_BREAK, SLASH, DOUBLE_QUOTE, SINGLE_QUOTE, DIGIT, IDENT_START };

struct AsciiClasses {
  Lead lead[128] = {};
  bool ident_part[128] = {};  // "_", A-Z, a-z, 0-9
  bool number_part[128] = {};  // A-Z, a-z, 0-9
  constexpr AsciiClasses() {
    lead[' '] = lead['\t'] = Lead::BLANK;
    lead['\r'] = lead['\n'] = Lead::LINE_BREAK;
    lead['/'] = Lead::SLASH;
    lead['"'] = Lead::DOUBLE_QUOTE;
    lead['\''] = Lead::SINGLE_QUOTE;
    for (int c = '0'; c <= '9'; ++c) lead[c] = Lead::DIGIT, ident_part[c] = number_part[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) lead[c] = Lead::IDENT_START, ident_part[c] = number_part[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) lead[c] = Lead::IDENT_START, ident_part[c] = number_part[c] = true;
    lead['_'] = Lead::IDENT_START;
    ident_part['_'] = true;
  }
};
constexpr AsciiClasses kAscii;

inline bool is_ascii_digit(char32_t c) { return c - U'0' < 10u; }

constexpr bool letter(char32_t c) {
  if (c < 0x80) return (c | 0x20) - U'a' < 26u;
  if (c < 0x100) return c >= 0xC0 && c != 0xD7 && c != 0xF7;
  if (c <= 0x1FFF) return true;
  if (c < 0x3040) return false;
  if (c <= 0x318F) return true;
  if (c < 0x3300) return false;
  if (c <= 0x337F) return true;
  if (c < 0x3400) return false;
  if (c <= 0x3D2D) return true;
  if (c < 0x4E00) return false;
  if (c <= 0x9FFF) return true;
  return c >= 0xF900 && c <= 0xFAFF;
}

inline bool unicode_digit(char32_t c) {
  if (c < 0x80) return is_ascii_digit(c);
  return g_digits.load(std::memory_order_relaxed)->contains(c);
}

// Identifier parts of the BMP as a bitmap (8 KB): the loop over an
// identifier's code points tests one bit each instead of a chain of ranges.
struct IdentBitmap {
  uint64_t bits[1024] = {};
  constexpr IdentBitmap() {
    for (char32_t c = 0; c < 0x10000; ++c)
      if (c < 128 ? kAscii.ident_part[c] : letter(c)) bits[c >> 6] |= uint64_t{1} << (c & 63);
  }
};
constexpr IdentBitmap kIdentBmp;

inline bool is_ident_part(char32_t c) {
  if (c < 0x10000) return kIdentBmp.bits[c >> 6] >> (c & 63) & 1;
  return letter(c);
}
inline bool is_number_part(char32_t c) { return c < 128 ? kAscii.number_part[c] : letter(c); }

// Code-unit readers for the literal scanner: plain indexing, and host string
// indexing where a negative index counts from the end.
template <class U>
struct Units {
  const U* s;
  char32_t operator()(int64_t k) const { return s[k]; }
};
template <class U>
struct WrappedUnits {
  const U* s;
  int64_t n;
  char32_t operator()(int64_t k) const { return s[k < 0 ? k + n : k]; }
};

// String bodies and interpolations, which nest inside each other without
// bound. Instead of recursing, `depths` holds the brace depth of every open
// interpolation; frames alternate string, interpolation, string, ..., so the
// innermost frame is a string exactly when `in_string`. Starting in a string
// (`depths` empty) it ends after that string's closing quote; starting in an
// interpolation (`depths` = {1}) it ends after its closing brace. `closed`
// tells which ending was reached; otherwise the result is where the text ran
// out (one past its end after a trailing backslash).
template <class At>
int64_t scan_nested(At at, int64_t n, int64_t j, bool in_string, std::vector<int64_t>& depths, bool& closed) {
  const bool base_is_string = in_string;
  closed = false;
  while (j < n) {
    const char32_t c = at(j);
    if (c == U'\\') {
      j += 2;
    } else if (in_string) {
      if (c == U'"') {
        ++j;
        if (depths.empty()) {
          closed = true;
          return j;
        }
        in_string = false;
      } else if ((c == U'$' || c == U'%') && j + 1 < n && at(j + 1) == U'{') {
        depths.push_back(1);
        in_string = false;
        j += 2;
      } else {
        ++j;
      }
    } else if (c == U'"') {
      in_string = true;
      ++j;
    } else if (c == U'{') {
      ++depths.back();
      ++j;
    } else if (c == U'}') {
      ++j;
      if (--depths.back() == 0) {
        depths.pop_back();
        if (depths.empty() && !base_is_string) {
          closed = true;
          return j;
        }
        in_string = true;
      }
    } else {
      ++j;
    }
  }
  return j;
}

template <class U>
int64_t identifier_end(const U* s, int64_t n, int64_t pos) {
  if (pos < 0 || pos >= n) return pos;
  const char32_t c = s[pos];
  if (!(c == U'_' || letter(c))) return pos;
  int64_t j = pos + 1;
  while (j < n && is_ident_part(s[j])) ++j;
  return j;
}

// The longest run of ASCII digits and letters when it holds a letter;
// otherwise digits, optionally "." and more digits.
template <class U>
int64_t number_end(const U* s, int64_t n, int64_t pos) {
  if (pos < 0 || pos >= n || !is_ascii_digit(s[pos])) return pos;
  int64_t j = pos + 1;
  bool has_letter = false;
  for (; j < n && is_number_part(s[j]); ++j) has_letter |= !is_ascii_digit(s[j]);
  if (has_letter) return j;
  if (j + 1 < n && s[j] == U'.' && is_ascii_digit(s[j + 1])) {
    j += 2;
    while (j < n && is_ascii_digit(s[j])) ++j;
  }
  return j;
}

// Where the scanning loop puts what it finds: the host-facing token list
// (TokenSink) or the parser's tokens (ParserSink, source.h). A sink counts its
// tokens for the poll and hears of every line break the loop itself skips.
struct TokenSink {
  std::vector<Token>& out;
  size_t count() const { return out.size(); }
  void line_break() {}
  template <class U>
  void emit(const U*, TokKind kind, int64_t start, int64_t end, CommentStyle style, bool unterminated,
            int32_t canonical) {
    // Filled in place: a token built aside and copied in stalls on the
    // narrow field stores.
    Token& t = out.emplace_back();
    t.start = start, t.end = end, t.canonical = canonical;
    t.kind = kind, t.style = style, t.unterminated = unterminated;
  }
};

// The parser's tokens with their lines, counted as the loop goes: the loop
// reports the breaks between tokens, and the breaks inside a token (block
// comments, strings, patterns, operators of a host's language) are counted
// when it is emitted. `line` is always the number of line starts at or
// before the scanning position, which is what bisecting the line starts gives.
class ParserSink {
 public:
  ParserSink(int64_t n, const std::vector<parse::Kw>& kw_of_canonical, std::vector<parse::PTok>& out,
             std::vector<parse::Unterminated>& unterminated)
      : n_(n), kw_of_canonical_(kw_of_canonical), out_(out), unterminated_(unterminated) {}
  size_t count() const { return count_; }
  void line_break() { ++line_; }
  template <class U>
  void emit(const U* s, TokKind kind, int64_t start, int64_t end, CommentStyle style, bool unterminated,
            int32_t canonical) {
    ++count_;
    const int64_t first = line_;
    if (kind == TokKind::STRING || kind == TokKind::PATTERN || (kind == TokKind::COMMENT && style != CommentStyle::LINE) ||
        (kind == TokKind::OP && end - start > 1))
      line_ += starts_within(s, start, end);
    if (unterminated && detail::may_be_unterminated(kind)) unterminated_.push_back({start, end, kind});
    if (kind == TokKind::COMMENT || kind == TokKind::BOM) return;
    detail::fill_parser_token(out_.emplace_back(), s, kind, start, end, first, line_, canonical, kw_of_canonical_);
  }

 private:
  // Line starts in (start, end]: after each "\n", and after each "\r" that no
  // "\n" follows (the one after a "\r\n" pair).
  template <class U>
  int64_t starts_within(const U* s, int64_t start, int64_t end) const {
    int64_t k = 0;
    for (int64_t q = start; q < end; ++q) {
      const char32_t c = s[q];
      if (c > U'\r') [[likely]] continue;
      if (c == U'\n' || (c == U'\r' && !(q + 1 < n_ && s[q + 1] == U'\n'))) ++k;
    }
    return k;
  }

  int64_t n_;
  int64_t line_ = 1;
  size_t count_ = 0;
  const std::vector<parse::Kw>& kw_of_canonical_;
  std::vector<parse::PTok>& out_;
  std::vector<parse::Unterminated>& unterminated_;
};

template <class U, class Sink>
class Scanner {
 public:
  Scanner(const U* s, const Text& text, const Language& lang, Sink& sink, TokenizePoll poll, void* context)
      : s_(s), n_(text.length), lang_(lang), sink_(sink), poll_(poll), poll_context_(context) {}

  bool run() {
    int64_t i = 0;
    size_t next_poll = sink_.count() + kPollInterval;
    while (i < n_) {
      if (poll_ && sink_.count() >= next_poll) {
        if (poll_(poll_context_)) return false;
        next_poll = sink_.count() + kPollInterval;
      }
      const char32_t c = s_[i];
      if (c < 128) {
        switch (kAscii.lead[c]) {
          case Lead::BLANK: i = skip_blanks(i + 1); continue;
          case Lead::LINE_BREAK:
            sink_.line_break();
            i = skip_blanks(i + ((c == U'\r' && i + 1 < n_ && s_[i + 1] == U'\n') ? 2 : 1));
            continue;
          case Lead::SLASH:
            if (i + 1 < n_ && s_[i + 1] == U'/') { i = line_comment(i); continue; }
            if (i + 1 < n_ && s_[i + 1] == U'*') { i = block_comment(i); continue; }
            break;
          case Lead::DOUBLE_QUOTE: i = string_literal(i); continue;
          case Lead::SINGLE_QUOTE: i = pattern_literal(i); continue;
          case Lead::DIGIT: i = emit(TokKind::NUMBER, i, number_end(s_, n_, i)); continue;
          case Lead::IDENT_START: i = identifier(i); continue;
          case Lead::OTHER: break;
        }
      } else if (c == 0xFEFF) {
        i = emit(TokKind::BOM, i, i + 1);
        continue;
      } else if (unicode_digit(c)) {
        i = emit(TokKind::NUMBER, i, i + 1);  // no number pattern starts with a non-ASCII digit
        continue;
      } else if (letter(c)) {
        i = identifier(i);
        continue;
      }
      i = operator_or_unknown(i);
    }
    emit(TokKind::EOF_, n_, n_);
    return true;
  }

 private:
  // Indentation runs are common; consuming them here spares a dispatch per blank.
  int64_t skip_blanks(int64_t i) const {
    // Eight bytes of spaces at a time first: indentation is mostly runs of them.
    if constexpr (sizeof(U) <= 2) {
      constexpr uint64_t kSpaces = sizeof(U) == 1 ? 0x2020202020202020ull : 0x0020002000200020ull;
      constexpr int64_t kPerWord = 8 / sizeof(U);
      for (uint64_t w; i + kPerWord <= n_; i += kPerWord) {
        std::memcpy(&w, s_ + i, 8);
        if (w != kSpaces) break;
      }
    }
    while (i < n_ && (s_[i] == U' ' || s_[i] == U'\t')) ++i;
    return i;
  }

  int64_t emit(TokKind kind, int64_t start, int64_t end, CommentStyle style = CommentStyle::NONE,
               bool unterminated = false, int32_t canonical = -1) {
    sink_.emit(s_, kind, start, end, style, unterminated, canonical);
    return end;
  }

  int64_t line_comment(int64_t i) {
    int64_t j = i + 2;
    while (j < n_ && s_[j] != U'\r' && s_[j] != U'\n') ++j;
    return emit(TokKind::COMMENT, i, j, CommentStyle::LINE);
  }

  // "/*" up to the first "*/" (no nesting); "/**" makes it documentation,
  // except for the empty comment "/**/".
  int64_t block_comment(int64_t i) {
    const bool doc = i + 2 < n_ && s_[i + 2] == U'*' && !(i + 3 < n_ && s_[i + 3] == U'/');
    const CommentStyle style = doc ? CommentStyle::DOC : CommentStyle::BLOCK;
    for (int64_t j = i + 2; j + 1 < n_; ++j)
      if (s_[j] == U'*' && s_[j + 1] == U'/') return emit(TokKind::COMMENT, i, j + 2, style);
    return emit(TokKind::COMMENT, i, n_, style, true);
  }

  int64_t string_literal(int64_t i) {
    depths_.clear();
    bool closed;
    const int64_t j = scan_nested(Units<U>{s_}, n_, i + 1, true, depths_, closed);
    return emit(TokKind::STRING, i, std::min(j, n_), CommentStyle::NONE, !closed);
  }

  // Single line; a backslash carries the literal over the next code point, or
  // over a whole "\r\n", so CRLF files read like LF files.
  int64_t pattern_literal(int64_t i) {
    int64_t j = i + 1;
    bool closed = false;
    while (j < n_) {
      const char32_t c = s_[j];
      if (c == U'\\') {
        j += (j + 2 < n_ && s_[j + 1] == U'\r' && s_[j + 2] == U'\n') ? 3 : 2;
      } else if (c == U'\'') {
        ++j;
        closed = true;
        break;
      } else if (c == U'\r' || c == U'\n') {
        break;
      } else {
        ++j;
      }
    }
    return emit(TokKind::PATTERN, i, std::min(j, n_), CommentStyle::NONE, !closed);
  }

  int64_t identifier(int64_t i) {
    int64_t e = i + 1;
    while (e < n_ && is_ident_part(s_[e])) ++e;
    const int32_t id = lang_.keyword_at(s_, i, e);
    return emit(id >= 0 ? TokKind::KEYWORD : TokKind::IDENT, i, e, CommentStyle::NONE, false, id);
  }

  int64_t operator_or_unknown(int64_t i) {
    const int64_t len = lang_.match_operator_at(s_, n_, i);
    return len > 0 ? emit(TokKind::OP, i, i + len) : emit(TokKind::UNKNOWN, i, i + 1);
  }

  const U* s_;
  int64_t n_;
  const Language& lang_;
  Sink& sink_;
  static constexpr size_t kPollInterval = 4096;
  TokenizePoll poll_;
  void* poll_context_;
  std::vector<int64_t> depths_;  // reused by every string literal of the text
};

}  // namespace

bool is_letter(char32_t c) { return letter(c); }

bool is_unicode_digit(char32_t c) { return unicode_digit(c); }

bool is_upper(char32_t c) {
  if (c < 0x80) return c - U'A' < 26u;
  return g_upper.load(std::memory_order_relaxed)->contains(c);
}

const char* builtin_unicode_version() { return kUnicodeVersion; }

void set_host_classes(std::vector<CodeRange> digits, std::vector<CodeRange> upper) {
  g_digits.store(installed(g_digits.load(), digits), std::memory_order_release);
  g_upper.store(installed(g_upper.load(), upper), std::memory_order_release);
}

int64_t match_identifier(const Text& text, int64_t pos) {
  return visit_text(text, [&](const auto* s) { return identifier_end(s, text.length, pos); });
}

int64_t match_number(const Text& text, int64_t pos) {
  return visit_text(text, [&](const auto* s) { return number_end(s, text.length, pos); });
}

bool tokenize_for_parser(const Text& text, const Language& lang, const std::vector<parse::Kw>& kw_of_canonical,
                         std::vector<parse::PTok>& out, std::vector<parse::Unterminated>& unterminated,
                         TokenizePoll poll, void* context) {
  // Without comments, typical sources average six to seven code points per
  // parser token.
  out.reserve(out.size() + static_cast<size_t>(text.length / 6) + 1);
  prefer_huge_pages(out.data() + out.size(), (out.capacity() - out.size()) * sizeof(parse::PTok));
  ParserSink sink(text.length, kw_of_canonical, out, unterminated);
  return visit_text(text, [&](const auto* s) {
    using U = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
    return Scanner<U, ParserSink>(s, text, lang, sink, poll, context).run();
  });
}

int64_t skip_interpolation(const Text& text, int64_t start) {
  const int64_t n = text.length;
  if (start >= n) return n;
  if (start < -n) return kIndexOutOfRange;
  std::vector<int64_t> depths{1};
  bool closed;
  const int64_t j = visit_text(text, [&](const auto* s) {
    using U = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
    return start < 0 ? scan_nested(WrappedUnits<U>{s, n}, n, start, false, depths, closed)
                     : scan_nested(Units<U>{s}, n, start, false, depths, closed);
  });
  return closed ? j : n;
}

bool tokenize(const Text& text, const Language& lang, std::vector<Token>& out, TokenizePoll poll, void* context) {
  // Typical sources average five to six code points per token.
  out.reserve(out.size() + static_cast<size_t>(text.length / 5) + 1);
  prefer_huge_pages(out.data() + out.size(), (out.capacity() - out.size()) * sizeof(Token));
  return visit_text(text, [&](const auto* s) {
    using U = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
    TokenSink sink{out};
    return Scanner<U, TokenSink>(s, text, lang, sink, poll, context).run();
  });
}

}  // namespace tarn

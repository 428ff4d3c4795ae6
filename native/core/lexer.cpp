#include "lexer.h"

#include <algorithm>
#include <atomic>

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
constexpr CodeClass kBuiltinDigits(kDigitRanges, std::size(kDigitRanges));
constexpr CodeClass kBuiltinUpper(kUpperRanges, std::size(kUpperRanges));
std::atomic<const CodeClass*> g_digits{&kBuiltinDigits};
std::atomic<const CodeClass*> g_upper{&kBuiltinUpper};

const CodeClass* installed(const CodeClass* current, std::vector<CodeRange>& ranges) {
  const bool same = ranges.size() == current->count &&
                    std::equal(ranges.begin(), ranges.end(), current->ranges,
                               [](const CodeRange& a, const CodeRange& b) { return a.lo == b.lo && a.hi == b.hi; });
  if (same) return current;
  // Kept for the life of the process: tokenizers may still hold the old one.
  auto* kept = new std::vector<CodeRange>(std::move(ranges));
  return new CodeClass(kept->data(), kept->size());
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

inline bool letter(char32_t c) {
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

inline bool is_ident_part(char32_t c) { return c < 128 ? kAscii.ident_part[c] : letter(c); }
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

template <class U>
class Scanner {
 public:
  Scanner(const U* s, const Text& text, const Language& lang, std::vector<Token>& out, TokenizePoll poll, void* context)
      : s_(s), n_(text.length), text_(text), lang_(lang), out_(out), poll_(poll), poll_context_(context) {}

  bool run() {
    int64_t i = 0;
    size_t next_poll = out_.size() + kPollInterval;
    while (i < n_) {
      if (poll_ && out_.size() >= next_poll) {
        if (poll_(poll_context_)) return false;
        next_poll = out_.size() + kPollInterval;
      }
      const char32_t c = s_[i];
      if (c < 128) {
        switch (kAscii.lead[c]) {
          case Lead::BLANK: i = skip_blanks(i + 1); continue;
          case Lead::LINE_BREAK:
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
    out_.push_back(Token{.start = n_, .end = n_, .kind = TokKind::EOF_});
    return true;
  }

 private:
  // Indentation runs are common; consuming them here spares a dispatch per blank.
  int64_t skip_blanks(int64_t i) const {
    while (i < n_ && (s_[i] == U' ' || s_[i] == U'\t')) ++i;
    return i;
  }

  int64_t emit(TokKind kind, int64_t start, int64_t end, CommentStyle style = CommentStyle::NONE,
               bool unterminated = false, int32_t canonical = -1) {
    // Filled in place: a token built aside and copied in stalls on the
    // narrow field stores.
    Token& t = out_.emplace_back();
    t.start = start, t.end = end, t.canonical = canonical;
    t.kind = kind, t.style = style, t.unterminated = unterminated;
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
    const int32_t id = lang_.keyword(text_, i, e);
    return emit(id >= 0 ? TokKind::KEYWORD : TokKind::IDENT, i, e, CommentStyle::NONE, false, id);
  }

  int64_t operator_or_unknown(int64_t i) {
    const int64_t len = lang_.match_operator(text_, i);
    return len > 0 ? emit(TokKind::OP, i, i + len) : emit(TokKind::UNKNOWN, i, i + 1);
  }

  const U* s_;
  int64_t n_;
  const Text& text_;
  const Language& lang_;
  std::vector<Token>& out_;
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
  return visit_text(text, [&](const auto* s) {
    using U = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
    return Scanner<U>(s, text, lang, out, poll, context).run();
  });
}

}  // namespace tarn

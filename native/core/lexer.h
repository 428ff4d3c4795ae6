// The tokenizer: one left-to-right pass, every code point consumed by one rule.
#pragma once
#include <cstdint>
#include <vector>

#include "language.h"
#include "text.h"
#include "token.h"

namespace tarn {

// Appends the tokens of `text` to `out`, ending with exactly one EOF token.
// Positions (line/col) are left for assign_positions(). Comments, BOMs and
// unterminated literals are tokens like any other.
// `poll`, when given, is called every few thousand tokens; when it returns
// true the tokenizer stops at once and returns false (the host honours Ctrl-C
// this way). `out` then holds an incomplete list without EOF.
using TokenizePoll = bool (*)(void* context);
bool tokenize(const Text& text, const Language& lang, std::vector<Token>& out, TokenizePoll poll = nullptr,
              void* context = nullptr);

// Offset just after the "}" that closes an interpolation opened just before
// `start`, or text.length when there is none. Iterative: nesting depth costs
// heap, never C stack, and time stays linear.
// `start` is read with host string indexing: a negative start counts from the
// end of the text (and so may give a negative result). Where the host would
// raise IndexError (start < -text.length) the result is kIndexOutOfRange.
inline constexpr int64_t kIndexOutOfRange = INT64_MIN;
int64_t skip_interpolation(const Text& text, int64_t start);

// Matchers the host patterns _IDENT_RE / _NUMBER_RE describe; each returns the
// end of the match at `pos`, or `pos` when there is none.
int64_t match_identifier(const Text& text, int64_t pos);
int64_t match_number(const Text& text, int64_t pos);

// Character classes of the tokenizer.
bool is_letter(char32_t c);      // the eleven letter ranges
bool is_unicode_digit(char32_t c);  // the host's str.isdigit (built in: CPython 3.11's)
bool is_upper(char32_t c);       // the host's str.isupper of one code point (built in: CPython 3.11's)

// The host's answers for is_unicode_digit and is_upper, as sorted inclusive
// ranges: its Unicode database may be newer than the built-in tables. Call
// once before tokenizing (not while any thread tokenizes); the tables then
// stay for the life of the process.
struct CodeRange { char32_t lo, hi; };
void set_host_classes(std::vector<CodeRange> digits, std::vector<CodeRange> upper);
// The Unicode version the built-in tables come from ("14.0.0"): a host whose
// database has this version needs to install nothing.
const char* builtin_unicode_version();

}  // namespace tarn

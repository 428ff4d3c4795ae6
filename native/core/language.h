// Keyword-form map and operator matcher, built once from the language
// definition (the binding feeds them from the memoised host tables).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "text.h"

namespace tarn {

class Language {
 public:
  // Maps a written form to a canonical-name id (an index the caller owns).
  // A later form replaces an earlier identical one. Forms that are not one
  // identifier can never match and may be dropped.
  void add_form(const std::u32string& form, int32_t canonical_id);
  // Operators in any order; duplicates allowed. Must not be empty strings
  // (the caller refuses those before building).
  void add_operator(const std::u32string& op);

  // Canonical id of the identifier text[start, end), or -1. No allocation.
  int32_t keyword(const Text& text, int64_t start, int64_t end) const;
  // Length in code points of the longest operator at text[pos], or 0.
  int64_t match_operator(const Text& text, int64_t pos) const;

  // The same on code units of a known width (the tokenizer's loop): the
  // quick refusals inline, the rest out of line.
  template <class U>
  int32_t keyword_at(const U* s, int64_t start, int64_t end) const {
    const int64_t len = end - start;
    if (len <= 0 || slots_.empty()) return -1;
    const uint32_t sign = sign_of(s[start], s[end - 1], len);
    if (!(signs_[sign >> 6] >> (sign & 63) & 1)) return -1;
    return find_form(s, start, end);
  }
  template <class U>
  int64_t match_operator_at(const U* s, int64_t n, int64_t pos) const {
    if (pos < 0 || pos >= n) return 0;
    if (s[pos] < 128) {
      const int32_t node = ascii_root_[s[pos]];
      if (node == 0) return 0;
      if (trie_[node].first_child < 0) return trie_[node].terminal ? 1 : 0;
    }
    return longest_operator(s, n, pos);
  }

 private:
  // Forms live in an open-addressing table over a hash of their code points,
  // so a lookup hashes the identifier in place and compares code points
  // directly against the text: nothing is allocated per token.
  struct FormEntry { std::u32string form; int32_t id; uint64_t hash; };
  std::vector<FormEntry> forms_;
  std::vector<int32_t> slots_;     // index into forms_, -1 when empty; size a power of two
  // Most identifiers are not keywords; a bit per (first, last, length) sign
  // turns nearly all of them away before any hashing.
  uint64_t signs_[16] = {};
  static uint32_t sign_of(char32_t first, char32_t last, int64_t len) {
    const uint32_t h = (first * 0x9E3779B1u) ^ (last * 0x85EBCA77u) ^ (static_cast<uint32_t>(len) * 0xC2B2AE3Du);
    return h >> 22;  // 0..1023
  }
  template <class U>
  int32_t find_form(const U* s, int64_t start, int64_t end) const;
  template <class U>
  int64_t longest_operator(const U* s, int64_t n, int64_t pos) const;
  void rehash(size_t slot_count);

  // Operators form a trie keyed by code point; node 0 is the root. The root's
  // children for ASCII code points are also indexed directly.
  struct TrieNode { char32_t ch; int32_t first_child, next_sibling; bool terminal; };
  std::vector<TrieNode> trie_{TrieNode{0, -1, -1, false}};
  int32_t ascii_root_[128] = {};   // 0: no operator starts with that code point
};

}  // namespace tarn

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

 private:
  // Layout of the form hash table and the operator trie is language.cpp's.
  struct FormEntry { std::u32string form; int32_t id; uint64_t hash; };
  std::vector<FormEntry> forms_;
  std::vector<int32_t> buckets_;
  struct TrieNode { char32_t ch; int32_t first_child, next_sibling; bool terminal; };
  std::vector<TrieNode> trie_;
};

}  // namespace tarn

#include "language.h"

#include "lexer.h"

namespace tarn {
namespace {

// FNV-1a over whole code points, so a form and the same identifier in 1-, 2-
// or 4-byte storage hash alike.
constexpr uint64_t kHashSeed = 0xcbf29ce484222325ull;
constexpr uint64_t kHashPrime = 0x100000001b3ull;

inline uint64_t hash_step(uint64_t h, char32_t c) { return (h ^ c) * kHashPrime; }

inline size_t slot_of(uint64_t h, size_t mask) { return static_cast<size_t>(h ^ (h >> 29)) & mask; }

template <class U>
uint64_t hash_units(const U* s, int64_t start, int64_t end) {
  uint64_t h = kHashSeed;
  for (int64_t i = start; i < end; ++i) h = hash_step(h, s[i]);
  return h;
}

template <class U>
bool same_code_points(const std::u32string& form, const U* s, int64_t start) {
  for (size_t k = 0; k < form.size(); ++k)
    if (form[k] != static_cast<char32_t>(s[start + static_cast<int64_t>(k)])) return false;
  return true;
}

}  // namespace

void Language::rehash(size_t slot_count) {
  slots_.assign(slot_count, -1);
  const size_t mask = slot_count - 1;
  for (size_t f = 0; f < forms_.size(); ++f) {
    size_t s = slot_of(forms_[f].hash, mask);
    while (slots_[s] >= 0) s = (s + 1) & mask;
    slots_[s] = static_cast<int32_t>(f);
  }
}

void Language::add_form(const std::u32string& form, int32_t canonical_id) {
  const int64_t len = static_cast<int64_t>(form.size());
  const Text t = text_of(form.data(), len);
  if (len == 0 || match_identifier(t, 0) != len) return;  // could never be matched
  const uint64_t h = hash_units(form.data(), 0, len);
  if (!slots_.empty()) {
    const size_t mask = slots_.size() - 1;
    for (size_t s = slot_of(h, mask); slots_[s] >= 0; s = (s + 1) & mask) {
      FormEntry& e = forms_[slots_[s]];
      if (e.hash == h && e.form == form) {
        e.id = canonical_id;
        return;
      }
    }
  }
  forms_.push_back(FormEntry{form, canonical_id, h});
  const uint32_t sign = sign_of(form.front(), form.back(), len);
  signs_[sign >> 6] |= uint64_t{1} << (sign & 63);
  // Keep the load at most one half so probe runs stay short.
  if (forms_.size() * 2 > slots_.size()) {
    rehash(slots_.empty() ? 16 : slots_.size() * 2);
  } else {
    const size_t mask = slots_.size() - 1;
    size_t s = slot_of(h, mask);
    while (slots_[s] >= 0) s = (s + 1) & mask;
    slots_[s] = static_cast<int32_t>(forms_.size() - 1);
  }
}

template <class U>
int32_t Language::find_form(const U* s, int64_t start, int64_t end) const {
  const int64_t len = end - start;
  const uint64_t h = hash_units(s, start, end);
  const size_t mask = slots_.size() - 1;
  for (size_t k = slot_of(h, mask); slots_[k] >= 0; k = (k + 1) & mask) {
    const FormEntry& e = forms_[slots_[k]];
    if (e.hash == h && static_cast<int64_t>(e.form.size()) == len && same_code_points(e.form, s, start)) return e.id;
  }
  return -1;
}

int32_t Language::keyword(const Text& text, int64_t start, int64_t end) const {
  return visit_text(text, [&](const auto* s) { return keyword_at(s, start, end); });
}

void Language::add_operator(const std::u32string& op) {
  if (op.empty()) return;  // a zero-width operator would stall the tokenizer
  int32_t node = 0;
  for (char32_t c : op) {
    int32_t child = trie_[node].first_child;
    while (child >= 0 && trie_[child].ch != c) child = trie_[child].next_sibling;
    if (child < 0) {
      child = static_cast<int32_t>(trie_.size());
      trie_.push_back(TrieNode{c, -1, trie_[node].first_child, false});
      trie_[node].first_child = child;
      if (node == 0 && c < 128) ascii_root_[c] = child;
    }
    node = child;
  }
  trie_[node].terminal = true;
}

template <class U>
int64_t Language::longest_operator(const U* s, int64_t n, int64_t pos) const {
  const char32_t first = s[pos];
  int32_t node;
  if (first < 128) {
    node = ascii_root_[first];
    if (node == 0) return 0;
  } else {
    node = trie_[0].first_child;
    while (node >= 0 && trie_[node].ch != first) node = trie_[node].next_sibling;
    if (node < 0) return 0;
  }
  int64_t best = trie_[node].terminal ? 1 : 0;
  for (int64_t i = pos + 1; i < n && trie_[node].first_child >= 0; ++i) {
    const char32_t c = s[i];
    int32_t child = trie_[node].first_child;
    while (child >= 0 && trie_[child].ch != c) child = trie_[child].next_sibling;
    if (child < 0) break;
    node = child;
    if (trie_[node].terminal) best = i - pos + 1;
  }
  return best;
}

int64_t Language::match_operator(const Text& text, int64_t pos) const {
  return visit_text(text, [&](const auto* s) { return match_operator_at(s, text.length, pos); });
}

template int32_t Language::find_form(const uint8_t*, int64_t, int64_t) const;
template int32_t Language::find_form(const uint16_t*, int64_t, int64_t) const;
template int32_t Language::find_form(const uint32_t*, int64_t, int64_t) const;
template int64_t Language::longest_operator(const uint8_t*, int64_t, int64_t) const;
template int64_t Language::longest_operator(const uint16_t*, int64_t, int64_t) const;
template int64_t Language::longest_operator(const uint32_t*, int64_t, int64_t) const;

}  // namespace tarn

// The keyword and operator sets the grammar consults (keyword_sets.def),
// shared by the rules and by the binding (which exposes them as sets/tuples).
#pragma once
#include <cstddef>
#include <iterator>

#include "parser.h"

namespace tarn::parse {

struct KeywordSet {
  const char* host_name;
  const Kw* items;
  size_t size;
  KwSet set;
  bool contains(Kw k) const { return set.contains(k); }
};

struct OperatorTuple {
  const char* host_name;
  const Op* items;
  size_t size;
  OpSet set;
  bool contains(Op o) const { return set.contains(o); }
};

#define KEYWORD_SET(N, HOST, ...)             \
  inline constexpr Kw N##Items[] = {__VA_ARGS__}; \
  inline constexpr KeywordSet N{HOST, N##Items, std::size(N##Items), KwSet::of(N##Items)};
#define OPERATOR_TUPLE(N, HOST, ...)          \
  inline constexpr Op N##Items[] = {__VA_ARGS__}; \
  inline constexpr OperatorTuple N{HOST, N##Items, std::size(N##Items), OpSet::of(N##Items)};
#include "keyword_sets.def"
#undef KEYWORD_SET
#undef OPERATOR_TUPLE

// In module order, for the binding.
inline constexpr KeywordSet kKeywordSets[] = {
#define KEYWORD_SET(N, ...) N,
#define OPERATOR_TUPLE(N, ...)
#include "keyword_sets.def"
#undef KEYWORD_SET
#undef OPERATOR_TUPLE
};
inline constexpr OperatorTuple kOperatorTuples[] = {
#define KEYWORD_SET(N, ...)
#define OPERATOR_TUPLE(N, ...) N,
#include "keyword_sets.def"
#undef KEYWORD_SET
#undef OPERATOR_TUPLE
};

}  // namespace tarn::parse

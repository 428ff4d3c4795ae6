// The keyword and operator sets the grammar consults: one table each, shared
// by the rules and by the binding (which exposes them as frozensets/tuples).
#pragma once
#include <cstddef>
#include <iterator>

#include "parser.h"

namespace tarn::parse {

struct KeywordSet {
  const char* name;
  const Kw* items;
  size_t size;
  KwSet set;
  bool contains(Kw k) const { return set.contains(k); }
};

struct OperatorTuple {
  const char* name;
  const Op* items;
  size_t size;
  OpSet set;
  bool contains(Op o) const { return set.contains(o); }
};

inline constexpr Kw kNameKeywords[] = {Kw::IMPORT, Kw::EXCEPTION, Kw::ENUMERATION, Kw::STRUCTURE, Kw::ABSTRACT, Kw::CONST,
                                       Kw::REQ, Kw::TO, Kw::IN, Kw::TYPE, Kw::QUERY, Kw::DOWN, Kw::STEP, Kw::METHOD,
                                       Kw::DEFAULT, Kw::STATIC, Kw::GLOBAL_EN};
inline constexpr Kw kUpperNameKeywords[] = {Kw::WHILE, Kw::FOR, Kw::IF, Kw::TRY, Kw::CASE, Kw::WHEN, Kw::CATCH, Kw::AND, Kw::OR, Kw::CONSTRUCTOR};
inline constexpr Kw kStmtKeywords[] = {Kw::IF, Kw::CASE, Kw::WHILE, Kw::FOR, Kw::TRY, Kw::SCOPE, Kw::BREAK, Kw::CONTINUE, Kw::RETURN, Kw::VAR, Kw::VAL, Kw::USE};
inline constexpr Kw kStatementKeywords[] = {Kw::IF, Kw::CASE, Kw::WHILE, Kw::FOR, Kw::TRY, Kw::SCOPE, Kw::RETURN};
inline constexpr Kw kReturnStop[] = {Kw::ELSE, Kw::WHEN, Kw::CATCH, Kw::FINALLY};
inline constexpr Op kCompareOps[] = {Op::LT, Op::LE, Op::EQ, Op::GE, Op::GT, Op::NE};
inline constexpr Op kAssignOps[] = {Op::ASSIGN, Op::PLUS_ASSIGN, Op::MINUS_ASSIGN, Op::STAR_ASSIGN, Op::SLASH_ASSIGN};

#define TARN_SET(name, arr) KeywordSet{name, arr, std::size(arr), KwSet::of(arr)}
inline constexpr KeywordSet NAME_KEYWORDS = TARN_SET("_NAME_KEYWORDS", kNameKeywords);
inline constexpr KeywordSet UPPER_NAME_KEYWORDS = TARN_SET("_UPPER_NAME_KEYWORDS", kUpperNameKeywords);
inline constexpr KeywordSet STMT_KEYWORDS = TARN_SET("_STMT_KEYWORDS", kStmtKeywords);
inline constexpr KeywordSet STATEMENT_KEYWORDS = TARN_SET("_STATEMENT_KEYWORDS", kStatementKeywords);
inline constexpr KeywordSet RETURN_STOP = TARN_SET("_RETURN_STOP", kReturnStop);
#undef TARN_SET
inline constexpr OperatorTuple COMPARE_OPS{"_COMPARE_OPS", kCompareOps, std::size(kCompareOps), OpSet::of(kCompareOps)};
inline constexpr OperatorTuple ASSIGN_OPS{"_ASSIGN_OPS", kAssignOps, std::size(kAssignOps), OpSet::of(kAssignOps)};

// In module order, for the binding.
inline constexpr KeywordSet kKeywordSets[] = {NAME_KEYWORDS, UPPER_NAME_KEYWORDS, STMT_KEYWORDS, STATEMENT_KEYWORDS, RETURN_STOP};
inline constexpr OperatorTuple kOperatorTuples[] = {COMPARE_OPS, ASSIGN_OPS};

}  // namespace tarn::parse

// The native token: what the tokenizer produces and what the parser reads.
#pragma once
#include <cstdint>

namespace tarn {

// Order matches the kind names table below; OTHER is a kind string the
// tokenizer never makes (a host may build such tokens by hand).
enum class TokKind : uint8_t { BOM, COMMENT, STRING, PATTERN, NUMBER, KEYWORD, IDENT, OP, UNKNOWN, EOF_, OTHER };
inline constexpr const char* kTokKindNames[] = {"BOM", "COMMENT", "STRING", "PATTERN", "NUMBER",
                                                "KEYWORD", "IDENT", "OP", "UNKNOWN", "EOF"};

enum class CommentStyle : uint8_t { NONE, LINE, BLOCK, DOC };
inline constexpr const char* kCommentStyleNames[] = {nullptr, "line", "block", "doc"};

// A token as the tokenizer emits it. `canonical` indexes the canonical-name
// table of the Language that produced it (-1: not a keyword). line/col are
// filled by assign_positions() (linemap.h) once the line starts are known.
struct Token {
  int64_t start = 0, end = 0;
  int64_t line = 0, col = 0, end_line = 0, end_col = 0;
  int32_t canonical = -1;
  TokKind kind = TokKind::UNKNOWN;
  CommentStyle style = CommentStyle::NONE;
  bool unterminated = false;
};

}  // namespace tarn

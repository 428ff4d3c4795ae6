// Line starts and offset -> (line, column), both 1-based, counted in code points.
#pragma once
#include <cstdint>
#include <vector>

#include "text.h"
#include "token.h"

namespace tarn {

// Offsets at which lines begin: 0, then after every "\r\n", lone "\r" or "\n".
std::vector<int64_t> line_starts(const Text& text);

struct LineCol { int64_t line, col; };

// bisect_right over starts, then col = offset - starts[line - 1] + 1, with
// Python's reading of index -1 (the last element) when line is 0. `n` must be
// at least 1; callers with an empty table raise IndexError before calling.
LineCol linecol(const int64_t* starts, int64_t n, int64_t offset);

// The same as linecol over line_starts(text), for one offset in [0, length]
// without building the table (a report of a single place).
LineCol position_of(const Text& text, int64_t offset);

// Fills line/col/end_line/end_col of every token from the line starts.
void assign_positions(std::vector<Token>& tokens, const int64_t* starts, int64_t n);

}  // namespace tarn

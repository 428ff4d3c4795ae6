// Strict UTF-8 by the standard's table of well-formed sequences, one code
// point at a time: what the core's fast decoder is held against (native
// tests, fuzzing).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::devtools {

// Appends the code points of `bytes` to `out`; returns -1, or the offset of
// the first byte of the first malformed sequence (where the host's codec
// reports it).
int64_t reference_utf8(std::string_view bytes, std::u32string& out);

}  // namespace tarn::devtools

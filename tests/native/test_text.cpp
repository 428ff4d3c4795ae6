// Text-level pieces of the core that neither the golden cases nor the host
// reach: one place without the line table (nesting reports), and where the
// strict decoder reports a bad byte (acceptance, widths and texts are
// compared with the host's decoder through check_files).
#include <string_view>
#include <utility>

#include "check.h"
#include "core/linemap.h"
#include "core/utf8.h"

using namespace tarn;

TEST_CASE("position_of: what linecol over the line starts gives, at every offset") {
  const std::u32string s = U"a\r\nb\rc\n\r\r\nd\r";
  const Text text = text_of(s.data(), static_cast<int64_t>(s.size()));
  const std::vector<int64_t> starts = line_starts(text);
  for (int64_t off = 0; off <= text.length; ++off) {
    const LineCol a = position_of(text, off), b = linecol(starts.data(), static_cast<int64_t>(starts.size()), off);
    CHECK(a.line == b.line && a.col == b.col);
  }
}

TEST_CASE("decode_utf8_text: the first bad byte, where the host's codec reports it") {
  const std::pair<std::string_view, int64_t> cases[] = {
      {"\xe0\x80\x80", 0},       {"a\xed\xa0\x80", 1},  // overlong; a surrogate
      {"ok\xf4\x90\x80\x80", 2}, {"\xc3", 0},           // past U+10FFFF; cut short
      {"abcdefgh\xe2\x82", 8},   {"caf\xc3\xa9", -1},   // after a word of ASCII; valid
  };
  for (const auto& [bytes, error] : cases) {
    DecodedText d;
    CHECK_EQ(decode_utf8_text(bytes, d), error < 0);
    CHECK_EQ(d.error_offset, error);
  }
}

// Text-level pieces of the core that neither the golden cases nor the host
// reach: one place without the line table (nesting reports), and the strict
// decoder (acceptance and texts are also compared with the host's decoder
// through check_files, but only for short files and only where diagnostics
// bring the text back).
#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "core/linemap.h"
#include "core/utf8.h"
#include "devtools/utf8_reference.h"

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


TEST_CASE("decode_utf8_text: what the reference decoder gives, on long mixed texts, into a reused buffer") {
  // Runs of ASCII and of two-byte letters long enough for the block paths,
  // longer sequences and malformed bytes at every offset of a block.
  const std::string_view pieces[] = {"a",        "abcdefghijklmnopq", "\xd0\xb6",      "\xd0\xbc\xd0\xb5\xd1\x82\xd0\xbe\xd0\xb4 ",
                                     "\xc3\xa9", "\xc3\xbf",           "\xe2\x82\xac",  "\xf0\x9f\x98\x80",
                                     "\xc0\xaf", "\xed\xa0\x80",       "\x80",          "\xd0",
                                     "\xe2\x82", "\xc1\x81",           "\xdf\xbf",      "\n\t"};
  DecodedText d;  // one object throughout, as a checking thread keeps it
  const auto agrees = [&](const std::string& bytes) {
    std::u32string expected;
    const int64_t error = devtools::reference_utf8(bytes, expected);
    CHECK_EQ(decode_utf8_text(bytes, d), error < 0);
    CHECK_EQ(d.error_offset, error);
    if (error >= 0) return;
    CHECK_EQ(d.length, static_cast<int64_t>(expected.size()));
    char32_t top = 0;
    for (char32_t c : expected) top = std::max(top, c);
    CHECK_EQ(int{d.width}, top < 0x100 ? 1 : top < 0x10000 ? 2 : 4);
    bool same = d.length == static_cast<int64_t>(expected.size());
    for (int64_t i = 0; same && i < d.length; ++i) same = d.text().at(i) == expected[static_cast<size_t>(i)];
    CHECK(same);
  };
  // A letter, a cut-short letter and a stray continuation byte at every
  // offset of the first blocks (a block ends on a lead byte at offset 15).
  for (const char* piece : {"\xd0\xb6", "\xd0", "\xb6"})
    for (size_t at = 0; at < 40; ++at) agrees(std::string(at, 'a') + piece + std::string(20, 'b'));
  std::mt19937 rng(7);
  for (int round = 0; round < 4000; ++round) {
    std::string bytes;
    // Now and then thousands of bytes: past the 255 blocks the scan counts in one go.
    const int count = static_cast<int>(rng() % (round % 50 == 0 ? 1500 : 40));
    const bool valid_only = round % 2 == 0;
    for (int k = 0; k < count; ++k) {
      const size_t which = rng() % std::size(pieces);
      if (valid_only && (which >= 8 && which <= 13)) continue;
      bytes += pieces[which];
    }
    agrees(bytes);
  }
}

// skip_interpolation (the host's _skip_interpolation) against the plain
// recursive reading, from the starts the host can pass: just after each
// interpolation opener, the text's ends, and negative offsets, which index
// from the end as host strings do.
#include <string>
#include <vector>

#include "core/lexer.h"
#include "reference_literals.h"
#include "support.h"

using namespace tarn;

namespace {

constexpr int64_t kMaxStartsPerInput = 64;
constexpr int64_t kMaxReferenceDepth = 2000;

std::vector<int64_t> interesting_starts(const Text& t) {
  const int64_t n = t.length;
  std::vector<int64_t> starts{0, 1, n, n + 3, -1, -n, -n - 1};
  for (int64_t k = 0; k + 1 < n && static_cast<int64_t>(starts.size()) < kMaxStartsPerInput; ++k)
    if ((t.at(k) == U'$' || t.at(k) == U'%') && t.at(k + 1) == U'{') starts.push_back(k + 2);
  return starts;
}

void check_from(const Text& t, int64_t start) {
  const int64_t got = skip_interpolation(t, start);
  const std::string at = "start " + std::to_string(start) + " of " + std::to_string(t.length);
  if (start < -t.length) {
    FUZZ_CHECK(got == kIndexOutOfRange, at);
    return;
  }
  const int64_t expected = reference::skip_interpolation(t, start);
  FUZZ_CHECK(got == expected, at + ": got " + std::to_string(got) + ", reference " + std::to_string(expected));
  if (start >= 0) FUZZ_CHECK(got <= t.length && (got > start || got == t.length), at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::FuzzText input(data, size);
  const Text& t = input.text();
  if (reference::interpolation_openers(t, 0) > kMaxReferenceDepth) return 0;
  for (int64_t start : interesting_starts(t)) check_from(t, start);
  return 0;
}

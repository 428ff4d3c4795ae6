// Tokenizer throughput.
//   bench_lexer LANGUAGE_JSON [-n ITERATIONS] [-m MIN_MB] FILE...
// The files are joined (each ending in a line break) and repeated until the
// text holds at least MIN_MB megabytes of UTF-8 (default 5); the text is
// stored with the narrowest code-unit width that holds it, as the host does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devtools/language_json.h"
#include "core/lexer.h"
#include "core/linemap.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stored {
  std::vector<uint8_t> u8;
  std::vector<uint16_t> u16;
  std::u32string u32;
  tarn::Text text;
};

Stored narrowest(const std::u32string& s) {
  Stored st;
  const char32_t top = s.empty() ? 0 : *std::max_element(s.begin(), s.end());
  const auto n = static_cast<int64_t>(s.size());
  if (top < 0x100) {
    st.u8.assign(s.begin(), s.end());
    st.text = tarn::Text{st.u8.data(), n, 1};
  } else if (top < 0x10000) {
    st.u16.assign(s.begin(), s.end());
    st.text = tarn::Text{st.u16.data(), n, 2};
  } else {
    st.u32 = s;
    st.text = tarn::text_of(st.u32.data(), n);
  }
  return st;
}

template <class F>
double best_seconds(int iterations, F&& run) {
  double best = 1e300;
  for (int k = 0; k < iterations; ++k) {
    const auto t0 = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LANGUAGE_JSON [-n ITERATIONS] [-m MIN_MB] FILE...\n", argv[0]);
    return 2;
  }
  tarn::Language lang;
  std::vector<std::string> names;
  std::string error;
  if (!tarn::read_language_file(argv[1], lang, names, error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 2;
  }
  int iterations = 20;
  double min_mb = 5;
  std::string joined;
  for (int a = 2; a < argc; ++a) {
    if (!std::strcmp(argv[a], "-n") && a + 1 < argc) { iterations = std::max(1, std::atoi(argv[++a])); continue; }
    if (!std::strcmp(argv[a], "-m") && a + 1 < argc) { min_mb = std::atof(argv[++a]); continue; }
    std::ifstream in(argv[a], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 2;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    joined += buf.str();
    if (!joined.empty() && joined.back() != '\n') joined += '\n';
  }
  if (joined.empty()) {
    std::fprintf(stderr, "no input\n");
    return 2;
  }
  std::string utf8;
  while (utf8.size() < min_mb * 1e6) utf8 += joined;
  const Stored st = narrowest(tarn::decode_utf8(utf8));
  const double mb = static_cast<double>(utf8.size()) / 1e6;

  std::vector<tarn::Token> toks;
  const double lex_s = best_seconds(iterations, [&] {
    toks.clear();
    toks.shrink_to_fit();
    tarn::tokenize(st.text, lang, toks);
  });
  // The same with the token vector's memory already mapped: the tokenizer alone.
  const double warm_s = best_seconds(iterations, [&] {
    toks.clear();
    tarn::tokenize(st.text, lang, toks);
  });
  const double full_s = best_seconds(iterations, [&] {
    toks.clear();
    toks.shrink_to_fit();
    tarn::tokenize(st.text, lang, toks);
    const std::vector<int64_t> starts = tarn::line_starts(st.text);
    tarn::assign_positions(toks, starts.data(), static_cast<int64_t>(starts.size()));
  });
  const double ntok = static_cast<double>(toks.size());
  std::printf("input: %.2f MB UTF-8, %lld code points (%d-byte units), %.0f tokens, best of %d\n", mb,
              static_cast<long long>(st.text.length), st.text.width, ntok, iterations);
  std::printf("tokenize:             %8.1f MB/s  %6.2f ns/token\n", mb / lex_s, lex_s * 1e9 / ntok);
  std::printf("tokenize, warm vector:%8.1f MB/s  %6.2f ns/token\n", mb / warm_s, warm_s * 1e9 / ntok);
  std::printf("tokenize + positions: %8.1f MB/s  %6.2f ns/token\n", mb / full_s, full_s * 1e9 / ntok);
  return 0;
}

// Throughput of the native core, stage by stage and all together.
//   bench_core LANGUAGE_JSON [-n ITERATIONS] [-m MIN_MB] [-s STAGE [-r REPEAT]] FILE...
// The files are joined (each ending in a line break) and repeated until the
// text holds at least MIN_MB megabytes of UTF-8 (default 5). Each stage runs
// on the previous stage's output, prepared once outside the timing:
//   decode    UTF-8 bytes to code units of the narrowest width (as the host stores a str)
//   lex       tokenize
//   lines     tokenize, line starts and token positions
//   ptok      the parser's tokens from positioned tokens
//   onepass   the parser's tokens straight from the text (lines + ptok in one
//             pass, as parse_text makes them)
//   parse     parse the parser's tokens into a tree (a fresh arena each time)
//   lexparse  onepass + parse: the text already decoded
//   all       decode + lexparse
//   files     all, file by file, each with fresh buffers, as `tarn check`
//             meets them (the text is not repeated: one pass over the files)
// Figures are MB of UTF-8 per second and ns per token (the tokenizer's count),
// best of ITERATIONS, in CPU time of the thread (user and system: page faults
// count), which other processes on a shared machine disturb less than wall time. -s runs one stage REPEAT times (default once) after the
// setup, for profilers: valgrind --tool=callgrind --toggle-collect='*run_once*'
// bench_core ... -s parse, or perf record bench_core ... -s parse -r 50.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devtools/language_json.h"
#include "core/lexer.h"
#include "core/linemap.h"
#include "core/parse/parser.h"
#include "core/source.h"
#include "core/utf8.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Input {
  const tarn::Language* lang;
  const std::vector<tarn::parse::Kw>* kw_of_canonical;
};

struct Parsed {
  tarn::Text text;
  std::vector<tarn::Token> toks;
  std::vector<int64_t> starts;
  std::vector<tarn::parse::PTok> ptoks;
  std::vector<tarn::parse::Unterminated> unterminated;
};

void lex(const Input& in, const tarn::Text& text, Parsed& out) {
  out.toks.clear();
  out.toks.shrink_to_fit();
  tarn::tokenize(text, *in.lang, out.toks);
}

void lines(const Input& in, const tarn::Text& text, Parsed& out) {
  lex(in, text, out);
  out.starts = tarn::line_starts(text);
  tarn::assign_positions(out.toks, out.starts.data(), static_cast<int64_t>(out.starts.size()));
}

void ptok(const Input& in, const tarn::Text& text, Parsed& out) {
  out.ptoks.clear();
  out.ptoks.shrink_to_fit();
  out.unterminated.clear();
  tarn::build_parser_tokens(text, out.toks, *in.kw_of_canonical, out.ptoks, out.unterminated);
}

// Returns a checksum so the work cannot be optimised away.
size_t parse(const Parsed& p) {
  tarn::syntax::Arena arena;
  tarn::parse::Parser parser(p.ptoks.data(), static_cast<int64_t>(p.ptoks.size()), arena);
  parser.set_unterminated(p.unterminated);
  const tarn::syntax::Module* m = parser.parse_module();
  return static_cast<size_t>(m->end) + parser.diags().size() + arena.bytes();
}

void onepass(const Input& in, const tarn::Text& text, Parsed& out) {
  out.ptoks.clear();
  out.ptoks.shrink_to_fit();
  out.unterminated.clear();
  tarn::tokenize_for_parser(text, *in.lang, *in.kw_of_canonical, out.ptoks, out.unterminated);
}

size_t lexparse(const Input& in, const tarn::Text& text, Parsed& out) {
  onepass(in, text, out);
  return parse(out);
}

template <class F>
double best_seconds(int iterations, F&& run) {
  double best = 1e300;
  for (int k = 0; k < iterations; ++k) {
    const double t0 = cpu_seconds();
    run();
    best = std::min(best, cpu_seconds() - t0);
  }
  return best;
}

// Kept out of line so a profiler can count this call alone
// (valgrind --tool=callgrind --toggle-collect='*run_once*').
template <class F>
__attribute__((noinline)) void run_once(F& run, const std::string& stage) {
  run(stage);
}

const char* const kStages[] = {"decode", "lex", "lines", "ptok", "onepass", "parse", "lexparse", "all", "files"};

size_t each_file(const Input& in, const std::vector<std::string>& files) {
  size_t sink = 0;
  for (const std::string& utf8 : files) {
    tarn::DecodedText decoded;
    Parsed fresh;
    if (tarn::decode_utf8_text(utf8, decoded)) sink += lexparse(in, decoded.text(), fresh);
  }
  return sink;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LANGUAGE_JSON [-n ITERATIONS] [-m MIN_MB] [-s STAGE [-r REPEAT]] FILE...\n", argv[0]);
    return 2;
  }
  tarn::Language lang;
  std::vector<std::string> names;
  std::string error;
  if (!tarn::read_language_file(argv[1], lang, names, error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 2;
  }
  std::vector<tarn::parse::Kw> kw_of_canonical;
  for (const std::string& name : names) kw_of_canonical.push_back(tarn::parse::keyword_from_name(name.data(), name.size()));
  const Input in{&lang, &kw_of_canonical};

  int iterations = 10;
  double min_mb = 5;
  std::string only;
  int repeat = 1;
  std::string joined;
  std::vector<std::string> files;
  for (int a = 2; a < argc; ++a) {
    if (!std::strcmp(argv[a], "-n") && a + 1 < argc) { iterations = std::max(1, std::atoi(argv[++a])); continue; }
    if (!std::strcmp(argv[a], "-m") && a + 1 < argc) { min_mb = std::atof(argv[++a]); continue; }
    if (!std::strcmp(argv[a], "-s") && a + 1 < argc) { only = argv[++a]; continue; }
    if (!std::strcmp(argv[a], "-r") && a + 1 < argc) { repeat = std::max(1, std::atoi(argv[++a])); continue; }
    std::ifstream file(argv[a], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 2;
    }
    std::ostringstream buf;
    buf << file.rdbuf();
    files.push_back(buf.str());
    joined += files.back();
    if (!joined.empty() && joined.back() != '\n') joined += '\n';
  }
  if (joined.empty()) {
    std::fprintf(stderr, "no input\n");
    return 2;
  }
  if (!only.empty() && std::find(std::begin(kStages), std::end(kStages), only) == std::end(kStages)) {
    std::fprintf(stderr, "unknown stage %s\n", only.c_str());
    return 2;
  }
  std::string utf8;
  while (utf8.size() < min_mb * 1e6) utf8 += joined;
  const double mb = static_cast<double>(utf8.size()) / 1e6;

  tarn::DecodedText decoded;
  if (!tarn::decode_utf8_text(utf8, decoded)) {
    std::fprintf(stderr, "input is not valid UTF-8 (byte %lld)\n", static_cast<long long>(decoded.error_offset));
    return 2;
  }
  const tarn::Text text = decoded.text();
  Parsed prepared;
  lines(in, text, prepared);
  ptok(in, text, prepared);
  const double ntok = static_cast<double>(prepared.toks.size());

  size_t sink = 0;
  Parsed scratch;
  tarn::DecodedText redecoded;
  auto run = [&](const std::string& stage) {
    if (stage == "decode") sink += tarn::decode_utf8_text(utf8, redecoded);
    else if (stage == "lex") lex(in, text, scratch);
    else if (stage == "lines") lines(in, text, scratch);
    else if (stage == "ptok") ptok(in, text, prepared);
    else if (stage == "onepass") onepass(in, text, scratch);
    else if (stage == "parse") sink += parse(prepared);
    else if (stage == "lexparse") sink += lexparse(in, text, scratch);
    else if (stage == "files") sink += each_file(in, files);
    else {
      tarn::decode_utf8_text(utf8, redecoded);
      sink += lexparse(in, redecoded.text(), scratch);
    }
  };
  if (!only.empty()) {
    for (int k = 0; k < repeat; ++k) run_once(run, only);
    std::printf("%s: done (%zu)\n", only.c_str(), sink & 1);
    return 0;
  }

  {
    tarn::syntax::Arena arena;
    tarn::parse::Parser parser(prepared.ptoks.data(), static_cast<int64_t>(prepared.ptoks.size()), arena);
    parser.parse_module();
    std::printf("tree: %.1f MB of arena, %.0f bytes per token\n", static_cast<double>(arena.bytes()) / 1e6,
                static_cast<double>(arena.bytes()) / ntok);
  }
  std::printf("input: %.2f MB UTF-8, %lld code points (%d-byte units), %.0f tokens, %zu parser tokens, best of %d\n", mb,
              static_cast<long long>(text.length), text.width, ntok, prepared.ptoks.size(), iterations);
  const char* const labels[] = {"decode", "lex", "lex + line positions", "parser tokens", "lex to parser tokens",
                                "parse", "lex + parse", "decode + lex + parse", "the same, file by file"};
  // The file-by-file stage makes one pass over the files, however often the
  // joined text was repeated.
  const double once = static_cast<double>(joined.size()) / static_cast<double>(utf8.size());
  for (size_t s = 0; s < std::size(kStages); ++s) {
    const double secs = best_seconds(iterations, [&] { run(kStages[s]); });
    const double share = std::strcmp(kStages[s], "files") == 0 ? once : 1;
    std::printf("%-22s %8.1f MB/s  %7.2f ns/token\n", labels[s], mb * share / secs, secs * 1e9 / (ntok * share));
  }
  return sink == 42 ? 1 : 0;
}

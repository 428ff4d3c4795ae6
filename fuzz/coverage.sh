#!/usr/bin/env bash
# Line and region coverage of native/core reached by the fuzz corpora:
#   fuzz/coverage.sh [TARGET...]          (default: tokenize parse parser_rules)
# Builds the targets with source-based coverage into build/fuzz-coverage, runs
# every input of BUILD_DIR/corpus/TARGET and BUILD_DIR/seeds/TARGET once
# (BUILD_DIR: $TARN_FUZZ_BUILD or build/fuzz) and prints llvm-cov's report.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
fuzz_build=${TARN_FUZZ_BUILD:-$here/build/fuzz}
cov_build=$here/build/fuzz-coverage
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(tokenize parse parser_rules)

version=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
profdata=$(command -v "llvm-profdata-$version" || command -v llvm-profdata)
llvm_cov=$(command -v "llvm-cov-$version" || command -v llvm-cov)

if [ ! -f "$cov_build/build.ninja" ]; then
  cmake -S "$here/fuzz" -B "$cov_build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARN_FUZZ_COVERAGE=ON \
    -DTARN_NATIVE_DIR="${TARN_NATIVE_DIR:-$here/native}" >/dev/null
fi
ninja -C "$cov_build" "${targets[@]/#/fuzz_}" >/dev/null

rm -f "$cov_build"/*.profraw
objects=()
for t in "${targets[@]}"; do
  dirs=()
  for d in "$fuzz_build/corpus/$t" "$fuzz_build/seeds/$t"; do [ -d "$d" ] && dirs+=("$d"); done
  [ ${#dirs[@]} -gt 0 ] || { echo "no corpus for $t" >&2; continue; }
  LLVM_PROFILE_FILE="$cov_build/$t.profraw" "$cov_build/fuzz_$t" -runs=0 "${dirs[@]}" >/dev/null 2>&1
  objects+=(-object "$cov_build/fuzz_$t")
done
"$profdata" merge -sparse "$cov_build"/*.profraw -o "$cov_build/all.profdata"
"$llvm_cov" report "${objects[@]:1}" -instr-profile="$cov_build/all.profdata" \
  -ignore-filename-regex='(/usr/|fuzz/|embedded_language)'

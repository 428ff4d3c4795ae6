#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -fsanitize=fuzzer,address,undefined)
# against the core sources into BUILD_DIR (default build/fuzz), and writes the
# seed corpora and the dictionary next to them. Arguments after the build
# directory are ninja targets (default: all of them).
#   fuzz/build.sh                      # everything into build/fuzz
#   fuzz/build.sh build/fuzz fuzz_tokenize
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/fuzz}
shift || true
case "$build" in /*) ;; *) build="$here/$build" ;; esac

find_clang() {
  if [ -n "${CXX_FUZZ:-}" ]; then echo "$CXX_FUZZ"; return; fi
  if command -v clang++ >/dev/null; then command -v clang++; return; fi
  ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -n 1
}
cxx=$(find_clang)
if [ -z "$cxx" ]; then
  echo "fuzz/build.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
  exit 2
fi
mkdir -p "$build"
log="$build/build.log"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
fi
ninja -C "$build" "$@" >"$log" 2>&1 || { grep -E -B2 -A12 'error|FAILED' "$log" | head -n 80 >&2; exit 1; }
python3 "$here/fuzz/make_seeds.py" "$build"

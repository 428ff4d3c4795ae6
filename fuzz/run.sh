#!/usr/bin/env bash
# Runs one fuzz target for a set time:  fuzz/run.sh TARGET SECONDS [libFuzzer options...]
# TARGET is tokenize, parse, interpolation, parser_rules, language_json or format (or
# the full fuzz_* name). The growing corpus stays in BUILD_DIR/corpus/TARGET
# (BUILD_DIR: $TARN_FUZZ_BUILD or build/fuzz, made by fuzz/build.sh), seeded
# from BUILD_DIR/seeds/TARGET; a crashing input is written to
# BUILD_DIR/artifacts/TARGET/ and the script exits non-zero.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TARN_FUZZ_BUILD:-$here/build/fuzz}
target=${1:?usage: fuzz/run.sh TARGET SECONDS [options]}
seconds=${2:?usage: fuzz/run.sh TARGET SECONDS [options]}
shift 2
target=${target#fuzz_}
exe="$build/fuzz_$target"
[ -x "$exe" ] || { echo "fuzz/run.sh: $exe missing; run fuzz/build.sh first" >&2; exit 2; }

corpus="$build/corpus/$target"
artifacts="$build/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
seeds=()
[ -d "$build/seeds/$target" ] && seeds=("$build/seeds/$target")
dict=()
[ -f "$build/seeds/$target.dict" ] && dict=(-dict="$build/seeds/$target.dict")

# -timeout catches a hang (no input may take seconds); -rss_limit_mb a memory
# blow-up; -max_len keeps inputs small enough for many runs a second while
# still reaching deep nesting. Leak detection stays on.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$exe" "$corpus" "${seeds[@]}" "${dict[@]}" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=4096 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@"

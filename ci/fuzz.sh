#!/usr/bin/env bash
# CI step: builds the libFuzzer targets of fuzz/ (installing clang and its
# runtime from Debian when missing) and runs each for about a minute, two at
# a time. Any crash, sanitizer report, hang (-timeout), memory blow-up or
# broken invariant fails the step; the failing input is printed in base64 and
# kept under BUILD_DIR/artifacts.
#   ci/fuzz.sh [SECONDS_PER_TARGET]      (default 60; TARN_FUZZ_BUILD names the build dir)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
export TARN_FUZZ_BUILD=${TARN_FUZZ_BUILD:-$here/build/fuzz}
python=${PYTHON:-python3}

have_fuzzer_runtime() {
  command -v clang++ >/dev/null && echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null
}
install_clang() {
  apt-get update -qq || return 1
  # The default clang of the distribution, and the runtime package that
  # carries libFuzzer for that version.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null || return 1
  version=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$version-dev" >/dev/null || true
}
if ! have_fuzzer_runtime; then
  echo "== fuzz: installing clang"
  # A machine that cannot get the toolchain says so loudly but does not fail
  # the run: that is the machine's fault, not the code's.
  install_clang && have_fuzzer_runtime || { echo "== fuzz: SKIPPED: no clang with libFuzzer could be installed" >&2; exit 0; }
fi
for tool in cmake ninja; do command -v "$tool" >/dev/null || "$python" -m pip install -q "$tool"; done

echo "== fuzz: building into $TARN_FUZZ_BUILD"
"$here/fuzz/build.sh" "$TARN_FUZZ_BUILD"

logs="$TARN_FUZZ_BUILD/logs"
mkdir -p "$logs"
run_target() {  # target seconds
  if "$here/fuzz/run.sh" "$1" "$2" >"$logs/$1.log" 2>&1; then
    echo "== fuzz: $1 clean ($(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$logs/$1.log" | grep -o '[0-9]*$') runs," \
      "$(grep -o 'cov: [0-9]*' "$logs/$1.log" | tail -n 1))"
    return 0
  fi
  echo "== fuzz: $1 FAILED; log $logs/$1.log" >&2
  grep -E -A3 'invariant broken|ERROR:|runtime error|SUMMARY' "$logs/$1.log" | head -n 40 >&2 || true
  grep -E '^Base64:|Test unit written to' "$logs/$1.log" >&2 || true
  return 1
}

# Pairs keep both cores busy; the parser targets get the most time.
status=0
pair() {
  local pids=() i
  for job in "$@"; do
    run_target "${job%%:*}" "${job##*:}" & pids+=($!)
  done
  for i in "${!pids[@]}"; do wait "${pids[$i]}" || status=1; done
}
half=$(( seconds / 2 > 10 ? seconds / 2 : 10 ))
pair "parse:$seconds" "tokenize:$seconds"
pair "parser_rules:$seconds" "interpolation:$half"
pair "language_json:$half" "format:$half"
[ "$status" = 0 ] && echo "== fuzz: clean" || echo "== fuzz: FAILED" >&2
exit "$status"

#!/usr/bin/env bash
# CI step: builds the extension modules and the native tests with
# AddressSanitizer and UndefinedBehaviorSanitizer (g++, -DTARN_SANITIZE=ON)
# into their own build directory, then runs the native tests and the Python
# test suite with the sanitizer runtime preloaded into the interpreter.
# Any sanitizer report fails the step, with the report printed.
#   ci/sanitize.sh [BUILD_DIR]        (default build/sanitize)
# Environment: TARN_QUICK=1 is set for the tests (smaller adversarial inputs,
# fewer repetitions); SANITIZE_PYTEST_ARGS adds pytest arguments.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/sanitize}
case "$build" in /*) ;; *) build="$here/$build" ;; esac
python=${PYTHON:-python3}

apt_install() { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null; }
command -v g++ >/dev/null || apt_install g++
"$python" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(sysconfig.get_paths()["include"] + "/Python.h"))' \
  || apt_install python3-dev
for tool in cmake ninja; do command -v "$tool" >/dev/null || "$python" -m pip install -q "$tool"; done
"$python" -c 'import pytest, hypothesis' 2>/dev/null || "$python" -m pip install -q 'pytest>=7' 'hypothesis>=6'

libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
[ -f "$libasan" ] && [ -f "$libubsan" ] || { echo "sanitize.sh: g++ has no libasan/libubsan" >&2; exit 2; }

echo "== sanitize: building into $build"
# devbuild keeps ninja quiet; on failure ninja runs again to show why.
BUILD_TYPE=RelWithDebInfo "$here/tools/devbuild" "$build" -DTARN_SANITIZE=ON >/dev/null \
  || { ninja -C "$build" 2>&1 | tail -n 60 >&2; echo "== sanitize: build FAILED" >&2; exit 1; }
pkg="$build/pkg"

reports="$build/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
# Leaks are left to tests/test_leaks.py and ci/valgrind.sh: the interpreter
# itself does not free everything at exit. Every other report is fatal.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=0:verify_asan_link_order=0:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

# Sanitized frames are several times larger: with the usual 8 MiB stack the
# parser's stack guard, not its depth bound, would decide where deep nesting
# stops, at a depth that varies with the caller's frames. Tests compare such
# positions between entry points, so give the stack room as release builds have.
ulimit -s 262144 2>/dev/null || true

status=0
if [ -x "$build/tarn_native_tests" ]; then
  echo "== sanitize: native tests"
  "$build/tarn_native_tests" "$here/tests/data" || status=1
fi

echo "== sanitize: python tests"
(
  cd "$here"
  export TARN_QUICK=1 TARN_HYPOTHESIS_PROFILE=sanitize PYTHONMALLOC=malloc PYTHONPATH="$pkg" PYTHONFAULTHANDLER=1
  LD_PRELOAD="$libasan $libubsan" "$python" -m pytest -q -p no:cacheprovider \
    ${SANITIZE_PYTEST_ARGS:-} tests
) || status=1

if compgen -G "$reports/*" >/dev/null; then
  echo "== sanitize: sanitizer reports" >&2
  for f in "$reports"/*; do echo "---- $f" >&2; cat "$f" >&2; done
  status=1
fi
[ "$status" = 0 ] && echo "== sanitize: clean" || echo "== sanitize: FAILED" >&2
exit "$status"

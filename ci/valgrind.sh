#!/usr/bin/env bash
# CI step: runs ci/valgrind_workload.py under valgrind memcheck with the
# host's own allocator bypassed (PYTHONMALLOC=malloc) and fails when a
# "definitely lost" block or an invalid memory access has a stack through the
# extension modules (the interpreter's own reports are not ours to judge).
# Uses the installed tarn package when there is one; otherwise builds one
# with tools/devbuild into BUILD_DIR (default build/valgrind).
#   ci/valgrind.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
# The interpreter itself, not a wrapper script (valgrind would watch the wrapper).
python=$("$python" -c 'import sys; print(sys.executable)')
command -v valgrind >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; }

pythonpath=""
if ! (cd / && "$python" -c 'import tarn.parser' 2>/dev/null); then
  build=${1:-$here/build/valgrind}
  echo "== valgrind: building into $build"
  pythonpath=$("$here/tools/devbuild" "$build" | tail -n 1) \
    || { ninja -C "$build" 2>&1 | tail -n 60 >&2; echo "== valgrind: build FAILED" >&2; exit 1; }
fi

work=$(mktemp -d)
log=$work/valgrind.log
echo "== valgrind: memcheck (a few minutes)"
PYTHONMALLOC=malloc PYTHONPATH="$pythonpath" valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --num-callers=40 --log-file="$log" "$python" "$here/ci/valgrind_workload.py" "$here/tests/data/corpus" \
  >"$work/stdout" || { cat "$work/stdout"; tail -n 50 "$log"; exit 1; }
grep -q "workload done" "$work/stdout" || { echo "== valgrind: the workload did not finish" >&2; exit 1; }

# One report per blank-line separated block; ours when a frame is in our modules.
"$python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
blocks = re.split(r"\n==\d+==\s*\n", text)
ours = re.compile(r"(lexer|parser|_check|_format)\.cpython|tarn::")
bad = [b for b in blocks
       if ("definitely lost" in b or "Invalid read" in b or "Invalid write" in b or "uninitialised" in b)
       and ours.search(b)]
summary = re.search(r"definitely lost: [\d,]+ bytes in [\d,]+ blocks", text)
print("== valgrind:", summary.group(0) if summary else "no leak summary", "(all of the process)")
for b in bad:
    print(b.strip(), "\n", file=sys.stderr)
if bad:
    print(f"== valgrind: FAILED, {len(bad)} report(s) through the extension modules", file=sys.stderr)
    sys.exit(1)
print("== valgrind: clean")
PY

#!/usr/bin/env bash
# The whole test suite on the newer interpreters the package supports (3.11
# runs first, as the README's command), each installed into a throwaway
# virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."

# pythonX.Y on PATH when it runs, else the newest pyenv installation of X.Y.
find_python() {
  local v=$1
  if command -v "python$v" >/dev/null 2>&1 && "python$v" -c 'import sys' >/dev/null 2>&1; then
    command -v "python$v"
    return
  fi
  ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V | tail -n 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for v in ${TARN_PYTHONS:-3.12 3.13}; do
  py=$(find_python "$v")
  if [ -z "$py" ]; then
    echo "ci: no Python $v on this machine" >&2
    exit 1
  fi
  echo "== the test suite on $("$py" -c 'import sys; print(sys.version.split()[0])')"
  "$py" -m venv "$work/$v"
  "$work/$v/bin/pip" install -q '.[test]'
  "$work/$v/bin/python" -m pytest -p no:cacheprovider
done

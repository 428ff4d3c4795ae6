"""Time per code point of tokenize and parse_text for every adversarial family
of tests/test_adversarial.py (deep nesting, long chains, lexical extremes),
next to the sample programs. Linear time shows as figures of the same order
as the sample row; the outcome column tells whether the input parsed or hit
the nesting bound. Prints a table; asserts nothing.

    PYTHONPATH=build/dev/pkg python bench/bench_adversarial_families.py [SIZE_KB]
"""
from __future__ import annotations

import sys

from common import ROOT, best_of, corpus_text

sys.path.insert(0, str(ROOT / "tests"))
from test_adversarial import FAMILIES  # noqa: E402  (the one list of families)

from tarn.lexer import tokenize  # noqa: E402
from tarn.parser import parse_text  # noqa: E402


def outcome(text: str) -> str:
    try:
        _, errors = parse_text(text)
    except RecursionError:
        return "depth bound"
    return f"tree, {len(errors)} errors"


def parse_quietly(text: str) -> None:
    try:
        parse_text(text)
    except RecursionError:
        pass


def row(name: str, text: str) -> tuple[str, float, float, str]:
    n = len(text)
    lex = best_of(lambda: tokenize(text)) / n * 1e9
    parse = best_of(lambda: parse_quietly(text)) / n * 1e9
    return name, lex, parse, outcome(text)


def main() -> None:
    size = int(sys.argv[1]) * 1024 if len(sys.argv) > 1 else 1024 * 1024
    sample = corpus_text(min_bytes=size * 2)[:size]
    rows = [row("sample programs", sample)] + [row(name, build(size)) for name, build in FAMILIES.items()]
    base = rows[0][2]
    print(f"{size // 1024} K code points per input; ns per code point, best of 3")
    print(f"{'family':32} {'tokenize':>9} {'parse_text':>11} {'x sample':>9}  outcome")
    for name, lex, parse, result in rows:
        print(f"{name:32} {lex:9.1f} {parse:11.1f} {parse / base:9.2f}  {result}")


if __name__ == "__main__":
    main()

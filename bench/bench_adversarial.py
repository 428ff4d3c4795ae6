"""Adversarial inputs for the speculative rules: parse_text time per token at about 10 KB, 100 KB and 1 MB of
each. Linear parsing shows as a roughly constant figure along a row; the first row, ordinary code from the
sample corpus, shows how the host's memory alone bends a row at 1 MB. Prints a table; asserts nothing."""
from __future__ import annotations

import sys
from typing import Callable

from common import best_of, corpus_text

from tarn.lexer import tokenize
from tarn.parser import parse_text

SIZES = [10 * 1024, 100 * 1024, 1024 * 1024]
DEEP = 40  # nesting of the repeated units


def repeated(head: str, unit: str, tail: str = "") -> Callable[[int], str]:
    """head + unit * k + tail, k chosen so the text has about n bytes."""

    def make(n: int) -> str:
        k = max(1, (n - len((head + tail).encode())) // len(unit.encode()))
        return head + unit * k + tail

    return make


def statements(line: str) -> Callable[[int], str]:
    return repeated("метод m()\n", line + "\n", ";\n")


def corpus(n: int) -> str:
    return corpus_text(min_bytes=n).encode()[:n].decode(errors="ignore")


FAMILIES: list[tuple[str, Callable[[int], str]]] = [
    ("(ordinary code: the sample corpus)", corpus),
    ("a < b < c < ...", repeated("знч v = a", " < a")),
    ("метод(x = метод(x = ... 40 deep", statements("    x = " + "метод(x = " * DEEP + "1" + ")" * DEEP)),
    ("x это Т? это Т? ...", repeated("знч v = x", " это Т?")),
    ("x это Т? это Т? ... a : b", repeated("знч v = x", " это Т?", " a : b")),
    ("x это Т? и x это Т? и ...", repeated("знч v = x", " это Т? и x")),
    ("x это Т? (one per line)", statements("    x это Т?")),
    ("x это Т? (one per line), a ':' after", lambda n: statements("    x это Т?")(n) + "знч q = a ? b : c\n"),
    ("f < ((...T...)) > (1), 40 deep", statements("    x = f < " + "(" * DEEP + "Т" + ")" * DEEP + " > (1)")),
    ("новый ((...T...)), 40 deep", statements("    x = новый " + "(" * DEEP + "Т" + ")" * DEEP)),
    ("&f(((...T...))), 40 deep", statements("    x = &f(" + "(" * DEEP + "Т" + ")" * DEEP + ")")),
    ("(y: ((...T...))) -> y, 40 deep", statements("    x = (y: " + "(" * DEEP + "Т" + ")" * DEEP + ") -> y")),
    ("((( [*, *, ...] ))), errors 900 deep", repeated("знч v = " + "(" * 900 + "[", "*, ", "]" + ")" * 900)),
    ("a.b.b.b ...", repeated("знч v = a", ".b")),
    ("x + x + x ...", repeated("знч v = x", " + x")),
    ("f()()() ...", repeated("знч v = f", "()")),
    ("a[0][0][0] ...", repeated("знч v = a", "[0]")),
]


def ns_per_token(text: str) -> float:
    count = len(tokenize(text))
    seconds = best_of(lambda: parse_text(text), repeat=5)
    return seconds / count * 1e9


def main() -> None:
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))
    header = "".join(f"{f'{n // 1024} KB':>12}" for n in SIZES)
    print(f"{'family (ns per token)':40}{header}")
    for name, make in FAMILIES:
        cells = "".join(f"{ns_per_token(make(n)):12.0f}" for n in SIZES)
        print(f"{name:40}{cells}", flush=True)


if __name__ == "__main__":
    main()

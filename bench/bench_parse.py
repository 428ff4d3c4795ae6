"""Parser throughput: parse_text on corpus-like source next to CPython's ast.parse on the standard library,
and parse(source) when the source's tokens are already cached. Prints a table; asserts nothing."""
from __future__ import annotations

import ast
import sys

from common import best_of, corpus_text, mb, stdlib_sources

from tarn.lexer import tokens
from tarn.parser import parse, parse_text


class Source:
    def __init__(self, text: str) -> None:
        self.text = text
        self.cache: dict = {}


def main() -> None:
    text = corpus_text()
    nbytes = len(text.encode("utf-8"))
    py_sources = stdlib_sources()
    py_bytes = sum(len(s.encode("utf-8")) for s in py_sources)

    t_tarn = best_of(lambda: parse_text(text))
    t_ast = best_of(lambda: [ast.parse(s) for s in py_sources])

    src = Source(text)
    tokens(src)  # cache the tokens, so only the parse is timed

    def parse_cached() -> None:
        src.cache.pop("ast", None)
        parse(src)

    t_cached = best_of(parse_cached)

    rows = [
        ("tarn parse_text", nbytes, t_tarn),
        ("tarn parse (tokens cached)", nbytes, t_cached),
        ("CPython ast.parse (stdlib)", py_bytes, t_ast),
    ]
    print(f"{'what':32} {'MB':>8} {'seconds':>9} {'MB/s':>9}")
    for name, n, t in rows:
        print(f"{name:32} {mb(n):8.2f} {t:9.3f} {mb(n) / t:9.2f}")
    ratio = (mb(nbytes) / t_tarn) / (mb(py_bytes) / t_ast)
    print(f"\nparse_text vs ast.parse, per byte: {ratio:.1f}x", file=sys.stdout)


if __name__ == "__main__":
    main()
